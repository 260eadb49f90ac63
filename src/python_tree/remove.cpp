#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

struct Detached {
    Link rest;     // what stays in the link the minimum was taken from
    Link minimum;  // the node with the smallest key, without children
};

Detached remove_min(Link node) {
    Link left = std::move(node->left);
    if (!left) {
        Link rest = std::move(node->right);
        return {std::move(rest), std::move(node)};
    }
    Detached below = remove_min(std::move(left));
    node->left = std::move(below.rest);
    --node->size;
    Link rest = std::move(node);
    rebalance_link(rest, true);
    return {std::move(rest), std::move(below.minimum)};
}

// Finds the victim by comparing the sought key (first operand) with each node's key.
struct ByKey {
    KeyView key;
    Ordering operator()(const Node& node) const {
        prefetch_children(node);
        return compare(key, node.view());
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

// One level per node on the search path; returns the victim, unlinked and without
// children, or an empty link when there is none. The successor of a two-child victim is
// moved as a whole, so no value or key changes node. `shorter` tells the level above
// whether this subtree lost height: only then do its records need rebalancing.
template <class Locate>
Link detach(Link& link, Locate& locate, bool& shorter) {
    if (!link) {
        return Link();
    }
    const Ordering order = locate(*link);
    const std::uint8_t height = link->height;
    if (order != Ordering::Equal) {
        Link victim = detach(order == Ordering::Greater ? link->right : link->left, locate, shorter);
        if (victim) {
            --link->size;
            if (shorter) {
                rebalance_link(link, order == Ordering::Less);
                shorter = link->height != height;
            }
        }
        return victim;
    }
    Link victim = std::move(link);
    Link left = std::move(victim->left);
    Link right = std::move(victim->right);
    if (!left) {
        link = std::move(right);
    } else if (!right) {
        link = std::move(left);
    } else {
        Detached taken = remove_min(std::move(right));
        taken.minimum->left = std::move(left);
        taken.minimum->right = std::move(taken.rest);
        link = rebalance(std::move(taken.minimum));
    }
    shorter = node_height(link) != height;
    return victim;
}

}  // namespace

// The victim's value and key are released only after the tree is whole again.
bool Tree::remove(PyObject* key) {
    ByKey locate{view_key(key)};
    bool shorter = false;
    Link victim = detach(root, locate, shorter);
    if (!victim) {
        return false;
    }
    --count;
    walked_unchanged = false;
    laid_out_in_order = false;  // the freed node will be reused out of order
    pool.recycle(std::move(victim));
    return true;
}

Ref Tree::pop(std::uint64_t index) {
    ByPosition locate{index};
    bool shorter = false;
    Link victim = detach(root, locate, shorter);
    --count;
    walked_unchanged = false;
    laid_out_in_order = false;
    Ref value = std::move(victim->value);
    pool.recycle(std::move(victim));
    return value;
}

}  // namespace quorel::tree
