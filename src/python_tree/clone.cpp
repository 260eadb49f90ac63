#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

struct Cloner {
    const NodeStore& source;
    NodeBlock& block;
    Entry (*copy)(void*, PyObject*, PyObject*);
    void* context;

    // In key order, as the block takes them. The copy's record is the source's: every field
    // besides the entry, its native form and the links.
    Pos clone(Pos from) {
        if (from == no_node) {
            return no_node;
        }
        const Node& original = source.node(from);
        const Pos left = clone(original.left);
        const Pos at = block.place(copy(context, source.value(from), source.key(from)));
        const Pos right = clone(original.right);
        Node& node = block.node(at);
        node.height = original.height;
        node.balance = original.balance;
        node.size = original.size;
        node.left = left;
        node.right = right;
        return at;
    }
};

}  // namespace

// The copies' keys may differ from the stored ones, so the block works out their structure.
Tree Tree::clone_with(Entry (*copy)(void*, PyObject*, PyObject*), void* context) const {
    NodeBlock block(count_);
    Cloner cloner{store_, block, copy, context};
    const Pos root = cloner.clone(root_);
    return Tree(std::move(block), root);
}

}  // namespace quorel::tree
