// _check_invariants(tree): the engine's self-check, offered to tests and fuzzers. It takes
// the shared borrow, so Python comparison methods that it runs can read the tree but not
// change it.
#include "call_boundary/binding.hpp"
#include "call_boundary/convert.hpp"
#include "call_boundary/entry.hpp"
#include "python/avltree.hpp"
#include "python/avltree_entries.hpp"

namespace quorel::python {
namespace {

constexpr const char* tree_parameter[] = {"tree"};
constexpr CallDescription check_call{nullptr, "_check_invariants", tree_parameter, 0, 1, {}};

}  // namespace

namespace entries {

PyObject* check_invariants(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return boundary::object_entry([&] {
        PyObject* argument = bind<1>(check_call, args, nargs, kwnames)[0];
        converted("tree", [&] {
            if (!PyObject_TypeCheck(argument, avltree_type())) {
                not_an_instance(argument, "AVLTree");
            }
        });
        AVLTreeObject& tree = AVLTreeObject::of(argument);
        SharedBorrow borrow(tree.borrow);
        tree.tree.verify();
        return Ref::borrow(Py_None);
    });
}

}  // namespace entries
}  // namespace quorel::python
