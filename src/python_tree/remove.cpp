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
    Link rest = std::move(node);
    rebalance_link(rest, true);
    return {std::move(rest), std::move(below.minimum)};
}

// One level per node on the search path. The successor of a two-child victim is moved as
// a whole; only the victim's value and key are released, after the tree is whole again.
bool remove_node(Link& link, const KeyView& key, NodePool& pool) {
    if (!link) {
        return false;
    }
    const Ordering order = compare(key, link->view());
    if (order != Ordering::Equal) {
        if (!remove_node(order == Ordering::Greater ? link->right : link->left, key, pool)) {
            return false;
        }
        rebalance_link(link, order == Ordering::Less);
        return true;
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
    pool.recycle(std::move(victim));
    return true;
}

}  // namespace

bool Tree::remove(PyObject* key) {
    const bool removed = remove_node(root, view_key(key), pool);
    if (removed) {
        --count;
        laid_out_in_order = false;  // the freed node will be reused out of order
    }
    return removed;
}

}  // namespace quorel::tree
