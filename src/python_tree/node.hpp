// Node and Link: the records of the tree engine.
//
// Invariants between operations: every key in a node's left subtree compared Less than the
// node's key and every key in its right subtree Greater; no two keys compare Equal; the two
// subtree heights of every node differ by at most one; every stored height is exact (an
// empty link counts 0, a leaf 1). Each node has exactly one owner: its parent's link or the
// tree's root link.
#pragma once

#include <cstdint>
#include <memory>

#include "call_boundary/ref.hpp"

namespace quorel::tree {

struct Node;

// Releases a node: its value, then its key, then its left and right subtrees, then the record.
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

struct Node {
    Ref value;
    Ref key;
    Link left;
    Link right;
    std::uint64_t height = 1;

    explicit Node(Entry&& entry) noexcept
        : value(std::move(entry.value)), key(std::move(entry.key)) {}

    // Nodes come from the interpreter's small-object allocator: one call per node, no
    // per-allocation header of the C++ runtime. The interpreter lock is held whenever a
    // node is made or released.
    static void* operator new(std::size_t size);
    static void operator delete(void* memory) noexcept;
};

inline std::uint64_t node_height(const Link& link) noexcept { return link ? link->height : 0; }

inline Link make_node(Entry&& entry) { return Link(new Node(std::move(entry))); }

}  // namespace quorel::tree
