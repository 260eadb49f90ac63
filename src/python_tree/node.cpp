#include "python_tree/node.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "call_boundary/failure.hpp"
#include "python_tree/memory_hints.hpp"

namespace quorel::tree {
namespace {

constexpr std::size_t slab_header = 16;  // keeps nodes 16-byte aligned
static_assert(sizeof(Node) == 48, "node layout");
static_assert(max_entries == std::numeric_limits<decltype(Node::size)>::max(),
              "a root's subtree size counts every entry");
// The largest slab spans a whole huge page wherever it starts.
static_assert(slab_header + NodePool::max_slab_nodes * sizeof(Node) == 2 * huge_page_bytes);

}  // namespace

void NodeRelease::operator()(Node* node) const noexcept {
    node->value.reset();
    node->key.reset();
    node->left.reset();
    node->right.reset();
    std::destroy_at(node);
}

NodePool::NodePool(NodePool&& other) noexcept
    : slabs_(std::exchange(other.slabs_, nullptr)), free_(std::exchange(other.free_, nullptr)),
      next_(std::exchange(other.next_, nullptr)), end_(std::exchange(other.end_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)) {}

NodePool& NodePool::operator=(NodePool&& other) noexcept {
    if (this != &other) {
        free_slabs();
        slabs_ = std::exchange(other.slabs_, nullptr);
        free_ = std::exchange(other.free_, nullptr);
        next_ = std::exchange(other.next_, nullptr);
        end_ = std::exchange(other.end_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

void NodePool::recycle(Link node) noexcept {
    Node* memory = node.release();
    NodeRelease()(memory);
    free_ = new (static_cast<void*>(memory)) FreeNode{free_};
}

void NodePool::free_slabs() noexcept {
    while (slabs_ != nullptr) {
        void* slab = slabs_;
        slabs_ = *static_cast<void**>(slab);
        PyMem_Free(slab);
    }
    free_ = nullptr;
    next_ = end_ = nullptr;
    capacity_ = 0;
}

char* NodePool::add_slab(std::size_t nodes) {
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

Link NodePool::copy_of(const Node& shape, Entry&& entry, ShapeTally& key_shapes) {
    KeyShape added;
    const KeyView view = view_key(entry.key.get(), added);
    key_shapes.add(added);
    Link node = make(std::move(entry), view);
    // The shape's bookkeeping: every field besides the entry, its native form and the links.
    node->height = shape.height;
    node->balance = shape.balance;
    node->size = shape.size;
    return node;
}

Node* NodePool::take_run(std::size_t n) {
    return reinterpret_cast<Node*>(add_slab(n));
}

const Node* NodePool::only_run() const noexcept {
    // A slab from allocate() sets next_; a second slab links to the first.
    if (slabs_ == nullptr || next_ != nullptr || free_ != nullptr ||
        *static_cast<void* const*>(slabs_) != nullptr) {
        return nullptr;
    }
    return reinterpret_cast<const Node*>(static_cast<const char*>(slabs_) + slab_header);
}

}  // namespace quorel::tree
