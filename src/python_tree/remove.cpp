#include "python_tree/rebalance.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Takes the node with the smallest key out of the non-empty subtree in `link`, without
// children, and leaves the rest of the subtree in `link`, rebalanced.
Link remove_min(Link& link) {
    DescentPath<NodeLinks> path;
    Link* at = &link;
    while ((*at)->left) {
        path.push(at, true);
        at = &(*at)->left;
    }
    Link minimum = std::move(*at);
    *at = std::move(minimum->right);
    NodeLinks links;
    path.settle<-1>(links, true);
    return minimum;
}

// A child, loaded while comparing at its grandparent: starts loading its key object and
// its own children.
inline void prefetch_below(const Node* child) noexcept {
    if (child != nullptr) {
        prefetch_read(child->key.get());
        prefetch_children(*child);
    }
}

// Finds the victim by comparing the sought key (first operand) with each node's key.
struct ByKey {
    KeyView key;
    Ordering operator()(const Node& node) const {
        prefetch_below(node.left.get());
        prefetch_below(node.right.get());
        return compare_views(key, node.view());
    }
};

// Finds the victim by its position in key order, counted within the current subtree.
struct ByPosition {
    std::uint64_t index;
    Ordering operator()(const Node& node) noexcept {
        const std::uint64_t left = node_size(node.left);
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

// Descends to the victim, remembering the links on the way; a failing comparison throws
// before any link changes. Returns the victim, unlinked and without children, or an empty
// link when there is none. The successor of a two-child victim is moved as a whole, so no
// value or key changes node.
template <class Locate>
Link detach(Link& root, Locate& locate) {
    DescentPath<NodeLinks> path;
    Link* link = &root;
    for (;;) {
        const Node* node = link->get();
        if (node == nullptr) {
            return Link();
        }
        const Ordering order = locate(*node);
        if (order == Ordering::Equal) {
            break;
        }
        path.push(link, order == Ordering::Less);
        link = order == Ordering::Greater ? &link->get()->right : &link->get()->left;
    }
    NodeLinks links;
    Link victim = std::move(*link);
    const std::uint8_t height = victim->height;
    Link left = std::move(victim->left);
    Link right = std::move(victim->right);
    if (!left) {
        *link = std::move(right);
    } else if (!right) {
        *link = std::move(left);
    } else {
        Link successor = remove_min(right);
        successor->left = std::move(left);
        successor->right = std::move(right);
        *link = rebalance(links, std::move(successor));
    }
    path.settle<-1>(links, node_height(*link) != height);
    return victim;
}

}  // namespace

// The victim's value and key are released only after the tree is whole again.
bool Tree::remove(PyObject* key) {
    ByKey locate{view_key(key)};
    Link victim = detach(root_, locate);
    if (!victim) {
        return false;
    }
    --count_;
    store_.recycle(std::move(victim));
    return true;
}

Ref Tree::pop(std::uint64_t index) {
    ByPosition locate{index};
    Link victim = detach(root_, locate);
    --count_;
    Ref value = std::move(victim->value);
    store_.recycle(std::move(victim));
    return value;
}

}  // namespace quorel::tree
