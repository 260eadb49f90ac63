#include <algorithm>

#include "call_boundary/failure.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {

void too_many_entries() {
    throw_error(PyExc_OverflowError,
                "AVLTree cannot hold more than " + decimal(max_entries) + " entries");
}

// Descends comparing the new key (first operand) with each node's key, remembering the
// links on the way. A failing comparison throws before any link changes. After linking the
// new node, every node of the path gains one entry and is rebalanced, from the new node's
// parent up to the first subtree whose height stays as it was. A full tree refuses only
// a key it does not hold yet.
bool Tree::insert(Entry entry) {
    KeyShape added;
    const KeyView sought = view_key(entry.key.get(), added);
    DescentPath path;
    Link* link = &root;
    while (Node* node = link->get()) {
        prefetch_children(*node);
        const Ordering order = compare(sought, node->view());
        if (order == Ordering::Equal) {
            return false;  // the stored value stays; the new entry is released on return
        }
        path.push(link, order == Ordering::Less);
        link = order == Ordering::Greater ? &node->right : &node->left;
    }
    if (count == max_entries) {
        too_many_entries();
    }
    *link = pool.make(std::move(entry), sought);
    shape = shape_with(added);
    ++count;
    walked_unchanged = false;
    // A new largest key continues the run of nodes made in key order.
    const bool* const turns = path.went_left;
    if (laid_out_in_order && std::find(turns, turns + path.depth, true) != turns + path.depth) {
        laid_out_in_order = false;
    }
    path.settle<true>(true);
    return true;
}

}  // namespace quorel::tree
