// NodeRun: how every builder makes a tree.
//
// A builder reserves a run for at most n nodes, places the nodes one by one in ascending
// key order (each key Greater than every key placed before), links them into an AVL tree
// whose records (height, balance, subtree size) it sets exactly, and hands the run and the
// root to Tree's constructor. The tree then holds exactly the placed nodes, sits in memory
// in key order from the start, and knows the structure its keys share. Until then the
// builder's links own the placed nodes and the run owns their memory: whatever a builder
// throws leaves nothing behind.
#pragma once

#include <cstdint>

#include "python_tree/node_store.hpp"

namespace quorel::tree {

class NodeRun {
public:
    // Memory for up to n nodes in one block. Throws OverflowError above max_entries, or
    // MemoryError.
    explicit NodeRun(std::uint64_t n);

    // The next node in key order, holding `entry`, with its key's native form, no children
    // and the record of a leaf.
    Link place(Entry&& entry);
    // The same when the builder already has the native form and the key's structure.
    Link place(Entry&& entry, const KeyView& view, KeyStructure structure) {
        if (placed_ == reserved_) {
            overfilled();
        }
        keys_.add(structure);
        return Link(new (static_cast<void*>(slots_ + placed_++)) Node(std::move(entry), view));
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
    StructureTally keys_;
};

// Throws OverflowError: the tree already holds max_entries entries.
[[noreturn]] void too_many_entries();

}  // namespace quorel::tree
