// update(*iterables): stores each value of each iterable, in order, under the tree's key
// rule; the first value for a key stays, so stored values win over new ones and earlier
// values over later ones. The engine inserts a batch small against the tree one value at
// a time (Tree::insert_batch); otherwise it is sorted once, merged with the stored entries
// and built balanced, in O(n + m) after the sort, unless the merge finds no new key, which
// leaves the tree as it is. Either way the tree is unchanged when a key extraction or a
// comparison raises.
#include "python/avltree_members.hpp"
#include "python/member_entry.hpp"
#include "python/operands.hpp"

namespace quorel::python {
namespace {

Ref update_tree(AVLTreeObject& target, Operands& operands) {
    auto batch = [&](std::size_t i) -> tree::EntryList& { return operands.entries(i); };
    if (!operands.only_values() ||
        !target.tree.insert_batch(operands.value_count(), operands.size(), batch)) {
        const tree::SortedViews merged = combined(target, operands, tree::union_selection);
        // The union holds every stored entry: no more of them means no new key, and the
        // tree stays as it is, shape and memory included.
        if (merged.entries.size() != target.tree.size()) {
            operands.replace_left(tree::tree_of(merged));
        }
    }
    return Ref::borrow(Py_None);
}

constexpr VariadicDescription update_call{"AVLTree", "update"};

using Update = Member<update_call, Access::exclusive, update_tree>;

const PyMethodDef methods[] = {
    Update::entry(
        "update($self, *iterables)\n--\n\n"
        "Insert every value of each iterable, in order, under the tree's key rule.\n\n"
        "The first value for a key stays: values already in the tree win over\n"
        "new ones, and earlier values over later ones. A batch small against the\n"
        "tree is inserted value by value; a larger one is sorted once, merged\n"
        "with the tree and built balanced in O(n + m). If a key extraction or a\n"
        "comparison raises, the tree is unchanged."),
};

const PyType_Slot slots[] = {
    Update::slot<Py_nb_inplace_or>(),
};

}  // namespace

const MemberGroup update_members{methods, slots, {}};

}  // namespace quorel::python
