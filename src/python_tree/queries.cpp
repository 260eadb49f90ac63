#include <algorithm>

#include "call_boundary/failure.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

struct RangeBounds {
    PyObject* start;  // null: no lower bound
    PyObject* end;    // null: no upper bound
    bool include_start;
    bool include_end;
};

// In-order walk that skips subtrees which cannot hold keys within the bounds. Both
// comparisons of a node are made before anything below it is visited.
void collect_range(const Node* node, const RangeBounds& bounds, Snapshot& out) {
    if (node == nullptr) {
        return;
    }
    Ordering cs = Ordering::Greater;  // an absent bound admits everything
    Ordering ce = Ordering::Less;
    if (bounds.start != nullptr) {
        cs = compare(node->key.get(), bounds.start);
    }
    if (bounds.end != nullptr) {
        ce = compare(node->key.get(), bounds.end);
    }
    if (cs == Ordering::Greater) {
        collect_range(node->left.get(), bounds, out);
    }
    const bool above_start = cs == Ordering::Greater || (cs == Ordering::Equal && bounds.include_start);
    const bool below_end = ce == Ordering::Less || (ce == Ordering::Equal && bounds.include_end);
    if (above_start && below_end) {
        out.push_back(node->value.new_ref());
    }
    if (ce == Ordering::Less) {
        collect_range(node->right.get(), bounds, out);
    }
}

// The bounded queries share one shape: descend one path comparing against the endpoint,
// stacking the nodes that qualify, then emit in order without further comparisons.
// `Toward` is the child taken when the node qualifies (towards the endpoint), `Away` the other.
template <Ordering Skip, Link Node::*Toward, Link Node::*Away>
Snapshot bounded_run(const Tree& tree, PyObject* endpoint, std::uint64_t n) {
    Snapshot out;
    if (n == 0) {
        return out;
    }
    out.reserve(std::min<std::uint64_t>(n, tree.count));
    std::vector<const Node*> stack;
    for (const Node* node = tree.root.get(); node != nullptr;) {
        if (compare(node->key.get(), endpoint) == Skip) {
            node = (node->*Away).get();
        } else {
            stack.push_back(node);
            node = (node->*Toward).get();
        }
    }
    while (out.size() < n && !stack.empty()) {
        const Node* node = stack.back();
        stack.pop_back();
        out.push_back(node->value.new_ref());
        for (const Node* next = (node->*Away).get(); next != nullptr; next = (next->*Toward).get()) {
            stack.push_back(next);
        }
    }
    return out;
}

}  // namespace

Snapshot Tree::range(PyObject* start, PyObject* end, bool include_start, bool include_end) const {
    if (start != nullptr && end != nullptr && compare(start, end) == Ordering::Greater) {
        throw_error(PyExc_ValueError, "range start must not exceed end");
    }
    Snapshot out;
    collect_range(root.get(), RangeBounds{start, end, include_start, include_end}, out);
    return out;
}

Snapshot Tree::iter_from(PyObject* start, std::uint64_t n) const {
    return bounded_run<Ordering::Less, &Node::left, &Node::right>(*this, start, n);
}

Snapshot Tree::iter_to(PyObject* end, std::uint64_t n) const {
    return bounded_run<Ordering::Greater, &Node::right, &Node::left>(*this, end, n);
}

}  // namespace quorel::tree
