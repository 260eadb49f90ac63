// Node, Pos and Entry: the records of the tree engine.
//
// Invariants between operations: every key in a node's left subtree compared Less than the
// node's key and every key in its right subtree Greater; no two keys compare Equal; the two
// subtree heights of every node differ by at most one; every stored height is exact (an
// empty link counts 0, a leaf 1). Each node has exactly one owner: its parent's link or the
// tree's root link.
//
// Nodes live in the NodeStore of their tree and are linked by their positions there; the
// store keeps each node's value (and key, where it differs) in slots of the same position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "call_boundary/support/ref.hpp"
#include "python_tree/compare.hpp"
#include "python_tree/memory_hints.hpp"

namespace quorel::tree {

// A node's position in its store.
using Pos = std::uint32_t;

// The link to no node: never a position, since a tree holds at most max_entries nodes.
constexpr Pos no_node = UINT32_MAX;

// A value and its key on their way into or out of the tree. Released value first.
struct Entry {
    Ref value;
    Ref key;

    Entry(Ref v, Ref k) noexcept : value(std::move(v)), key(std::move(k)) {}
    Entry(Entry&&) noexcept = default;
    Entry& operator=(Entry&&) noexcept = default;
    ~Entry() {
        value.reset();
        key.reset();
    }
};

// Bound on any height: an AVL tree of 2**64 nodes is less than 93 high.
constexpr std::size_t max_height = 96;

// Most entries a tree holds: the subtree size of its root must fit a node's 32 bits, and
// every position must differ from no_node.
constexpr std::uint64_t max_entries = UINT32_MAX;

// 24 bytes: what a descent reads and nothing else. The two links, the key's native form
// (so that most comparisons never touch the key object), the subtree's entry count, the
// height, the native form's kind, the balance and whether the subtree is one run.
struct Node {
    Pos left = no_node;
    Pos right = no_node;
    std::uint64_t bits;
    // Entries in the subtree rooted here, this node included: positions cost O(height).
    std::uint32_t size = 1;
    std::uint8_t height = 1;  // an AVL tree of 2**64 nodes is less than 93 high
    KeyKind kind;
    // Height of the left subtree minus that of the right one. With the height it gives
    // both children's heights, so rebalancing a path never has to visit the siblings.
    std::int8_t balance = 0;
    // Whether the subtree sits in key order at the consecutive positions from this node's
    // less its left subtree's size to its own plus its right subtree's size, so that a walk
    // copies its value slots without reading its nodes. A leaf is such a run, and so is
    // every node of a tree built in key order; whatever changes a subtree's entries or
    // shape clears it, a lay-out sets it again.
    bool run = true;

    explicit Node(const KeyView& view) noexcept : bits(view.bits), kind(view.kind) {}
};

}  // namespace quorel::tree
