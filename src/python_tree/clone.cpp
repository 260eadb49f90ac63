#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

struct Cloner {
    NodePool& pool;
    Entry (*copy)(void*, PyObject*, PyObject*);
    void* context;
    ShapeTally shapes;  // the copies' keys may differ from the stored ones

    // In key order, so that the copy's nodes also sit in memory in key order.
    Link clone(const Node* source) {
        if (source == nullptr) {
            return Link();
        }
        Link left = clone(source->left.get());
        Link node = pool.copy_of(*source, copy(context, source->value.get(), source->key.get()),
                                 shapes);
        node->left = std::move(left);
        node->right = clone(source->right.get());
        return node;
    }
};

}  // namespace

Tree Tree::clone_with(Entry (*copy)(void*, PyObject*, PyObject*), void* context) const {
    Tree result;
    Cloner cloner{result.pool, copy, context, {}};
    result.root = cloner.clone(root.get());
    result.count = count;
    result.shape = cloner.shapes.shape;
    return result;
}

}  // namespace quorel::tree
