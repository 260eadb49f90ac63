// Positions and neighbours. Each query is one descent from the root: positions follow the
// subtree sizes and compare nothing; key-taking queries make at most one comparison per level.
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Walks `length` values from position `first` of a walk that visits `Toward` subtrees
// first (ascending for the left child, descending for the right one). The stack holds
// the path's nodes still to come, so each further value costs amortised constant time.
template <Pos Node::*Toward, Pos Node::*Away>
void walk_from(const NodeStore& store, Pos at, std::uint64_t first, std::uint64_t length,
               Snapshot& out) {
    Pos stack[max_height];
    std::size_t depth = 0;
    for (;;) {
        const Node& node = store.node(at);
        const std::uint64_t before = store.size(node.*Toward);
        if (first <= before) {
            stack[depth++] = at;
            if (first == before) {
                break;
            }
            at = node.*Toward;
        } else {
            first -= before + 1;
            at = node.*Away;
        }
    }
    for (std::uint64_t taken = 0; taken < length; ++taken) {
        const Pos next = stack[--depth];
        out.push_back(Ref::borrow(store.value(next)));
        for (Pos below = store.node(next).*Away; below != no_node;
             below = store.node(below).*Toward) {
            stack[depth++] = below;
        }
    }
}

// The neighbour on the side of `Side` (Less: below the key, Greater: above it): the node
// closest to the key among those on that side, or Equal to it when `inclusive`.
template <Ordering Side, Pos Node::*Inward, Pos Node::*Outward>
PyObject* neighbour(const NodeStore& store, Pos at, PyObject* key, bool inclusive) {
    const KeyView sought = view_key(key);
    Pos found = no_node;
    while (at != no_node) {
        const Ordering order = store.compare_from(at, sought);
        if (order == Side || (order == Ordering::Equal && inclusive)) {
            found = at;
            if (order == Ordering::Equal) {
                break;
            }
            at = store.node(at).*Inward;
        } else {
            at = store.node(at).*Outward;
        }
    }
    return found != no_node ? store.value(found) : nullptr;
}

struct Rank {
    std::uint64_t below;  // stored keys Less than the sought one
    bool equal;           // whether one is Equal to it
};

// One descent towards `key`; `SoughtFirst` puts the sought key first in each comparison.
template <bool SoughtFirst>
Rank rank_of(const NodeStore& store, Pos at, PyObject* key) {
    const KeyView sought = view_key(key);
    std::uint64_t below = 0;
    while (at != no_node) {
        const Node& node = store.node(at);
        const Ordering order = SoughtFirst ? store.compare_to(sought, at)
                                           : store.compare_from(at, sought);
        if (order == Ordering::Equal) {
            return {below + store.size(node.left), true};
        }
        if (order == (SoughtFirst ? Ordering::Greater : Ordering::Less)) {
            below += store.size(node.left) + 1;
            at = node.right;
        } else {
            at = node.left;
        }
    }
    return {below, false};
}

}  // namespace

PyObject* Tree::at(std::uint64_t index) const noexcept {
    if (store_.in_key_order(count_)) {
        return store_.value(Pos(index));  // one memory access instead of a path
    }
    Pos at = root_;
    for (;;) {
        const Node& node = store_.node(at);
        const std::uint64_t before = store_.size(node.left);
        if (index < before) {
            at = node.left;
        } else if (index == before) {
            return store_.value(at);
        } else {
            index -= before + 1;
            at = node.right;
        }
    }
}

Snapshot Tree::slice(std::uint64_t start, std::int64_t step, std::uint64_t length) const {
    Snapshot out;
    if (length == 0) {
        return out;
    }
    out.reserve(length);
    if (step == 1) {
        walk_from<&Node::left, &Node::right>(store_, root_, start, length, out);
    } else if (step == -1) {
        walk_from<&Node::right, &Node::left>(store_, root_, count_ - 1 - start, length, out);
    } else {
        for (std::uint64_t i = 0; i < length; ++i) {
            const std::int64_t position = std::int64_t(start) + std::int64_t(i) * step;
            out.push_back(Ref::borrow(at(std::uint64_t(position))));
        }
    }
    return out;
}

std::int64_t Tree::index_of(PyObject* key) const {
    const Rank found = rank_of<true>(store_, root_, key);
    return found.equal ? std::int64_t(found.below) : -1;
}

std::uint64_t Tree::rank(PyObject* key, bool after) const {
    const Rank found = rank_of<false>(store_, root_, key);
    return found.below + (found.equal && after ? 1 : 0);
}

PyObject* Tree::floor(PyObject* key, bool inclusive) const {
    return neighbour<Ordering::Less, &Node::right, &Node::left>(store_, root_, key, inclusive);
}

PyObject* Tree::ceiling(PyObject* key, bool inclusive) const {
    return neighbour<Ordering::Greater, &Node::left, &Node::right>(store_, root_, key, inclusive);
}

}  // namespace quorel::tree
