// Tree: the engine object inside every AVLTree — the owning root link and the stored count.
//
// The engine works on keys only and never applies a key rule. Every operation that runs
// Python code (a comparison) either completes or throws before it changes any link, so a
// failed operation leaves the tree and its count exactly as they were.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "call_boundary/memory.hpp"
#include "python_tree/compare.hpp"
#include "python_tree/node.hpp"

namespace quorel::tree {

// New value references in the order they are to be yielded.
using Snapshot = Vector<Ref>;

// (value, key) pairs in ascending key order.
using EntryList = Vector<Entry>;

// Bound on any height: an AVL tree of 2**64 nodes is less than 93 high.
constexpr std::size_t max_height = 96;

class Tree {
public:
    Tree() = default;
    Tree(Tree&& other) noexcept
        : pool(std::move(other.pool)), root(std::move(other.root)),
          count(std::exchange(other.count, 0)),
          laid_out_in_order(std::exchange(other.laid_out_in_order, true)),
          walked_unchanged(std::exchange(other.walked_unchanged, false)),
          shape(std::exchange(other.shape, no_shape)) {}
    Tree& operator=(Tree&& other) noexcept {
        if (this != &other) {
            root.reset();  // the nodes go before the memory that holds them
            pool = std::move(other.pool);
            root = std::move(other.root);
            count = std::exchange(other.count, 0);
            laid_out_in_order = std::exchange(other.laid_out_in_order, true);
            walked_unchanged = std::exchange(other.walked_unchanged, false);
            shape = std::exchange(other.shape, no_shape);
        }
        return *this;
    }
    ~Tree() { root.reset(); }

    // Lookup and summary. search() throws when a comparison fails; the others cannot fail.
    PyObject* search(PyObject* key) const;  // borrowed stored value, or null
    PyObject* first() const noexcept;
    PyObject* last() const noexcept;
    std::uint64_t height() const noexcept { return node_height(root); }
    std::uint64_t size() const noexcept { return count; }

    // Mutation. insert() takes ownership of the entry; false means an equal key is stored
    // and the entry was released. remove() borrows the key.
    bool insert(Entry entry);
    bool remove(PyObject* key);
    void clear() noexcept;
    // Removes the entry at `index` (below size()) and hands over its value; no comparisons.
    Ref pop(std::uint64_t index);

    // Positions in ascending key order, each one descent of O(height). Comparisons put the
    // node's key first, except in index_of(), which puts the sought key first as search()
    // does; at most one comparison per level.
    PyObject* at(std::uint64_t index) const noexcept;  // borrowed value; index below size()
    // Values at start, start + step, ... (length of them), in that order; step is not 0.
    Snapshot slice(std::uint64_t start, std::int64_t step, std::uint64_t length) const;
    // Position of the entry whose key is Equal to `key`, or -1.
    std::int64_t index_of(PyObject* key) const;
    // How many stored keys are Less than `key` (or, with `after`, not Greater).
    std::uint64_t rank(PyObject* key, bool after) const;

    // Neighbours: the stored value with the greatest key Less (or, with `inclusive`, not
    // Greater) than `key`, or the least key Greater (not Less); borrowed, or null.
    PyObject* floor(PyObject* key, bool inclusive) const;
    PyObject* ceiling(PyObject* key, bool inclusive) const;

    // Whole-tree snapshots, reserved once at the stored count; no comparisons.
    Snapshot in_order() const;
    Snapshot descending() const;
    Snapshot pre_order() const;
    Snapshot post_order() const;
    Snapshot level_order() const;
    // Calls `take(value, key)` with borrowed references for every entry in ascending key
    // order; no comparisons. Whatever `take` throws ends the walk. `take` must not change
    // the tree.
    template <class Take>
    void each_entry(Take& take) const {
        each_entry_with([](void* context, PyObject* value, PyObject* key) {
            (*static_cast<Take*>(context))(value, key);
        }, &take);
    }
    void each_entry_with(void (*take)(void*, PyObject*, PyObject*), void* context) const;

    // Ordered queries; null endpoints are absent. Comparisons put the node's key first.
    Snapshot range(PyObject* start, PyObject* end, bool include_start, bool include_end) const;
    Snapshot iter_from(PyObject* start, std::uint64_t n) const;
    Snapshot iter_to(PyObject* end, std::uint64_t n) const;

    // Linear-time build from entries in strictly ascending key order; no comparisons.
    static Tree from_sorted_entries(EntryList entries);
    // The same from n entries that `next(context)` hands over one at a time, in order.
    static Tree from_sorted(std::size_t n, Entry (*next)(void*), void* context);

    // A tree of the same shape and bookkeeping, node by node in linear time without
    // comparisons, whose entries `copy(value, key)` makes from the stored ones, called in
    // ascending key order. Whatever `copy` throws leaves nothing behind.
    template <class Copy>
    Tree clone(Copy& copy) const {
        return clone_with([](void* context, PyObject* value, PyObject* key) {
            return (*static_cast<Copy*>(context))(value, key);
        }, &copy);
    }
    Tree clone_with(Entry (*copy)(void*, PyObject*, PyObject*), void* context) const;

