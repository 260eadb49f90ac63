// NodeStore: where the nodes of one tree live, apart from the algorithm that links them.
//
// Three arrays indexed by the same position: the nodes (links, native key form, balance,
// size: all a descent reads), the value slots (all a walk copies) and, only once some key
// differs from its value, the key slots. Where every key is its own value the value slot
// stands for both: it holds the one reference of the entry, and the entry's second
// reference to the same object is dropped when the node is made.
// The arrays share one block from the interpreter's allocator (always under the
// interpreter lock), so that a large tree's memory is one mapping that goes back to the
// system whole, and they grow together. Removal gives positions back through a free list
// threaded through the nodes' left links, whose value slots are then empty.
//
// The store knows whether the nodes were made in key order, and it moves them into key
// order when that pays. It never compares keys and never changes the tree's shape.
// Nodes move only in lay_out() and lay_out_before_walk(): their callers guarantee that no
// reader is walking the tree (exclusive access, or a tree nothing else can reach yet).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "python_tree/node.hpp"

namespace quorel::tree {

class NodeStore {
public:
    NodeStore() noexcept = default;
    NodeStore(NodeStore&& other) noexcept { take(other); }
    NodeStore& operator=(NodeStore&& other) noexcept {
        if (this != &other) {
            release_unlinked();
            free_arrays();
            take(other);
        }
        return *this;
    }
    NodeStore(const NodeStore&) = delete;
    NodeStore& operator=(const NodeStore&) = delete;
    // Releases whatever references the slots still hold, in position order.
    ~NodeStore() {
        release_unlinked();
        free_arrays();
    }

    Node& node(Pos at) noexcept { return nodes_[at]; }
    const Node& node(Pos at) const noexcept { return nodes_[at]; }
    // The node array, null while the store holds none. Its address stays valid until the
    // next make(), reserve_exactly() or lay-out.
    const Node* nodes() const noexcept { return nodes_; }
    PyObject* value(Pos at) const noexcept { return values_[at].get(); }
    PyObject* key(Pos at) const noexcept { return keys_apart_ ? keys_[at].get() : values_[at].get(); }
    KeyView view(Pos at) const noexcept { return {key(at), nodes_[at].bits, nodes_[at].kind}; }
    // The value slots by position, for walks over a store in key order.
    const Ref* values() const noexcept { return values_; }
    bool keys_apart() const noexcept { return keys_apart_; }

    std::uint32_t size(Pos at) const noexcept { return at == no_node ? 0 : nodes_[at].size; }
    std::uint64_t height(Pos at) const noexcept { return at == no_node ? 0 : nodes_[at].height; }
    void set_size(Node& n) const noexcept { n.size = 1 + size(n.left) + size(n.right); }

    // A descent loads the children while comparing at their parent: the comparison may
    // have to read the key object and its items. The addresses are worked out as numbers,
    // without a branch: a hint for no_node's, far outside the array, fetches nothing.
    void prefetch_children(const Node& n) const noexcept { prefetch_children(nodes_, n); }
    // The same for a node of the array at `nodes`.
    static void prefetch_children(const Node* nodes, const Node& n) noexcept {
        const auto base = reinterpret_cast<std::uintptr_t>(nodes);
        prefetch_read(reinterpret_cast<const void*>(base + std::uintptr_t(n.left) * sizeof(Node)));
        prefetch_read(reinterpret_cast<const void*>(base + std::uintptr_t(n.right) * sizeof(Node)));
    }

