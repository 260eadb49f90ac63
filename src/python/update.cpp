// update(*iterables): stores each value of each iterable, in order, under the tree's key
// rule; the first value for a key stays, so stored values win over new ones and earlier
// values over later ones. The engine inserts a batch small against the tree one value at
// a time (Tree::insert_batch); otherwise it is sorted once, merged with the stored entries
// and built balanced, in O(n + m) after the sort, unless the merge finds no new key, which
// leaves the tree as it is. Either way the tree is unchanged when a key extraction or a
// comparison raises.
#include "call_boundary/entry.hpp"
#include "python/avltree_entries.hpp"
#include "python/operands.hpp"
#include "python/release.hpp"

namespace quorel::python {
namespace {

void update_tree(AVLTreeObject& target, PyObject* const* others, std::size_t count) {
    Operands operands(target, others, count);
    tree::Tree old;
    {
        Borrows borrows(target, Access::exclusive, operands);
        auto batch = [&](std::size_t i) -> tree::EntryList& { return operands.entries(i); };
        if (!operands.only_values() ||
            !target.tree.insert_batch(operands.value_count(), operands.size(), batch)) {
            const tree::SortedViews merged = combined(target, operands, tree::union_selection);
            // The union holds every stored entry: no more of them means no new key, and
            // the tree stays as it is, shape and memory included.
            if (merged.entries.size() != target.tree.size()) {
                old = replace_tree(target, tree::tree_of(merged));
            }
        }
    }
    release_bounded(std::move(old));
}

PyObject* update_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return boundary::object_entry([&] {
        update_tree(AVLTreeObject::of(self), args, std::size_t(nargs));
        return Ref::borrow(Py_None);
    });
}

PyObject* update_operator(PyObject* a, PyObject* b) noexcept {
    if (as_tree(a) == nullptr || as_tree(b) == nullptr) {
        return Ref::borrow(Py_NotImplemented).release();
    }
    return boundary::object_entry([&] {
        update_tree(AVLTreeObject::of(a), &b, 1);
        return Ref::borrow(a);
    });
}

}  // namespace

namespace entries {

const Variadic update = update_values;
const Binary tree_inplace_or = update_operator;

}  // namespace entries
}  // namespace quorel::python
