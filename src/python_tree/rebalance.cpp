#include "call_boundary/failure.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

inline std::uint8_t height_of(const Node& node) noexcept {
    return std::uint8_t(1 + std::max(node_height(node.left), node_height(node.right)));
}

inline std::int64_t balance(const Node& node) noexcept {
    return std::int64_t(node_height(node.left)) - std::int64_t(node_height(node.right));
}

}  // namespace

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
    x->right = std::move(y->left);
    x->height = height_of(*x);
    const std::uint64_t lower = x->height;
    y->left = std::move(x);
    y->height = std::uint8_t(1 + std::max(node_height(y->right), lower));
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
    x->left = std::move(y->right);
    x->height = height_of(*x);
    const std::uint64_t lower = x->height;
    y->right = std::move(x);
    y->height = std::uint8_t(1 + std::max(lower, node_height(y->left)));
    return y;
}

// A child whose own balance is 0 gets the single rotation; only removal produces that case.
Link rebalance(Link node) {
    node->height = height_of(*node);
    const std::int64_t b = balance(*node);
    if (b > 1) {
        if (balance(*node->left) < 0) {
            node->left = rotate_left(std::move(node->left));
        }
        return rotate_right(std::move(node));
    }
    if (b >= -1) {
        return node;
    }
    if (balance(*node->right) > 0) {
        node->right = rotate_right(std::move(node->right));
    }
    return rotate_left(std::move(node));
}

void rebalance_link(Link& link) {
    Node& node = *link;
    const std::int64_t b = balance(node);
    if (b >= -1 && b <= 1) {
        node.height = height_of(node);
        return;
    }
    link = rebalance(std::move(link));
}

}  // namespace quorel::tree
