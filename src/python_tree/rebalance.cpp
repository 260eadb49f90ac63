#include "call_boundary/failure.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Rotates a node whose height and balance are current and whose balance is -2 or 2.
// A child whose own balance is 0 gets the single rotation; only removal produces that case.
Link restore_balance(Link node) {
    if (node->balance > 1) {
        if (node->left->balance < 0) {
            node->left = rotate_left(std::move(node->left));
        }
        return rotate_right(std::move(node));
    }
    if (node->right->balance > 0) {
        node->right = rotate_right(std::move(node->right));
    }
    return rotate_left(std::move(node));
}

}  // namespace

// Heights of the subtrees that keep their place are taken from what their parents
// recorded; only the moved nodes' records change, the lower node first. The upper node
// takes over the whole subtree's size.

/*      x                y
 *     / \              / \
 *    a   y     =>     x   c
 *       / \          / \
 *      b   c        a   b
 */
Link rotate_left(Link x) {
    Link y = std::move(x->right);
    if (!y) {
        panic("left rotation needs a right child");
    }
    const std::uint64_t a = left_height(*x);
    const std::uint64_t b = left_height(*y);
    const std::uint64_t c = right_height(*y);
    y->size = x->size;
    x->right = std::move(y->left);
    set_size(*x);
    set_heights(*x, a, b);
    const std::uint64_t lower = x->height;
    y->left = std::move(x);
    set_heights(*y, lower, c);
    return y;
}

/*        x            y
 *       / \          / \
 *      y   c   =>   a   x
 *     / \              / \
 *    a   b            b   c
 */
Link rotate_right(Link x) {
    Link y = std::move(x->left);
    if (!y) {
        panic("right rotation needs a left child");
    }
    const std::uint64_t a = left_height(*y);
    const std::uint64_t b = right_height(*y);
    const std::uint64_t c = right_height(*x);
    y->size = x->size;
    x->left = std::move(y->right);
    set_size(*x);
    set_heights(*x, b, c);
    const std::uint64_t lower = x->height;
    y->right = std::move(x);
    set_heights(*y, a, lower);
    return y;
}

Link rebalance(Link node) {
    set_size(*node);
    set_heights(*node, node_height(node->left), node_height(node->right));
    if (node->balance >= -1 && node->balance <= 1) {
        return node;
    }
    return restore_balance(std::move(node));
}

void rebalance_link(Link& link, bool left_changed) {
    Node& node = *link;
    if (left_changed) {
        set_heights(node, node_height(node.left), right_height(node));
    } else {
        set_heights(node, left_height(node), node_height(node.right));
    }
    if (node.balance < -1 || node.balance > 1) {
        link = restore_balance(std::move(link));
    }
}

}  // namespace quorel::tree
