// Positions and neighbours. Each query is one descent from the root: positions follow the
// subtree sizes and compare nothing; key-taking queries make at most one comparison per level.
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Walks `length` values from position `first` of a walk that visits `Toward` subtrees
// first (ascending for the left child, descending for the right one). The stack holds
// the path's nodes still to come, so each further value costs amortised constant time.
template <Link Node::*Toward, Link Node::*Away>
void walk_from(const Node* node, std::uint64_t first, std::uint64_t length, Snapshot& out) {
    const Node* stack[max_height];
    std::size_t depth = 0;
    for (;;) {
        const std::uint64_t before = node_size(node->*Toward);
        if (first <= before) {
            stack[depth++] = node;
            if (first == before) {
                break;
            }
            node = (node->*Toward).get();
        } else {
            first -= before + 1;
            node = (node->*Away).get();
        }
    }
    for (std::uint64_t taken = 0; taken < length; ++taken) {
        const Node* next = stack[--depth];
        out.push_back(next->value.new_ref());
        for (next = (next->*Away).get(); next != nullptr; next = (next->*Toward).get()) {
            stack[depth++] = next;
        }
    }
}

// The neighbour on the side of `Side` (Less: below the key, Greater: above it): the node
// closest to the key among those on that side, or Equal to it when `inclusive`.
template <Ordering Side, Link Node::*Inward, Link Node::*Outward>
PyObject* neighbour(const Node* node, PyObject* key, bool inclusive) {
    const KeyView sought = view_key(key);
    const Node* found = nullptr;
    while (node != nullptr) {
        const Ordering order = compare_views(node->view(), sought);
        if (order == Side || (order == Ordering::Equal && inclusive)) {
            found = node;
            if (order == Ordering::Equal) {
                break;
            }
            node = (node->*Inward).get();
        } else {
            node = (node->*Outward).get();
        }
    }
    return found != nullptr ? found->value.get() : nullptr;
}

struct Rank {
    std::uint64_t below;  // stored keys Less than the sought one
    bool equal;           // whether one is Equal to it
};

// One descent towards `key`; `SoughtFirst` puts the sought key first in each comparison.
template <bool SoughtFirst>
Rank rank_of(const Node* node, PyObject* key) {
    const KeyView sought = view_key(key);
    std::uint64_t below = 0;
    while (node != nullptr) {
        const Ordering order = SoughtFirst ? compare_views(sought, node->view())
                                           : compare_views(node->view(), sought);
        if (order == Ordering::Equal) {
            return {below + node_size(node->left), true};
        }
        if (order == (SoughtFirst ? Ordering::Greater : Ordering::Less)) {
            below += node_size(node->left) + 1;
            node = node->right.get();
        } else {
            node = node->left.get();
        }
    }
    return {below, false};
}

}  // namespace

PyObject* Tree::at(std::uint64_t index) const noexcept {
    if (store_.in_key_order_runs(count_)) {
        // The node sits at its position in its run: one memory access instead of a path.
        const Node* found = nullptr;
        store_.each_run_newest_first([&](const NodeStore::Run& run, std::size_t before) {
            if (index < before) {
                return false;
            }
            found = run.first + (index - before);
            return true;
        });
        return found->value.get();
    }
    const Node* node = root_.get();
    for (;;) {
        const std::uint64_t before = node_size(node->left);
        if (index < before) {
            node = node->left.get();
        } else if (index == before) {
            return node->value.get();
        } else {
            index -= before + 1;
            node = node->right.get();
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
        walk_from<&Node::left, &Node::right>(root_.get(), start, length, out);
    } else if (step == -1) {
        walk_from<&Node::right, &Node::left>(root_.get(), count_ - 1 - start, length, out);
    } else {
        for (std::uint64_t i = 0; i < length; ++i) {
            const std::int64_t position = std::int64_t(start) + std::int64_t(i) * step;
            out.push_back(Ref::borrow(at(std::uint64_t(position))));
        }
    }
    return out;
}

std::int64_t Tree::index_of(PyObject* key) const {
    const Rank found = rank_of<true>(root_.get(), key);
    return found.equal ? std::int64_t(found.below) : -1;
}

std::uint64_t Tree::rank(PyObject* key, bool after) const {
    const Rank found = rank_of<false>(root_.get(), key);
    return found.below + (found.equal && after ? 1 : 0);
}

PyObject* Tree::floor(PyObject* key, bool inclusive) const {
    return neighbour<Ordering::Less, &Node::right, &Node::left>(root_.get(), key, inclusive);
}

PyObject* Tree::ceiling(PyObject* key, bool inclusive) const {
    return neighbour<Ordering::Greater, &Node::left, &Node::right>(root_.get(), key, inclusive);
}

}  // namespace quorel::tree
