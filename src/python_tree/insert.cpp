#include "python_tree/rebalance.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {

// Descends comparing the new key (first operand) with each node's key, remembering the
// links on the way. A failing comparison throws before any link changes. After linking the
// new node, every node of the path gains one entry and is rebalanced, from the new node's
// parent up to the first subtree whose height stays as it was. A full tree refuses only
// a key it does not hold yet.
// With `Ranked`, also counts the entries below the new one on the way down.
template <bool Ranked>
bool Tree::insert_entry(Entry& entry, std::uint64_t* position) {
    KeyStructure added;
    [[maybe_unused]] std::uint64_t below = 0;
    const KeyView sought = view_key(entry.key.get(), added);
    DescentPath<NodeLinks> path;
    Link* link = &root_;
    while (Node* node = link->get()) {
        prefetch_children(*node);
        const Ordering order = compare(sought, node->view());
        if (order == Ordering::Equal) {
            return false;  // the stored value stays; the new entry is released on return
        }
        path.push(link, order == Ordering::Less);
        if constexpr (Ranked) {
            if (order == Ordering::Greater) {
                below += node_size(node->left) + 1;
            }
        }
        link = order == Ordering::Greater ? &node->right : &node->left;
    }
    if (count_ == max_entries) {
        too_many_entries();
    }
    // Whether the new key is the largest matters only while the nodes were made in key order.
    const bool largest = store_.made_in_key_order() && !path.turned_left();
    *link = store_.make(std::move(entry), sought, largest);
    keys_ = count_ == 0 || added == keys_ ? added : no_structure;
    ++count_;
    NodeLinks links;
    path.settle<1>(links, true);
    if constexpr (Ranked) {
        *position = below;
    }
    return true;
}

bool Tree::insert(Entry entry) { return insert_entry<false>(entry, nullptr); }

bool Tree::insert_ranked(Entry entry, std::uint64_t& position) {
    return insert_entry<true>(entry, &position);
}

}  // namespace quorel::tree
