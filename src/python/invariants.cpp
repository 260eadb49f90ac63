// _check_invariants(tree): the engine's self-check, offered to tests and fuzzers. It takes
// the shared borrow, so Python comparison methods that it runs can read the tree but not
// change it.
#include "python/avltree_entries.hpp"
#include "python/member_entry.hpp"

namespace quorel::python {
namespace {

constexpr const char* tree_parameter[] = {"tree"};
constexpr CallDescription check_call{nullptr, "_check_invariants", tree_parameter, 0, 1, {}};

Ref verify(AVLTreeObject& tree) {
    tree.tree.verify();
    return Ref::borrow(Py_None);
}

}  // namespace

namespace entries {

PyObject* check_invariants(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return Member<check_call, Access::shared, verify>::method(module, args, nargs, kwnames);
}

}  // namespace entries
}  // namespace quorel::python
