// Tree: the engine object inside every AVLTree — the root's position, the stored count,
// the structure the keys share and the node store that holds the nodes. Its state is
// private: builders make trees through the one constructor that takes a NodeBlock.
//
// The engine works on keys only and never applies a key rule. Every operation that runs
// Python code (a comparison) either completes or throws before it changes any link, so a
// failed operation leaves the tree and its count exactly as they were.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "call_boundary/support/memory.hpp"
#include "python_tree/compare.hpp"
#include "python_tree/node_block.hpp"
#include "python_tree/node_store.hpp"

namespace quorel::tree {

// New value references in the order they are to be yielded.
using Snapshot = Vector<Ref>;

// (value, key) pairs in ascending key order.
using EntryList = TemporaryVector<Entry>;

class Tree {
public:
    Tree() = default;
    // The one constructor of every built tree: the nodes of `block`, linked under `root`
    // (see NodeBlock for what the builder guarantees).
    Tree(NodeBlock block, Pos root) noexcept;
    Tree(Tree&& other) noexcept
        : store_(std::move(other.store_)), root_(std::exchange(other.root_, no_node)),
          count_(std::exchange(other.count_, 0)),
          structure_(std::exchange(other.structure_, no_structure)) {}
    Tree& operator=(Tree&& other) noexcept {
        if (this != &other) {
            // The old entries go last, so that whatever their release runs finds this tree
            // whole.
            Tree old(std::move(*this));
            store_ = std::move(other.store_);
            root_ = std::exchange(other.root_, no_node);
            count_ = std::exchange(other.count_, 0);
            structure_ = std::exchange(other.structure_, no_structure);
        }
        return *this;
    }
    ~Tree() { release(); }

    // Lookup and summary. search() throws when a comparison fails; the others cannot fail.
    PyObject* search(PyObject* key) const;  // borrowed stored value, or null
    PyObject* first() const noexcept;
    PyObject* last() const noexcept;
    std::uint64_t height() const noexcept { return store_.height(root_); }
    std::uint64_t size() const noexcept { return count_; }
    // The structure every stored key has; no_structure when they differ or any has none,
    // or when the tree is empty.
    KeyStructure key_structure() const noexcept {
        return count_ == 0 ? no_structure : structure_;
    }

    // Mutation. insert() takes ownership of the entry; false means an equal key is stored
    // and the entry was released. remove() borrows the key.
    bool insert(Entry entry);
    // insert() that also tells where a new entry went: its position in ascending key order,
    // as pop() takes it, so that a caller can take it out again without comparisons.
    bool insert_ranked(Entry entry, std::uint64_t& position);
    // The choice between inserting a batch of m new entries one at a time and merging them
    // with the stored entries into a new tree. Inserts them, in order, when the batch is
    // small against the tree and every key has the structure of the stored ones, so that
    // no insertion can fail or run Python code, and returns true; returns false, with
    // nothing changed, to leave the batch to the merge. `batch(i)` hands over the i-th of
    // `lists` entry lists and is called only once the batch's size allows insertion; the
    // inserted entries are moved out. Running out of memory part-way takes them out again
    // (comparing natively) and throws.
    template <class Batch>
    bool insert_batch(std::size_t m, std::size_t lists, Batch& batch) {
        return insert_batch_with(m, lists, [](void* context, std::size_t i) -> EntryList& {
            return (*static_cast<Batch*>(context))(i);
        }, &batch);
    }
    bool insert_batch_with(std::size_t m, std::size_t lists,
                           EntryList& (*batch)(void*, std::size_t), void* context);
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

    // The balanced tree of n entries that `next(context)` hands over one at a time in
    // strictly ascending key order, in linear time without comparisons: the root of each
    // subtree is its entry at position n / 2 (the upper middle for even n).
    static Tree from_sorted(std::size_t n, Entry (*next)(void*), void* context);
    // The same from a list of such entries.
    static Tree from_sorted_entries(EntryList entries);

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
    // The tree that inserting the entries one by one, in order, gives: the choice between
    // building it from ranks (from_native_entries) and inserting. The ranks serve a batch
    // large enough for them to pay whose values are their own keys, so that releasing the
    // repeated ones early runs no Python code. Throws what a comparison throws, leaving
    // nothing behind.
    static Tree from_entries(EntryList entries);

    // Room for n insertions into a tree that has never held an entry, so that they never
    // grow the store in steps (whose freed blocks a large tree's build would leave in the
    // heap). lay_out() gives back the room they did not take. Throws MemoryError, with the
    // tree as it was.
    void reserve(std::size_t n) {
        if (store_.capacity() == 0 && n > 0) {
            store_.reserve_exactly(n);
        }
    }
    // Moves every node into one block of memory in key order (see NodeStore::lay_out), or
    // where that does not pay, gives back the positions never used. The caller guarantees
    // that no reader is walking the tree. Throws MemoryError, with the tree unchanged.
    void lay_out() {
        store_.lay_out(root_, count_);
        store_.fit();
    }
    // Called before a whole walk in key order: from the second such walk without a change
    // in between, lays the nodes out first. The same guarantee from the caller.
    void lay_out_before_walk() { store_.lay_out_before_walk(root_, count_); }

    // The value slots of every entry in key order when the nodes sit at positions 0 to
    // size() - 1 in key order; null otherwise.
    const Ref* key_order_values() const noexcept {
        return store_.in_key_order(count_) ? store_.values() : nullptr;
    }
    // The store when it holds the nodes at positions 0 to size() - 1 in key order; null
    // otherwise.
    const NodeStore* key_order_store() const noexcept {
        return store_.in_key_order(count_) ? &store_ : nullptr;
    }

    // Moves the nodes out with their memory, leaving this tree empty (used to release
    // them elsewhere).
    Tree take_all() noexcept { return std::move(*this); }

    // Checks every invariant of the records: key order between in-order neighbours with no
    // Equal pair, exact heights, balances and subtree sizes, the count, each node's native
    // key form and the structure the keys share; and of the store: every position either
    // linked once or on the free list, value (and key) slots held exactly by the linked
    // ones, the free list and positions within the store, and every subtree marked as a
    // run at its consecutive positions.
    // Throws AssertionError naming the first broken one, or a comparison's own exception.
    // Only reads the tree; the caller holds a shared borrow while comparisons run.
    void verify() const;

private:
    template <bool Ranked>
    bool insert_entry(Entry& entry, std::uint64_t* position);
    // Releases every entry in the tree's release order, then the store's memory. Where
    // every key is its value and shares a structure, each is an exact int, float or str or
    // a tuple of those, whose release runs no Python code: there the order cannot be
    // observed, and the store sweeps its slots instead.
    void release() noexcept {
        const Pos root = std::exchange(root_, no_node);
        if (!store_.keys_apart() && key_structure() != no_structure) {
            store_.release_swept();
        } else {
            store_.release_tree(root);
        }
        count_ = 0;
        store_.clear();
    }

    NodeStore store_;
    Pos root_ = no_node;
    std::uint64_t count_ = 0;
    // The structure every stored key has, or no_structure when they differ or any has
    // none. Set by the first insertion into an empty tree (its value while empty means
    // nothing) and by every construction; a key of another structure ends it, removals
    // leave it as it is.
    KeyStructure structure_ = no_structure;
};

// New references to the n values of a key-order run of value slots, read from `from` in
// steps of `step` (1 or -1) and prefetched a little ahead, each constructed into the next
// of `slots`, which all hold empty handles (so constructing over them drops nothing).
void copy_run_values(const Ref* from, std::ptrdiff_t step, std::size_t n, Ref* slots);

}  // namespace quorel::tree
