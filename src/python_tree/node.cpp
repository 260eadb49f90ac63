#include "python_tree/node.hpp"

namespace quorel::tree {

// In pre-order, without recursion: the right subtrees still to release wait on a stack, at
// most one per level. Each node's children are fetched while its references are released.
void NodeRelease::operator()(Node* node) const noexcept {
    Node* waiting[max_height];
    std::size_t depth = 0;
    for (;;) {
        prefetch_read(node->left.get());
        prefetch_read(node->right.get());
        node->value.reset();
        node->key.reset();
        Node* const left = node->left.release();
        if (Node* const right = node->right.release()) {
            waiting[depth++] = right;
        }
        std::destroy_at(node);
        if (left != nullptr) {
            node = left;
        } else if (depth > 0) {
            node = waiting[--depth];
        } else {
            return;
        }
    }
}

}  // namespace quorel::tree
