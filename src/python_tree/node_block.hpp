// NodeBlock: how every builder makes a tree.
//
// A builder reserves a block of memory for at most n nodes, places the nodes into it one
// by one in ascending key order (each key Greater than every key placed before), links
// them into an AVL tree whose records (height, balance, subtree size) it sets exactly, and
// hands the block and the root to Tree's constructor. The tree then holds exactly the
// placed nodes, sits in memory in key order from the start, and knows the structure its
// keys share. Until then the builder's links own the placed nodes and the block owns their
// memory: whatever a builder throws leaves nothing behind.
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

    // The next node in key order, holding `entry`, with its key's native form, no children
    // and the record of a leaf.
    Link place(Entry&& entry);
    // The same when the builder already has the native form and the key's structure.
    Link place(Entry&& entry, const KeyView& view, KeyStructure structure) {
        if (placed_ == reserved_) {
            overfilled();
        }
        structures_.add(structure);
        return Link(new (static_cast<void*>(slots_ + placed_++)) Node(std::move(entry), view));
    }
    // Places n nodes at once, for a builder that has every key's native form and the
    // structure all its keys share: `next(i)` gives the entry and the key's view of the
    // i-th of them in key order. They become the block's next n nodes, each owned by no
    // link until the builder links it. One bound check and one structure for all of them
    // keep the loop to the nodes themselves.
    template <class Next>
    void place_all(std::uint64_t n, KeyStructure structure, Next&& next) {
        if (n > reserved_ - placed_) {
            overfilled();
        }
        if (n > 0) {
            structures_.add(structure);
        }
        Node* const slots = slots_ + placed_;
        for (std::uint64_t i = 0; i < n; ++i) {
            auto [entry, view] = next(i);
            new (static_cast<void*>(slots + i)) Node(std::move(entry), view);
        }
        placed_ += n;
    }

    std::uint64_t placed() const noexcept { return placed_; }
    // The node placed i-th (i below placed()), for builders that link by position.
    Node& node(std::uint64_t i) const noexcept { return slots_[i]; }

private:
    friend class Tree;

    [[noreturn]] static void overfilled();

    NodeStore store_;
    Node* slots_ = nullptr;
    std::uint64_t reserved_;
    std::uint64_t placed_ = 0;
    StructureTally structures_;
};

// The balanced shape of n entries, linked from the nodes that `place()` places in key order,
// one per call: the root of each subtree is its entry at position n / 2 (the upper middle
// for even n), so the two sides of every node differ by at most one entry. Sets every
// record exactly; the recursion is as deep as the result is high.
template <class Place>
Link build_balanced(std::uint64_t n, Place& place) {
    if (n == 0) {
        return Link();
    }
    const std::uint64_t half = n / 2;
    Link left = build_balanced(half, place);
    Link node = place();
    node->left = std::move(left);
    node->right = build_balanced(n - 1 - half, place);
    node->size = std::uint32_t(n);
    set_heights(*node, node_height(node->left), node_height(node->right));
    return node;
}

// Throws OverflowError: the tree already holds max_entries entries.
[[noreturn]] void too_many_entries();

}  // namespace quorel::tree
