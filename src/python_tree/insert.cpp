#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// One level per node on the search path. A failing comparison throws before any link
// changes, and the levels above pass it on without rebalancing.
bool insert_node(Link& link, Entry& entry) {
    if (!link) {
        link = make_node(std::move(entry));
        return true;
    }
    const Ordering order = compare(entry.key.get(), link->key.get());
    if (order == Ordering::Equal) {
        return false;  // the stored value stays; the caller releases the new entry
    }
    if (!insert_node(order == Ordering::Greater ? link->right : link->left, entry)) {
        return false;
    }
    link = rebalance(std::move(link));
    return true;
}

}  // namespace

bool Tree::insert(Entry entry) {
    const bool inserted = insert_node(root, entry);
    if (inserted) {
        ++count;
    }
    return inserted;
}

}  // namespace quorel::tree
