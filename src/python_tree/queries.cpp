#include <algorithm>

#include "call_boundary/failure.hpp"
#include "python_tree/memory_hints.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

struct RangeBounds {
    KeyView start;  // null object: no lower bound
    KeyView end;    // null object: no upper bound
    bool include_start;
    bool include_end;
};

KeyView endpoint_view(PyObject* endpoint) noexcept {
    return endpoint != nullptr ? view_key(endpoint) : KeyView{nullptr, 0, KeyKind::general};
}

// In-order walk that skips subtrees which cannot hold keys within the bounds. Both
// comparisons of a node are made before anything below it is visited.
void collect_range(const Node* node, const RangeBounds& bounds, Snapshot& out) {
    if (node == nullptr) {
        return;
    }
    Ordering cs = Ordering::Greater;  // an absent bound admits everything
    Ordering ce = Ordering::Less;
    if (bounds.start.object != nullptr) {
        cs = compare(node->view(), bounds.start);
    }
    if (bounds.end.object != nullptr) {
        ce = compare(node->view(), bounds.end);
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
    // The stack only ever holds nodes of one root-to-leaf path.
    const Node* stack[max_height];
    std::size_t depth = 0;
    const KeyView sought = view_key(endpoint);
    for (const Node* node = tree.root.get(); node != nullptr;) {
        if (compare(node->view(), sought) == Skip) {
            node = (node->*Away).get();
        } else {
            stack[depth++] = node;
            node = (node->*Toward).get();
        }
    }
    while (out.size() < n && depth > 0) {
        const Node* node = stack[--depth];
        out.push_back(node->value.new_ref());
        for (const Node* next = (node->*Away).get(); next != nullptr; next = (next->*Toward).get()) {
            prefetch_read((next->*Away).get());
            stack[depth++] = next;
        }
        if (depth > 0) {
            prefetch_write(stack[depth - 1]->value.get());
        }
    }
    return out;
}

}  // namespace

Snapshot Tree::range(PyObject* start, PyObject* end, bool include_start, bool include_end) const {
    const RangeBounds bounds{endpoint_view(start), endpoint_view(end), include_start, include_end};
    if (start != nullptr && end != nullptr && compare(bounds.start, bounds.end) == Ordering::Greater) {
        throw_error(PyExc_ValueError, "range start must not exceed end");
    }
    Snapshot out;
    collect_range(root.get(), bounds, out);
    return out;
}

Snapshot Tree::iter_from(PyObject* start, std::uint64_t n) const {
    return bounded_run<Ordering::Less, &Node::left, &Node::right>(*this, start, n);
}

Snapshot Tree::iter_to(PyObject* end, std::uint64_t n) const {
    return bounded_run<Ordering::Greater, &Node::right, &Node::left>(*this, end, n);
}

}  // namespace quorel::tree
