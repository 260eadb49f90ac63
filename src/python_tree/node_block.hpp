// NodeBlock: how every builder makes a tree.
//
// A builder reserves a block of memory for at most n nodes, places the nodes into it one
// by one in ascending key order (each key Greater than every key placed before), links
// them into an AVL tree whose records (height, balance, subtree size) it sets exactly, and
// hands the block and the root to Tree's constructor. The tree then holds exactly the
// placed nodes, sits in memory in key order from the start, and knows the structure its
// keys share. Until then the block holds the placed entries: whatever a builder throws
// releases them and leaves nothing behind.
#pragma once

#include <cstdint>

#include "python_tree/node_store.hpp"
#include "python_tree/rebalance.hpp"

namespace quorel::tree {

class NodeBlock {
public:
    // Memory for up to n nodes in one block. Throws OverflowError above max_entries, or
    // MemoryError.
    explicit NodeBlock(std::uint64_t n);

    // The position of the next node in key order, holding `entry`, with its key's native
    // form, no children and the record of a leaf.
    Pos place(Entry&& entry);
    // The same when the builder already has the native form and the key's structure.
    Pos place(Entry&& entry, const KeyView& view, KeyStructure structure) {
        if (store_.used() == reserved_) {
            overfilled();
        }
        const Pos at = store_.place(std::move(entry), view);
        structures_.add(structure);
        return at;
    }
    // Places n nodes at once, for a builder that has every key's native form and the
    // structure all its keys share: `next(i)` gives the entry and the key's view of the
    // i-th of them in key order. They become the block's next n nodes, at the next n
    // positions. One bound check and one structure for all of them keep the loop to the
    // nodes themselves.
    template <class Next>
    void place_all(std::uint64_t n, KeyStructure structure, Next&& next) {
        if (n > reserved_ - store_.used()) {
            overfilled();
        }
        if (n > 0) {
            structures_.add(structure);
        }
        for (std::uint64_t i = 0; i < n; ++i) {
            auto [entry, view] = next(i);
            store_.place(std::move(entry), view);
        }
    }

    std::uint64_t placed() const noexcept { return store_.used(); }
    // The node at position `at` (below placed()), for builders that link by position.
    Node& node(Pos at) noexcept { return store_.node(at); }
    const NodeStore& store() const noexcept { return store_; }

private:
    friend class Tree;

    [[noreturn]] static void overfilled();

    NodeStore store_;
    std::uint64_t reserved_;
    StructureTally structures_;
};

// The balanced shape of n entries, linked from the nodes that `place()` places in key order,
// one per call: the root of each subtree is its entry at position n / 2 (the upper middle
// for even n), so the two sides of every node differ by at most one entry. Sets every
// record exactly; the recursion is as deep as the result is high.
template <class Place>
Pos build_balanced(NodeBlock& block, std::uint64_t n, Place& place) {
    if (n == 0) {
        return no_node;
    }
    const std::uint64_t half = n / 2;
    const Pos left = build_balanced(block, half, place);
    const Pos at = place();
    const Pos right = build_balanced(block, n - 1 - half, place);
    Node& node = block.node(at);
    node.left = left;
    node.right = right;
    node.size = std::uint32_t(n);
    set_heights(node, block.store().height(left), block.store().height(right));
    return at;
}

// Throws OverflowError: the tree already holds max_entries entries.
[[noreturn]] void too_many_entries();

}  // namespace quorel::tree
