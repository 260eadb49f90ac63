#include "python_tree/node_store.hpp"

#include <algorithm>
#include <cstring>
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

// `old` resized to `bytes`; it stays as it was when there is no memory. Ref slots move
// with their bytes: a handle is its one pointer.
char* resized(char* old, std::size_t bytes) {
    void* memory = PyMem_Realloc(old, bytes);
    if (memory == nullptr) {
        no_memory();
    }
    if (bytes >= 2 * huge_page_bytes) {
        advise_huge_pages(memory, bytes);
    }
    return static_cast<char*>(memory);
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
    to.nodes[moved].run = true;  // the copy's subtree fills consecutive positions
    new (&to.values[moved]) Ref(std::move(from.values[at]));
    if (to.keys != nullptr) {
        new (&to.keys[moved]) Ref(std::move(from.keys[at]));
    }
    to.nodes[moved].right = relocate(from, old.right, to, next);
    return moved;
}

}  // namespace

void NodeStore::free_arrays() noexcept {
    PyMem_Free(block_);
    block_ = nullptr;
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
    const std::size_t old = capacity_;
    char* const block = resized(block_, n * position_bytes(keys_apart_));
    // The slot arrays move up to their new places, the keys first, out of the values' way.
    if (keys_apart_) {
        std::memmove(block + n * key_offset, block + old * key_offset, old * sizeof(Ref));
    }
    std::memmove(block + n * value_offset, block + old * value_offset, old * sizeof(Ref));
    // The new positions' slots stay raw memory: hold() constructs them when it hands them out.
    set_block(block, n, keys_apart_);
}

void NodeStore::set_keys_apart() {
    if (capacity_ > 0) {
        set_block(resized(block_, capacity_ * position_bytes(true)), capacity_, true);
        for (std::size_t i = 0; i < capacity_; ++i) {
            // Each stored key, until now its value, gets a reference of its own slot.
            new (&keys_[i]) Ref(i < used_ ? Ref::borrow(values_[i].get()) : Ref());
        }
    }
    keys_apart_ = true;
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

void NodeStore::release_swept() noexcept {
    // The releases run no Python code, so nothing changes the store meanwhile.
    Ref* const values = values_;
    const std::size_t n = used_;
    constexpr std::size_t ahead = 8;  // the objects sit anywhere in memory
    for (std::size_t i = 0; i < n; ++i) {
        if (i + ahead < n) {
            prefetch_write(values[i + ahead].get());
        }
        values[i].reset();
    }
}

void NodeStore::reserve_exactly(std::size_t n, bool keys) {
    set_block(resized(nullptr, n * position_bytes(keys)), n, keys);
    keys_apart_ = keys;
    empty_slots(values_, 0, n);
    if (keys) {
        empty_slots(keys_, 0, n);
    }
}

void NodeStore::fit() noexcept {
    if (used_ == capacity_) {
        return;
    }
    if (used_ == 0) {
        free_arrays();
        return;
    }
    // The slot arrays move down first; the block keeps them whether or not it shrinks.
    std::memmove(block_ + used_ * value_offset, values_, used_ * sizeof(Ref));
    if (keys_apart_) {
        std::memmove(block_ + used_ * key_offset, keys_, used_ * sizeof(Ref));
    }
    set_block(block_, used_, keys_apart_);
    if (void* smaller = PyMem_Realloc(block_, used_ * position_bytes(keys_apart_))) {
        set_block(static_cast<char*>(smaller), used_, keys_apart_);
    }
}

void NodeStore::lay_out(Pos& root, std::uint64_t count) {
    if (count < min_laid_out || made_in_key_order_) {
        return;
    }
    NodeStore fresh;
    // Allocated before anything moves: a failure after that would lose the tree.
    fresh.reserve_exactly(std::size_t(count), keys_apart_);
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
