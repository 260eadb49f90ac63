// Node and Link: the records of the tree engine.
//
// Invariants between operations: every key in a node's left subtree compared Less than the
// node's key and every key in its right subtree Greater; no two keys compare Equal; the two
// subtree heights of every node differ by at most one; every stored height is exact (an
// empty link counts 0, a leaf 1). Each node has exactly one owner: its parent's link or the
// tree's root link.
//
// A node's memory belongs to the NodeStore of its tree, not to its link: destroying a link
// releases the references of its whole subtree, and the store gives the memory back when
// the tree itself goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "call_boundary/support/ref.hpp"
#include "python_tree/compare.hpp"
#include "python_tree/memory_hints.hpp"

namespace quorel::tree {

struct Node;

// Releases a node's references: its value, then its key, then its left and right subtrees.
struct NodeRelease {
    void operator()(Node* node) const noexcept;
};

using Link = std::unique_ptr<Node, NodeRelease>;

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

// Most entries a tree holds: the subtree size of its root must fit a node's 32 bits.
constexpr std::uint64_t max_entries = UINT32_MAX;

// 48 bytes: the two references, the two links, the key's native form (so that most
// comparisons never touch the key object), the height, the native form's kind, the
// balance and the subtree's entry count.
struct Node {
    Ref value;
    Ref key;
    Link left;
    Link right;
    std::uint64_t bits;
    std::uint8_t height = 1;  // an AVL tree of 2**64 nodes is less than 93 high
    KeyKind kind;
    // Height of the left subtree minus that of the right one. With the height it gives
    // both children's heights, so rebalancing a path never has to visit the siblings.
    std::int8_t balance = 0;
    // Entries in the subtree rooted here, this node included: positions cost O(height).
    std::uint32_t size = 1;

    Node(Entry&& entry, const KeyView& view) noexcept
        : value(std::move(entry.value)), key(std::move(entry.key)), bits(view.bits),
          kind(view.kind) {}

    KeyView view() const noexcept { return {key.get(), bits, kind}; }
};

// A descent loads the child it takes while comparing at its parent, which may have to
// read the key object and its items.
inline void prefetch_children(const Node& node) noexcept {
    prefetch_read(node.left.get());
    prefetch_read(node.right.get());
}

inline std::uint64_t node_height(const Link& link) noexcept { return link ? link->height : 0; }
inline std::uint32_t node_size(const Link& link) noexcept { return link ? link->size : 0; }

inline void set_size(Node& node) noexcept {
    node.size = 1 + node_size(node.left) + node_size(node.right);
}

}  // namespace quorel::tree
