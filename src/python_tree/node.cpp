#include "python_tree/node.hpp"

namespace quorel::tree {

void NodeRelease::operator()(Node* node) const noexcept {
    node->value.reset();
    node->key.reset();
    node->left.reset();
    node->right.reset();
    std::destroy_at(node);
}

}  // namespace quorel::tree