    // The same as compare_views(a, view(at)) and compare_views(view(at), b), reading the
    // key slot only where the native forms cannot decide alone.
    Ordering compare_to(const KeyView& a, Pos at) const { return compare_to(a, nodes_[at], at); }
    // The same with the node at `at` already in hand.
    Ordering compare_to(const KeyView& a, const Node& n, Pos at) const {
        if (a.kind == KeyKind::integer && n.kind == KeyKind::integer) {
            return order_of(std::int64_t(a.bits), std::int64_t(n.bits));
        }
        if (a.kind == KeyKind::prefixed && n.kind == KeyKind::prefixed && a.bits != n.bits) {
            return a.bits < n.bits ? Ordering::Less : Ordering::Greater;
        }
        return compare_other_views(a, {key(at), n.bits, n.kind});
    }
    Ordering compare_from(Pos at, const KeyView& b) const {
        const Node& n = nodes_[at];
        if (b.kind == KeyKind::integer && n.kind == KeyKind::integer) {
            return order_of(std::int64_t(n.bits), std::int64_t(b.bits));
        }
        if (b.kind == KeyKind::prefixed && n.kind == KeyKind::prefixed && b.bits != n.bits) {
            return n.bits < b.bits ? Ordering::Less : Ordering::Greater;
        }
        return compare_other_views(view(at), b);
    }

    // A node for an insertion, holding `entry`, with no children. `largest`: its key is
    // Greater than every stored one, so the nodes stay made in key order (read only while
    // made_in_key_order()). Throws MemoryError with nothing changed and the entry untouched.
    Pos make(Entry&& entry, const KeyView& view, bool largest) {
        if (!keys_apart_ && entry.key.get() != entry.value.get()) {
            set_keys_apart();
        }
        Pos at = free_;
        if (at != no_node) {
            free_ = nodes_[at].left;
        } else {
            if (used_ == capacity_) {
                grow();
            }
            at = Pos(used_++);
        }
        made_in_key_order_ = made_in_key_order_ && largest;
        walked_unchanged_ = false;
        hold(at, std::move(entry), view);
        return at;
    }

    // Releases the node's value, then its key, and keeps its position for reuse (out of
    // key order).
    void recycle(Pos at) noexcept;

    // Releases the references of the subtree at `root` in pre-order: each node's value,
    // then its key, then its left and right subtrees.
    void release_tree(Pos root) noexcept;
    // Releases every value slot in position order, for a store whose keys are its values
    // (not keys_apart()) and whose values the caller knows to release without running
    // Python code: no order of release can then be told from another, and one pass in
    // sequence costs less than following the links.
    void release_swept() noexcept;

    // Gives the arrays back; every slot must already be released.
    void clear() noexcept;

    // Arrays for exactly n nodes in an empty store, to be filled in key order by place();
    // with `keys`, key slots too.
    void reserve_exactly(std::size_t n, bool keys = false);
    // The next position of a reserved store, holding `entry`, with no children. Throws
    // MemoryError, with the entry untouched, when its key is the first to differ from its
    // value and there is no memory for the key slots.
    Pos place(Entry&& entry, const KeyView& view) {
        if (!keys_apart_ && entry.key.get() != entry.value.get()) {
            set_keys_apart();
        }
        const Pos at = Pos(used_++);
        hold(at, std::move(entry), view);
        return at;
    }
    // After filling: gives back the positions never used, where the allocator can.
    void fit() noexcept;
    std::size_t used() const noexcept { return used_; }
    std::size_t capacity() const noexcept { return capacity_; }
    Pos free_list() const noexcept { return free_; }

    bool made_in_key_order() const noexcept { return made_in_key_order_; }

    // Whether the `count` nodes of the tree sit at positions 0 to count - 1 in key order
    // (after a build or a lay-out, and while insertions only add new largest keys).
    bool in_key_order(std::uint64_t count) const noexcept {
        return made_in_key_order_ && free_ == no_node && count != 0 && used_ == count;
    }

    // Moves every node of the tree rooted at `root` (`count` of them) into new arrays of
    // exactly that size in key order, unless the tree is small or its nodes were made in
    // key order: walks and ranges then read memory in sequence and a descent's last levels
    // share cache lines. The shape, the records and every reference stay as they were; no
    // Python code runs. The caller guarantees that no reader is walking the tree. Throws
    // MemoryError, with the tree unchanged, when there is no memory for the arrays.
    void lay_out(Pos& root, std::uint64_t count);

