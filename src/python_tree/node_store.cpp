#include "python_tree/node_store.hpp"

#include <algorithm>
#include <limits>
#include <memory>

#include "call_boundary/support/memory.hpp"
#include "python_tree/memory_hints.hpp"

namespace quorel::tree {
namespace {

static_assert(sizeof(Node) == 24, "node layout");
static_assert(sizeof(Ref) == sizeof(PyObject*), "a slot is one pointer");
static_assert(max_entries == std::numeric_limits<decltype(Node::size)>::max(),
              "a root's subtree size counts every entry");

// An array of `n` T resized from `old`, which stays as it was when there is no memory.
// Ref slots move with their bytes: a handle is its one pointer.
template <class T>
T* resized(T* old, std::size_t n) {
    void* memory = PyMem_Realloc(static_cast<void*>(old), n * sizeof(T));
    if (memory == nullptr) {
        no_memory();
    }
    if (n * sizeof(T) >= 2 * huge_page_bytes) {
        advise_huge_pages(memory, n * sizeof(T));
    }
    return static_cast<T*>(memory);
}

// Every slot of [from, to) an empty handle.
void empty_slots(Ref* slots, std::size_t from, std::size_t to) noexcept {
    for (std::size_t i = from; i < to; ++i) {
        new (&slots[i]) Ref();
    }
}

// The three arrays of a store.
struct Arrays {
    Node* nodes;
    Ref* values;
    Ref* keys;  // null where keys are not apart
};

// Moves the subtree at `at` of `from` into consecutive positions of `to` in key order, from
// `next` on; returns the copy's root. The recursion is as deep as the tree.
Pos relocate(const Arrays& from, Pos at, const Arrays& to, Pos& next) noexcept {
    if (at == no_node) {
        return no_node;
    }
    const Node& old = from.nodes[at];
    const Pos left = relocate(from, old.left, to, next);
    const Pos moved = next++;
    to.nodes[moved] = old;
    to.nodes[moved].left = left;
    new (&to.values[moved]) Ref(std::move(from.values[at]));
    if (to.keys != nullptr) {
        new (&to.keys[moved]) Ref(std::move(from.keys[at]));
    }
    to.nodes[moved].right = relocate(from, old.right, to, next);
    return moved;
}

}  // namespace

void NodeStore::free_arrays() noexcept {
    PyMem_Free(nodes_);
    PyMem_Free(values_);
    PyMem_Free(keys_);
    nodes_ = nullptr;
    values_ = keys_ = nullptr;
    capacity_ = used_ = 0;
    free_ = no_node;
}

void NodeStore::release_unlinked() noexcept {
    for (std::size_t i = 0; i < used_; ++i) {
        release(Pos(i));
    }
}

void NodeStore::clear() noexcept {
    free_arrays();
    keys_apart_ = false;
    made_in_key_order_ = true;
    walked_unchanged_ = false;
}

void NodeStore::grow() {
    const std::size_t n = std::min<std::size_t>(
        std::max(first_capacity, capacity_ + capacity_ / 2), max_entries);
    // Each array keeps its contents when a later one fails; the capacity only counts what
    // all of them hold.
    nodes_ = resized(nodes_, n);
    values_ = resized(values_, n);
    empty_slots(values_, capacity_, n);
    if (keys_apart_) {
        keys_ = resized(keys_, n);
        empty_slots(keys_, capacity_, n);
    }
    capacity_ = n;
}

void NodeStore::set_keys_apart() {
    if (capacity_ > 0) {
        keys_ = resized<Ref>(nullptr, capacity_);
        for (std::size_t i = 0; i < capacity_; ++i) {
            // The key's reference moves from the value slot to its own.
            new (&keys_[i]) Ref(i < used_ ? Ref::steal(values_[i].get()) : Ref());
        }
    }
    keys_apart_ = true;
}

Pos NodeStore::make(Entry&& entry, const KeyView& view, bool largest) {
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

void NodeStore::recycle(Pos at) noexcept {
    release(at);
    nodes_[at].left = free_;
    free_ = at;
    made_in_key_order_ = false;
    walked_unchanged_ = false;
}

// Without recursion: the right subtrees still to release wait on a stack, at most one per
// level. Each node's children are fetched while its references are released.
void NodeStore::release_tree(Pos root) noexcept {
    Pos waiting[max_height];
    std::size_t depth = 0;
    Pos at = root;
    while (at != no_node) {
        const Node& n = nodes_[at];
        prefetch_children(n);
        release(at);
        if (n.right != no_node) {
            waiting[depth++] = n.right;
        }
        if (n.left != no_node) {
            at = n.left;
        } else {
            at = depth > 0 ? waiting[--depth] : no_node;
        }
    }
}

void NodeStore::reserve_exactly(std::size_t n) {
    nodes_ = resized<Node>(nullptr, n);
    values_ = resized<Ref>(nullptr, n);
    capacity_ = n;
    empty_slots(values_, 0, n);
}

void NodeStore::lay_out(Pos& root, std::uint64_t count) {
    if (count < min_laid_out || made_in_key_order_) {
        return;
    }
    NodeStore fresh;
    // Allocated before anything moves: a failure after that would lose the tree.
    fresh.reserve_exactly(std::size_t(count));
    if (keys_apart_) {
        fresh.keys_ = resized<Ref>(nullptr, std::size_t(count));
        fresh.keys_apart_ = true;
    }
    Pos next = 0;
    root = relocate({nodes_, values_, keys_}, root, {fresh.nodes_, fresh.values_, fresh.keys_},
                    next);
    fresh.used_ = next;
    fresh.walked_unchanged_ = walked_unchanged_;
    *this = std::move(fresh);  // the old slots hold nothing any more
}

void NodeStore::lay_out_before_walk(Pos& root, std::uint64_t count) {
    if (walked_unchanged_ && count <= max_walk_laid_out) {
        lay_out(root, count);
    }
    walked_unchanged_ = true;
}

}  // namespace quorel::tree
