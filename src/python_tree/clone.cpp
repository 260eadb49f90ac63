#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

struct Cloner {
    NodeBlock& block;
    Entry (*copy)(void*, PyObject*, PyObject*);
    void* context;

    // In key order, as the block takes them. The copy's record is the source's: every field
    // besides the entry, its native form and the links.
    Link clone(const Node* source) {
        if (source == nullptr) {
            return Link();
        }
        Link left = clone(source->left.get());
        Link node = block.place(copy(context, source->value.get(), source->key.get()));
        node->height = source->height;
        node->balance = source->balance;
        node->size = source->size;
        node->left = std::move(left);
        node->right = clone(source->right.get());
        return node;
    }
};

}  // namespace

// The copies' keys may differ from the stored ones, so the block works out their structure.
Tree Tree::clone_with(Entry (*copy)(void*, PyObject*, PyObject*), void* context) const {
    NodeBlock block(count_);
    Cloner cloner{block, copy, context};
    Link root = cloner.clone(root_.get());
    return Tree(std::move(block), std::move(root));
}

}  // namespace quorel::tree
