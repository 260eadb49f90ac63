// NodeStore: where the nodes of one tree live, apart from the algorithm that links them.
//
// The store owns the memory of every node: slabs from the interpreter's allocator (always
// under the interpreter lock), handed out in order, and a free list of the nodes that
// removal gave back. It knows whether the nodes were made in key order and whether they
// sit in one block, and it moves them into one block in key order when that pays. It never
// compares keys and never changes the tree's shape.
//
// Nodes move only in lay_out() and lay_out_before_walk(): their callers guarantee that no
// reader is walking the tree (exclusive access, or a tree nothing else can reach yet).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "python_tree/node.hpp"

namespace quorel::tree {

class NodeStore {
public:
    NodeStore() noexcept = default;
    NodeStore(NodeStore&& other) noexcept;
    NodeStore& operator=(NodeStore&& other) noexcept;
    NodeStore(const NodeStore&) = delete;
    NodeStore& operator=(const NodeStore&) = delete;
    ~NodeStore() { free_slabs(); }

    // A node for an insertion, holding `entry`, with no children. `largest`: its key is
    // Greater than every stored one, so the nodes stay made in key order (read only while
    // made_in_key_order()).
    Link make(Entry&& entry, const KeyView& view, bool largest) {
        made_in_key_order_ = made_in_key_order_ && largest;
        walked_unchanged_ = false;
        return Link(new (allocate()) Node(std::move(entry), view));
    }

    // Releases the node's references like its link would, then keeps its memory for reuse
    // (out of key order).
    void recycle(Link node) noexcept;

    // Gives every slab back; the nodes in them must already be released.
    void clear() noexcept;

    // Memory for n nodes in one new slab of an empty store, all counted as handed out, to
    // be filled in key order.
    Node* take_block(std::size_t n);
    // After take_block(): only the first `placed` of its nodes were filled. The others are
    // handed out next, so a tree grown at its upper end keeps filling the block.
    void keep_placed(std::size_t placed) noexcept;

    bool made_in_key_order() const noexcept { return made_in_key_order_; }

    // The first node when all of them sit in one block in key order (after a build or a
    // lay-out, before any later change); null otherwise. The block holds the tree's nodes
    // in key order from there.
    const Node* key_order_run() const noexcept;

    // Nodes made one after the other in one slab.
    struct Run {
        const Node* first;
        std::size_t n;
    };

    // Whether the `count` nodes of the tree sit in key order slab after slab, one run in
    // each (after a build or a lay-out, and while insertions only add new largest keys).
    bool in_key_order_runs(std::uint64_t count) const noexcept {
        return made_in_key_order_ && free_ == nullptr && count != 0 &&
               capacity_ - unused() == count;
    }
    // With in_key_order_runs(): calls `visit(run, before)` for the run of each slab, newest
    // first, with the number of nodes (positions in key order) before it, until `visit`
    // returns true.
    template <class Visit>
    void each_run_newest_first(Visit visit) const noexcept {
        std::size_t made = capacity_ - unused();
        for (const void* slab = slabs_; slab != nullptr; slab = previous_slab(slab)) {
            const Run run = slab_run(slab);
            made -= run.n;
            if (visit(run, made)) {
                return;
            }
        }
    }
    // With in_key_order_runs() and at most max_runs slabs: writes their runs to `runs` in
    // key order and returns how many; 0 otherwise.
    static constexpr std::size_t max_runs = 64;
    std::size_t key_order_runs(Run (&runs)[max_runs]) const noexcept;

    // Moves every node of the tree rooted at `root` (`count` of them) into one new block in
    // key order, unless the tree is small or its nodes were made in key order: walks and
    // ranges then read memory in sequence and a descent's last levels share cache lines.
    // The shape, the records and every reference stay as they were; no Python code runs.
    // The caller guarantees that no reader is walking the tree. Throws MemoryError, with
    // the tree unchanged, when there is no memory for the block.
    void lay_out(Link& root, std::uint64_t count);

    // lay_out() from the second whole walk in key order without an insertion or removal in
    // between: a tree read again and again is then read in sequence, while one changed
    // between walks is not copied each time. The same guarantee from the caller.
    void lay_out_before_walk(Link& root, std::uint64_t count);

    // Below this many nodes (12 KiB) a tree stays where it is: its nodes fit the caches
    // anyway. No figure was kept for the threshold itself; laying out a 10^6-key tree took
    // its walks from 4.63 to 1.59 x iterating a SortedSet, iter_from from 1.38 to 0.65 x.
    static constexpr std::uint64_t min_laid_out = 256;
    // Walks lay out no tree above this many nodes: there the copy costs several walks
    // (most of it in fresh memory) and saves less of each later one. No figure was kept.
    static constexpr std::uint64_t max_walk_laid_out = std::uint64_t(1) << 18;

    // Each slab is as large as all earlier ones together, up to a cap, so a small tree
    // wastes at most half its node memory and a large one at most one slab. The sizes
    // follow from that bound and from huge pages (see node_store.cpp), not from timing.
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
    void free_slabs() noexcept;
    std::size_t unused() const noexcept { return std::size_t(end_ - next_) / sizeof(Node); }
    static const void* previous_slab(const void* slab) noexcept;
    Run slab_run(const void* slab) const noexcept;

    void* slabs_ = nullptr;  // the newest slab
    FreeNode* free_ = nullptr;
    char* next_ = nullptr;
    char* end_ = nullptr;
    std::size_t capacity_ = 0;  // nodes in all slabs
    // Whether every node was made after all nodes with smaller keys: by a build, a
    // lay-out or insertions of new largest keys. The nodes then follow key order in each
    // slab, slab after slab; a removal ends it, since its node's memory is reused.
    bool made_in_key_order_ = true;
    // Whether the tree was walked whole in key order since its last insertion or removal.
    bool walked_unchanged_ = false;
};

}  // namespace quorel::tree
