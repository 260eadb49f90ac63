// Node, Link and NodePool: the records of the tree engine.
//
// Invariants between operations: every key in a node's left subtree compared Less than the
// node's key and every key in its right subtree Greater; no two keys compare Equal; the two
// subtree heights of every node differ by at most one; every stored height is exact (an
// empty link counts 0, a leaf 1). Each node has exactly one owner: its parent's link or the
// tree's root link.
//
// A node's memory belongs to the NodePool of its tree, not to its link: destroying a link
// releases the references of its whole subtree, and the pool gives the memory back when the
// tree itself goes.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>

#include "call_boundary/ref.hpp"
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

// The children's heights as the node last recorded them.
inline std::uint64_t left_height(const Node& node) noexcept {
    return node.balance >= 0 ? node.height - 1u : node.height - 1u + node.balance;
}
inline std::uint64_t right_height(const Node& node) noexcept {
    return node.balance <= 0 ? node.height - 1u : node.height - 1u - node.balance;
}

inline void set_size(Node& node) noexcept {
    node.size = 1 + node_size(node.left) + node_size(node.right);
}

inline void set_heights(Node& node, std::uint64_t left, std::uint64_t right) noexcept {
    node.height = std::uint8_t(1 + std::max(left, right));
    node.balance = std::int8_t(std::int64_t(left) - std::int64_t(right));
}

// Node memory of one tree: slabs that grow with the tree, handed out in order, and a free
// list of the nodes that removal gave back. Slabs come from the interpreter's allocator,
// always under the interpreter lock.
class NodePool {
public:
    NodePool() noexcept = default;
    NodePool(NodePool&& other) noexcept;
    NodePool& operator=(NodePool&& other) noexcept;
    NodePool(const NodePool&) = delete;
    NodePool& operator=(const NodePool&) = delete;
    ~NodePool() { free_slabs(); }

    Link make(Entry&& entry, const KeyView& view) {
        return Link(new (allocate()) Node(std::move(entry), view));
    }

    // A node holding `entry`, with its key's native form, no children, and the height,
    // balance and subtree size of `shape`; the key's shape is added to `key_shapes`.
    Link copy_of(const Node& shape, Entry&& entry, ShapeTally& key_shapes);

    // Releases the node's references like its link would, then keeps its memory for reuse.
    void recycle(Link node) noexcept;

    // Gives every slab back; the nodes in them must already be released.
    void free_slabs() noexcept;

    // Memory for exactly n nodes in one new slab, all counted as handed out.
    Node* take_run(std::size_t n);

    // The nodes of the pool when they all sit in one slab from take_run() and none was
    // given back: the first of them; null otherwise.
    const Node* only_run() const noexcept;

    // Each slab is as large as all earlier ones together, up to a cap, so a small tree
    // wastes at most half its node memory and a large one at most one slab.
    static constexpr std::size_t first_slab_nodes = 4;
    static constexpr std::size_t max_slab_nodes = 87381;  // 4 MiB with the slab header

private:
    struct FreeNode {
        FreeNode* next;
    };

    void* allocate() {
        if (free_ != nullptr) {
            return std::exchange(free_, free_->next);
        }
        if (next_ == end_) {
            const std::size_t nodes = std::clamp(capacity_, first_slab_nodes, max_slab_nodes);
            next_ = add_slab(nodes);
            end_ = next_ + nodes * sizeof(Node);
        }
        void* memory = next_;
        next_ += sizeof(Node);
        return memory;
    }
    char* add_slab(std::size_t nodes);

    void* slabs_ = nullptr;  // each slab starts with the address of the one before
    FreeNode* free_ = nullptr;
    char* next_ = nullptr;
    char* end_ = nullptr;
    std::size_t capacity_ = 0;  // nodes in all slabs
};

}  // namespace quorel::tree
