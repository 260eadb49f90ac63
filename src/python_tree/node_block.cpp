#include "python_tree/node_block.hpp"

#include "call_boundary/support/failure.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {

void too_many_entries() {
    throw_error(PyExc_OverflowError,
                "AVLTree cannot hold more than " + decimal(max_entries) + " entries");
}

NodeBlock::NodeBlock(std::uint64_t n) : reserved_(n) {
    if (n > max_entries) {
        too_many_entries();
    }
    if (n > 0) {
        store_.reserve_exactly(std::size_t(n));
    }
}

Pos NodeBlock::place(Entry&& entry) {
    KeyStructure structure;
    const KeyView view = view_key(entry.key.get(), structure);
    return place(std::move(entry), view, structure);
}

void NodeBlock::overfilled() { panic("more nodes placed than the block reserved"); }

Tree::Tree(NodeBlock block, Pos root) noexcept
    : store_(std::move(block.store_)), root_(root), count_(store_.used()),
      structure_(block.structures_.shared()) {
    store_.fit();
}

}  // namespace quorel::tree