    // The tree that inserting the entries one by one, in order, gives (the first of equal
    // keys is stored), laid out in key order, when every pair of keys compares natively;
    // nothing otherwise, with the entries untouched. The stored entries are moved out; the
    // others stay for the caller to release, which must run no Python code.
    static std::optional<Tree> from_native_entries(EntryList& entries);

    // Moves every node into one block of memory in key order, so that walks and ranges
    // read memory in sequence and a descent's last levels share cache lines. The shape,
    // the heights and every reference stay as they were; no Python code runs. Worth it
    // after building a tree from values in arbitrary order; a no-op when the nodes already
    // sit in key order.
    void compact();
    static constexpr std::uint64_t min_compacted = 256;

    // Called before a whole walk in key order, while no other operation is part-way
    // through the tree. From the second such walk without a change in between, lays the
    // nodes out first (compact()): a tree read again and again is then read in sequence,
    // while one changed between walks is not copied each time. Raises MemoryError, with
    // the tree unchanged, when there is no memory for the copy.
    void before_sorted_walk();
    // Trees above this many nodes are left as they are: there the copy costs several
    // walks (most of it in fresh memory) and saves less of each later one.
    static constexpr std::uint64_t max_walk_compacted = std::uint64_t(1) << 18;

    // The first of the tree's nodes when all of them sit in one run of memory in key order
    // (after compact() or a build in key order, before any later change); null otherwise.
    const Node* nodes_in_key_order() const noexcept;

    // Moves the nodes out with their memory, leaving this tree empty (used to release
    // them elsewhere).
    Tree take_all() noexcept { return std::move(*this); }

    // Checks every invariant of the records: key order between in-order neighbours with no
    // Equal pair, exact heights, balances and subtree sizes, the count, each node's native
    // key form and the shared shape of the keys.
    // Throws AssertionError naming the first broken one, or a comparison's own exception.
    // Only reads the tree; the caller holds a shared borrow while comparisons run.
    void verify() const;

    NodePool pool;  // declared first: it outlives the nodes it holds
    Link root;
    std::uint64_t count = 0;
    // Whether the nodes sit in memory in key order: true while every node was made as the
    // new largest key, by the builder or by compact(); removal ends it.
    bool laid_out_in_order = true;
    // Whether the tree was walked whole in key order since its last insertion or removal.
    bool walked_unchanged = false;
    // The shape every stored key has, or no_shape when they differ or any has none. Set by
    // the first insertion into an empty tree (its value while empty means nothing) and by
    // every construction; a key of another shape ends it, removals leave it as it is.
    KeyShape shape = no_shape;

    // The shape after linking one more key of shape `added`.
    KeyShape shape_with(KeyShape added) const noexcept {
        return count == 0 || added == shape ? added : no_shape;
    }
};

// New references to the values of n nodes laid out in key order, read from `from` in
// steps of `step` (1 or -1) and prefetched a little ahead, each constructed into the next
// of `slots`, which all hold empty handles (so constructing over them drops nothing).
void copy_laid_out_values(const Node* from, std::ptrdiff_t step, std::size_t n, Ref* slots);

// Throws OverflowError: the tree already holds max_entries entries.
[[noreturn]] void too_many_entries();

// Node-level pieces shared by insertion, removal and the builder. Rotations keep every
// subtree size exact; the callers keep the sizes of the path they changed.
// Recomputes the node's size, height and balance from its children, then rebalances.
Link rebalance(Link node);
// The same step in place, after only the subtree on one side changed: the other side's
// height is taken from the node's own record. Most calls only refresh the record.
void rebalance_link(Link& link, bool left_changed);
Link rotate_left(Link node);
Link rotate_right(Link node);

// The links from the root down to where an insertion or removal changes the tree, and the
// side taken below each of them.
struct DescentPath {
    Link* links[max_height];
    bool went_left[max_height];
    std::size_t depth = 0;

    void push(Link* link, bool left) noexcept {
        links[depth] = link;
        went_left[depth++] = left;
    }

    // Every node of the path gains (Grew) or loses one entry. From the deepest up, each is
    // rebalanced while the subtree below changed height; above the first one that keeps
    // its height the records still hold, and a rebalancing there would change nothing.
    template <bool Grew>
    void settle(bool changed) noexcept {
        auto adjust = [](Node& node) noexcept {
            if constexpr (Grew) {
                ++node.size;
            } else {
                --node.size;
            }
        };
        while (depth > 0 && changed) {
            Link& link = *links[--depth];
            const std::uint8_t height = link->height;
            adjust(*link);
            rebalance_link(link, went_left[depth]);
            changed = link->height != height;
        }
        while (depth > 0) {
            adjust(**links[--depth]);
        }
    }
};

}  // namespace quorel::tree
