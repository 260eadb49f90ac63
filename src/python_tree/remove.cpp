#include "python_tree/rebalance.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Takes the node with the smallest key out of the non-empty subtree in `link`, without
// children, and leaves the rest of the subtree in `link`, rebalanced.
Pos remove_min(NodeLinks& links, Pos& link) {
    DescentPath<NodeLinks> path(link);
    Pos at = link;
    while (links.record(at).left != no_node) {
        path.push(at, true);
        at = links.record(at).left;
    }
    path.below(links) = links.record(at).right;
    path.settle<-1>(links, true);
    return at;
}

// Finds the victim by comparing the sought key (first operand) with each node's key.
struct ByKey {
    KeyView key;
    Ordering operator()(const NodeStore& store, Pos at) const {
        store.prefetch_children(store.node(at));
        return store.compare_to(key, at);
    }
};

// Finds the victim by its position in key order, counted within the current subtree.
struct ByPosition {
    std::uint64_t index;
    Ordering operator()(const NodeStore& store, Pos at) noexcept {
        const std::uint64_t left = store.size(store.node(at).left);
        if (index < left) {
            return Ordering::Less;
        }
        if (index == left) {
            return Ordering::Equal;
        }
        index -= left + 1;
        return Ordering::Greater;
    }
};

// Descends to the victim, remembering the path; a failing comparison throws before any
// link changes. Returns the victim, unlinked, or no_node when there is none. The successor
// of a two-child victim is moved as a whole, so no value or key changes node.
template <class Locate>
Pos detach(NodeStore& store, Pos& root, Locate& locate) {
    DescentPath<NodeLinks> path(root);
    Pos at = root;
    for (;;) {
        if (at == no_node) {
            return no_node;
        }
        const Ordering order = locate(store, at);
        if (order == Ordering::Equal) {
            break;
        }
        path.push(at, order == Ordering::Less);
        at = order == Ordering::Greater ? store.node(at).right : store.node(at).left;
    }
    NodeLinks links{store};
    Pos& link = path.below(links);
    Node& victim = store.node(at);
    const std::uint8_t height = victim.height;
    Pos right = victim.right;
    if (victim.left == no_node) {
        link = right;
    } else if (right == no_node) {
        link = victim.left;
    } else {
        const Pos successor = remove_min(links, right);
        Node& moved = store.node(successor);
        moved.left = victim.left;
        moved.right = right;
        link = rebalance(links, successor);
    }
    path.settle<-1>(links, store.height(link) != height);
    return at;
}

}  // namespace

// The victim's value and key are released only after the tree is whole again.
bool Tree::remove(PyObject* key) {
    ByKey locate{view_key(key)};
    const Pos victim = detach(store_, root_, locate);
    if (victim == no_node) {
        return false;
    }
    --count_;
    store_.recycle(victim);
    return true;
}

Ref Tree::pop(std::uint64_t index) {
    ByPosition locate{index};
    const Pos victim = detach(store_, root_, locate);
    --count_;
    Ref value = Ref::borrow(store_.value(victim));
    store_.recycle(victim);
    return value;
}

}  // namespace quorel::tree
