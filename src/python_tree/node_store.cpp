#include "python_tree/node_store.hpp"

#include <limits>

#include "call_boundary/support/memory.hpp"
#include "python_tree/memory_hints.hpp"

namespace quorel::tree {
namespace {

// Each slab starts with the address of the one before and its number of nodes.
struct SlabHeader {
    void* previous;
    std::size_t nodes;
};
constexpr std::size_t slab_header = sizeof(SlabHeader);
static_assert(slab_header == 16, "keeps nodes 16-byte aligned");

const SlabHeader& header(const void* slab) noexcept {
    return *static_cast<const SlabHeader*>(slab);
}
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
        slabs_ = header(slab).previous;
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
    new (slab) SlabHeader{slabs_, nodes};
    slabs_ = slab;
    capacity_ += nodes;
    return slab + slab_header;
}

Node* NodeStore::take_block(std::size_t n) {
    return reinterpret_cast<Node*>(add_slab(n));
}

void NodeStore::keep_placed(std::size_t placed) noexcept {
    char* const first = static_cast<char*>(slabs_) + slab_header;
    const std::size_t nodes = header(slabs_).nodes;
    if (placed < nodes) {
        next_ = first + placed * sizeof(Node);
        end_ = first + nodes * sizeof(Node);
    }
}

const Node* NodeStore::key_order_run() const noexcept {
    // Every node handed out is in the tree, and a second slab links to the first.
    if (!made_in_key_order_ || slabs_ == nullptr || free_ != nullptr ||
        header(slabs_).previous != nullptr) {
        return nullptr;
    }
    return reinterpret_cast<const Node*>(static_cast<const char*>(slabs_) + slab_header);
}

const void* NodeStore::previous_slab(const void* slab) noexcept {
    return header(slab).previous;
}

NodeStore::Run NodeStore::slab_run(const void* slab) const noexcept {
    const char* first = static_cast<const char*>(slab) + slab_header;
    std::size_t n = header(slab).nodes;
    if (first + n * sizeof(Node) == end_) {
        n -= unused();  // the slab handing out nodes
    }
    return {reinterpret_cast<const Node*>(first), n};
}

std::size_t NodeStore::key_order_runs(Run (&runs)[max_runs]) const noexcept {
    std::size_t k = 0;
    each_run_newest_first([&](const Run& run, std::size_t) {
        if (k == max_runs) {
            k = 0;
            return true;
        }
        runs[k++] = run;
        return false;
    });
    std::reverse(runs, runs + k);
    return k;
}

void NodeStore::lay_out(Link& root, std::uint64_t count) {
    if (count < min_laid_out || made_in_key_order_) {
        return;
    }
    NodeStore fresh;
    // Allocated before the root is handed over: a failure after the move would lose the
    // tree.
    Node* const slots = fresh.take_block(count);
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