    // lay_out() from the second whole walk in key order without an insertion or removal in
    // between: a tree read again and again is then read in sequence, while one changed
    // between walks is not copied each time. The same guarantee from the caller.
    void lay_out_before_walk(Pos& root, std::uint64_t count);

    // Below this many nodes a tree stays where it is: its nodes fit the caches anyway. No
    // figure was kept for the threshold itself; laying out a 10^6-key tree took its walks
    // from 4.63 to 1.59 x iterating a SortedSet, iter_from from 1.38 to 0.65 x.
    static constexpr std::uint64_t min_laid_out = 256;
    // Walks lay out no tree above this many nodes: there the copy costs several walks
    // (most of it in fresh memory) and saves less of each later one. No figure was kept.
    static constexpr std::uint64_t max_walk_laid_out = std::uint64_t(1) << 18;

    // A growing store adds half its capacity at a time, so it wastes at most a third of
    // its memory; small stores start at this many positions.
    static constexpr std::size_t first_capacity = 4;

private:
    // Where the arrays sit in a block of `capacity` positions: the nodes, then the value
    // slots, then the key slots.
    static constexpr std::size_t value_offset = sizeof(Node);
    static constexpr std::size_t key_offset = sizeof(Node) + sizeof(Ref);
    static constexpr std::size_t position_bytes(bool keys) noexcept {
        return keys ? key_offset + sizeof(Ref) : key_offset;
    }
    void set_block(char* block, std::size_t capacity, bool keys) noexcept {
        block_ = block;
        capacity_ = capacity;
        nodes_ = reinterpret_cast<Node*>(block);
        values_ = reinterpret_cast<Ref*>(block + capacity * value_offset);
        keys_ = keys ? reinterpret_cast<Ref*>(block + capacity * key_offset) : nullptr;
    }

    void take(NodeStore& other) noexcept {
        block_ = std::exchange(other.block_, nullptr);
        nodes_ = std::exchange(other.nodes_, nullptr);
        values_ = std::exchange(other.values_, nullptr);
        keys_ = std::exchange(other.keys_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        used_ = std::exchange(other.used_, 0);
        free_ = std::exchange(other.free_, no_node);
        keys_apart_ = std::exchange(other.keys_apart_, false);
        made_in_key_order_ = std::exchange(other.made_in_key_order_, true);
        walked_unchanged_ = std::exchange(other.walked_unchanged_, false);
    }
    // Moves the entry's references into the slots of `at` and sets its record to a leaf's.
    void hold(Pos at, Entry&& entry, const KeyView& view) noexcept {
        new (&nodes_[at]) Node(view);
        new (&values_[at]) Ref(std::move(entry.value));
        if (keys_apart_) {
            new (&keys_[at]) Ref(std::move(entry.key));
        }
        // Otherwise the key is the value: the entry keeps its second reference and drops
        // it, which cannot free the object the value slot holds.
    }
    // Releases the entry at `at`: its value, then its key.
    void release(Pos at) noexcept {
        Ref value = std::move(values_[at]);
        Ref key = keys_apart_ ? std::move(keys_[at]) : Ref();
        value.reset();
        key.reset();
    }
    // Key slots for every position, each a new reference to its value's object.
    void set_keys_apart();
    void grow();
    void release_unlinked() noexcept;
    void free_arrays() noexcept;

    char* block_ = nullptr;  // holds the three arrays
    Node* nodes_ = nullptr;
    Ref* values_ = nullptr;
    Ref* keys_ = nullptr;      // only with keys_apart_
    std::size_t capacity_ = 0;  // positions in each array
    std::size_t used_ = 0;      // positions ever handed out; the rest were never used
    Pos free_ = no_node;        // the first given-back position
    bool keys_apart_ = false;
    // Whether every node was made after all nodes with smaller keys: by a build, a
    // lay-out or insertions of new largest keys. A removal ends it, since its position is
    // reused.
    bool made_in_key_order_ = true;
    // Whether the tree was walked whole in key order since its last insertion or removal.
    bool walked_unchanged_ = false;
};

}  // namespace quorel::tree
