#include "python_tree/node.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <utility>

#include "call_boundary/failure.hpp"

namespace quorel::tree {
namespace {

constexpr std::size_t slab_header = 16;  // keeps nodes 16-byte aligned
constexpr std::size_t first_slab_nodes = 4;
constexpr std::size_t huge_page = std::size_t(2) << 20;
// Large slabs span a whole huge page wherever they start; a tree wastes at most one slab.
constexpr std::size_t max_slab_nodes = (2 * huge_page - slab_header) / sizeof(Node);

static_assert(sizeof(Node) == 48, "node layout");

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

// Each slab is as large as all earlier ones together, up to a cap, so a small tree wastes
// at most half its node memory and a large one at most one slab.
void NodePool::add_slab() {
    const std::size_t nodes = std::clamp(capacity_, first_slab_nodes, max_slab_nodes);
    const std::size_t bytes = slab_header + nodes * sizeof(Node);
    auto* slab = static_cast<char*>(PyMem_Malloc(bytes));
    if (slab == nullptr) {
        out_of_memory();
    }
#ifdef MADV_HUGEPAGE
    // Node memory of a large tree is touched at random by every descent; huge pages keep
    // the address translations of the whole path cached.
    if (nodes == max_slab_nodes) {
        const auto start = (std::uintptr_t(slab) + huge_page - 1) & ~(huge_page - 1);
        madvise(reinterpret_cast<void*>(start), huge_page, MADV_HUGEPAGE);
    }
#endif
    *reinterpret_cast<void**>(slab) = slabs_;
    slabs_ = slab;
    next_ = slab + slab_header;
    end_ = next_ + nodes * sizeof(Node);
    capacity_ += nodes;
}

}  // namespace quorel::tree
