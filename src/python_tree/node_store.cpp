#include "python_tree/node_store.hpp"

#include <limits>

#include "call_boundary/memory.hpp"
#include "python_tree/memory_hints.hpp"

namespace quorel::tree {
namespace {

constexpr std::size_t slab_header = 16;  // keeps nodes 16-byte aligned
static_assert(sizeof(Node) == 48, "node layout");
static_assert(max_entries == std::numeric_limits<decltype(Node::size)>::max(),
              "a root's subtree size counts every entry");
// The largest slab spans a whole huge page wherever it starts.
static_assert(slab_header + NodeStore::max_slab_nodes * sizeof(Node) == 2 * huge_page_bytes);

// Moves the nodes of a subtree into consecutive slots in key order; returns the new root.
// The old records are left empty and hold nothing any more.
Link relocate(Link node, Node* slots, std::size_t& next) {
    if (!node) {
        return Link();
    }
    Link left = relocate(std::move(node->left), slots, next);
    Link moved(new (static_cast<void*>(slots + next++)) Node(std::move(*node)));
    node.reset();
    moved->left = std::move(left);
    moved->right = relocate(std::move(moved->right), slots, next);
    return moved;
}

}  // namespace

NodeStore::NodeStore(NodeStore&& other) noexcept
    : slabs_(std::exchange(other.slabs_, nullptr)), free_(std::exchange(other.free_, nullptr)),
      next_(std::exchange(other.next_, nullptr)), end_(std::exchange(other.end_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      made_in_key_order_(std::exchange(other.made_in_key_order_, true)),
      walked_unchanged_(std::exchange(other.walked_unchanged_, false)) {}

NodeStore& NodeStore::operator=(NodeStore&& other) noexcept {
    if (this != &other) {
        free_slabs();
        slabs_ = std::exchange(other.slabs_, nullptr);
        free_ = std::exchange(other.free_, nullptr);
        next_ = std::exchange(other.next_, nullptr);
        end_ = std::exchange(other.end_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        made_in_key_order_ = std::exchange(other.made_in_key_order_, true);
        walked_unchanged_ = std::exchange(other.walked_unchanged_, false);
    }
    return *this;
}

void NodeStore::recycle(Link node) noexcept {
    Node* memory = node.release();
    NodeRelease()(memory);
    free_ = new (static_cast<void*>(memory)) FreeNode{free_};
    made_in_key_order_ = false;
    walked_unchanged_ = false;
}

void NodeStore::clear() noexcept {
    free_slabs();
    made_in_key_order_ = true;
    walked_unchanged_ = false;
}

void NodeStore::free_slabs() noexcept {
    while (slabs_ != nullptr) {
        void* slab = slabs_;
        slabs_ = *static_cast<void**>(slab);
        PyMem_Free(slab);
    }
    free_ = nullptr;
    next_ = end_ = nullptr;
    capacity_ = 0;
}

char* NodeStore::add_slab(std::size_t nodes) {
    const std::size_t bytes = slab_header + nodes * sizeof(Node);
    auto* slab = static_cast<char*>(allocate_bytes(bytes));
    if (bytes >= 2 * huge_page_bytes) {
        advise_huge_pages(slab, bytes);
    }
    *reinterpret_cast<void**>(slab) = slabs_;
    slabs_ = slab;
    capacity_ += nodes;
    return slab + slab_header;
}

Node* NodeStore::take_run(std::size_t n) {
    return reinterpret_cast<Node*>(add_slab(n));
}

const Node* NodeStore::key_order_run() const noexcept {
    // A slab from allocate() sets next_; a second slab links to the first.
    if (!made_in_key_order_ || slabs_ == nullptr || next_ != nullptr || free_ != nullptr ||
        *static_cast<void* const*>(slabs_) != nullptr) {
        return nullptr;
    }
    return reinterpret_cast<const Node*>(static_cast<const char*>(slabs_) + slab_header);
}

void NodeStore::lay_out(Link& root, std::uint64_t count) {
    if (count < min_laid_out || made_in_key_order_) {
        return;
    }
    NodeStore fresh;
    // Allocated before the root is handed over: a failure after the move would lose the
    // tree.
    Node* const slots = fresh.take_run(count);
    std::size_t next = 0;
    root = relocate(std::move(root), slots, next);
    fresh.walked_unchanged_ = walked_unchanged_;
    *this = std::move(fresh);  // the old slabs held only emptied records
}

void NodeStore::lay_out_before_walk(Link& root, std::uint64_t count) {
    if (walked_unchanged_ && count <= max_walk_laid_out) {
        lay_out(root, count);
    }
    walked_unchanged_ = true;
}

}  // namespace quorel::tree
