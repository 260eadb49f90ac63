#include "python_tree/node.hpp"

#include "call_boundary/failure.hpp"

namespace quorel::tree {

void* Node::operator new(std::size_t size) {
    void* memory = PyMem_Malloc(size);
    if (memory == nullptr) {
        out_of_memory();
    }
    return memory;
}

void Node::operator delete(void* memory) noexcept { PyMem_Free(memory); }

void NodeRelease::operator()(Node* node) const noexcept {
    node->value.reset();
    node->key.reset();
    node->left.reset();
    node->right.reset();
    delete node;
}

}  // namespace quorel::tree
