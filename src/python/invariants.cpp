// _check_invariants(tree): the engine's self-check, offered to tests and fuzzers. It takes
// the shared borrow, so Python comparison methods that it runs can read the tree but not
// change it.
#include "python/member_entry.hpp"
#include "python/module_members.hpp"

namespace quorel::python {
namespace {

constexpr const char* tree_parameter[] = {"tree"};
constexpr CallDescription check_call{nullptr, "_check_invariants", tree_parameter, 0, 1, {}};

Ref verify(AVLTreeObject& tree) {
    tree.tree.verify();
    return Ref::borrow(Py_None);
}

}  // namespace

PyMethodDef check_invariants_function = Member<check_call, Access::shared, verify>::entry(
    "_check_invariants(tree)\n--\n\n"
    "Check the tree's internal invariants; raise AssertionError naming the first\n"
    "broken one. For tests; errors of the keys' own comparisons pass through.");

}  // namespace quorel::python
