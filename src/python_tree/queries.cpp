#include <algorithm>
#include <memory>

#include "call_boundary/support/failure.hpp"
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

KeyView endpoint_view(PyObject* endpoint, KeyStructure& structure) noexcept {
    structure = no_structure;
    return endpoint != nullptr ? view_key(endpoint, structure)
                               : KeyView{nullptr, 0, KeyKind::general};
}

// In-order walk that skips subtrees which cannot hold keys within the bounds. Both
// comparisons of a node are made before anything below it is visited.
void collect_range(const NodeStore& store, Pos at, const RangeBounds& bounds, Snapshot& out) {
    if (at == no_node) {
        return;
    }
    Ordering cs = Ordering::Greater;  // an absent bound admits everything
    Ordering ce = Ordering::Less;
    if (bounds.start.object != nullptr) {
        cs = store.compare_from(at, bounds.start);
    }
    if (bounds.end.object != nullptr) {
        ce = store.compare_from(at, bounds.end);
    }
    if (cs == Ordering::Greater) {
        collect_range(store, store.node(at).left, bounds, out);
    }
    const bool above_start = cs == Ordering::Greater || (cs == Ordering::Equal && bounds.include_start);
    const bool below_end = ce == Ordering::Less || (ce == Ordering::Equal && bounds.include_end);
    if (above_start && below_end) {
        out.push_back(Ref::borrow(store.value(at)));
    }
    if (ce == Ordering::Less) {
        collect_range(store, store.node(at).right, bounds, out);
    }
}

// Room reserved for a range at first, which saves the smallest steps of growth (the
// benchmarked ranges hold 100 values); no figure was kept.
constexpr std::size_t first_room = 32;

// The same result as collect_range when both endpoints are present and every key the pruned
// walk would compare is of the endpoints' native class, so that its comparisons could not
// be observed: those keys lie on the two endpoints' search paths or within the bounds.
// Descends once for each endpoint and compares the keys within the bounds with the end
// only. Returns false, with `out` unspecified, as soon as a key of another class shows.
bool collect_native_range(const NodeStore& store, Pos root, const RangeBounds& bounds,
                          KeyKind shared, Snapshot& out) {
    auto order = [&](Pos at, const KeyView& endpoint) -> std::optional<Ordering> {
        const KeyView view = store.view(at);
        if (native_class(view) != shared) {
            return std::nullopt;
        }
        return class_order(view, endpoint, shared);
    };
    for (Pos at = root; at != no_node;) {
        const std::optional<Ordering> ce = order(at, bounds.end);
        if (!ce) {
            return false;
        }
        at = *ce == Ordering::Less ? store.node(at).right : store.node(at).left;
    }
    out.reserve(first_room);
    // The start's path, stacking the nodes at or above the first key within the bounds.
    Pos stack[max_height];
    std::size_t depth = 0;
    for (Pos at = root; at != no_node;) {
        const std::optional<Ordering> cs = order(at, bounds.start);
        if (!cs) {
            return false;
        }
        if (*cs == Ordering::Greater || (*cs == Ordering::Equal && bounds.include_start)) {
            stack[depth++] = at;
            at = store.node(at).left;
        } else {
            at = store.node(at).right;
        }
    }
    while (depth > 0) {
        const Pos at = stack[--depth];
        const std::optional<Ordering> ce = order(at, bounds.end);
        if (!ce) {
            return false;
        }
        if (*ce == Ordering::Greater || (*ce == Ordering::Equal && !bounds.include_end)) {
            break;
        }
        out.push_back(Ref::borrow(store.value(at)));
        for (Pos next = store.node(at).right; next != no_node; next = store.node(next).left) {
            stack[depth++] = next;
        }
    }
    return true;
}

// Emits the n values that follow in order from a stack of qualifying nodes of one
// root-to-leaf path (the next one on top), comparing nothing. `Toward` is the child taken
// towards the endpoint the stack was built against, `Away` the direction of the walk. When
// the nodes sit in memory in key order, the values are read straight from there instead,
// from position `from` on, each written into its slot of a result made at full size.
template <Pos Node::*Toward, Pos Node::*Away>
Snapshot emit_in_order(const Tree& tree, const NodeStore& store, Pos* stack, std::size_t depth,
                       std::uint64_t from, std::uint64_t n) {
    Snapshot out(n);
    // An empty walk may start one position outside the slots, where no pointer may point.
    if (n == 0) {
        return out;
    }
    if (const Ref* values = tree.key_order_values()) {
        copy_run_values(values + from, Away == &Node::right ? 1 : -1, n, out.data());
        return out;
    }
    Ref* slot = out.data();
    for (std::uint64_t left = n; left > 0; --left) {
        const Pos at = stack[--depth];
        // Every slot starts as an empty handle, so constructing over it drops nothing.
        std::construct_at(slot++, Ref::borrow(store.value(at)));
        for (Pos next = store.node(at).*Away; next != no_node; next = store.node(next).*Toward) {
            const Pos away = store.node(next).*Away;
            if (away != no_node) {
                prefetch_read(&store.node(away));
            }
            stack[depth++] = next;
        }
        if (depth > 0) {
            prefetch_write(store.value(stack[depth - 1]));
        }
    }
    return out;
}

// The bounded queries share one pattern: descend one path comparing against the endpoint,
// stacking the nodes that qualify and counting those passed over, then emit in order
// without further comparisons. `Toward` is the child taken when the node qualifies
// (towards the endpoint), `Away` the other.
template <Ordering Skip, Pos Node::*Toward, Pos Node::*Away>
Snapshot bounded_walk(const Tree& tree, const NodeStore& store, Pos root, PyObject* endpoint,
                      std::uint64_t n) {
    if (n == 0) {
        return Snapshot();
    }
    // The stack only ever holds nodes of one root-to-leaf path.
    Pos stack[max_height];
    std::size_t depth = 0;
    std::uint64_t skipped = 0;
    const KeyView sought = view_key(endpoint);
    for (Pos at = root; at != no_node;) {
        const Node& node = store.node(at);
        store.prefetch_children(node);
        if (store.compare_from(at, sought) == Skip) {
            skipped += store.size(node.*Toward) + 1;
            at = node.*Away;
        } else {
            stack[depth++] = at;
            at = node.*Toward;
        }
    }
    // Positions count from the far end when the walk goes down.
    const std::uint64_t count = tree.size();
    const std::uint64_t from = Away == &Node::right ? skipped : count - 1 - skipped;
    return emit_in_order<Toward, Away>(tree, store, stack, depth, from,
                                       std::min(n, count - skipped));
}

// The same result as collect_range when every stored key and both endpoints have one
// structure: then no comparison among them runs Python code or can fail, and skipping those
// within the bounds cannot be observed. The descents for the two endpoints, one level of
// each in turn so that their loads from memory overlap, count the keys before the window's
// start and end, and stack the path to its first key; the keys between are emitted in
// order, comparing nothing.
Snapshot uniform_range(const Tree& tree, const NodeStore& store, Pos root,
                       const RangeBounds& bounds) {
    std::uint64_t before_start = 0;
    std::uint64_t before_end = 0;
    Pos stack[max_height];
    std::size_t depth = 0;
    Pos at_start = root;
    Pos at_end = at_start;
    while (at_start != no_node || at_end != no_node) {
        if (at_start != no_node) {
            const Node& node = store.node(at_start);
            store.prefetch_children(node);
            const Ordering cs = store.compare_from(at_start, bounds.start);
            if (cs == Ordering::Greater || (cs == Ordering::Equal && bounds.include_start)) {
                stack[depth++] = at_start;
                at_start = node.left;
            } else {
                before_start += store.size(node.left) + 1;
                at_start = node.right;
            }
        }
        if (at_end != no_node) {
            const Node& node = store.node(at_end);
            store.prefetch_children(node);
            const Ordering ce = store.compare_from(at_end, bounds.end);
            if (ce == Ordering::Less || (ce == Ordering::Equal && bounds.include_end)) {
                before_end += store.size(node.left) + 1;
                at_end = node.right;
            } else {
                at_end = node.left;
            }
        }
    }
    // Equal endpoints that both stay out leave the end before the start.
    return emit_in_order<&Node::left, &Node::right>(
        tree, store, stack, depth, before_start,
        before_end > before_start ? before_end - before_start : 0);
}

}  // namespace

Snapshot Tree::range(PyObject* start, PyObject* end, bool include_start, bool include_end) const {
    KeyStructure start_structure;
    KeyStructure end_structure;
    const RangeBounds bounds{endpoint_view(start, start_structure),
                             endpoint_view(end, end_structure), include_start, include_end};
    if (start != nullptr && end != nullptr &&
        compare_views(bounds.start, bounds.end) == Ordering::Greater) {
        throw_error(PyExc_ValueError, "range start must not exceed end");
    }
    if (root_ != no_node && structure_ != no_structure && start_structure == structure_ &&
        end_structure == structure_) {
        return uniform_range(*this, store_, root_, bounds);
    }
    Snapshot out;
    const KeyKind shared = native_class(bounds.start);
    if (start != nullptr && end != nullptr && shared != KeyKind::general &&
        native_class(bounds.end) == shared) {
        if (collect_native_range(store_, root_, bounds, shared, out)) {
            return out;
        }
        out.clear();
    }
    collect_range(store_, root_, bounds, out);
    return out;
}

Snapshot Tree::iter_from(PyObject* start, std::uint64_t n) const {
    return bounded_walk<Ordering::Less, &Node::left, &Node::right>(*this, store_, root_, start,
                                                                   n);
}

Snapshot Tree::iter_to(PyObject* end, std::uint64_t n) const {
    return bounded_walk<Ordering::Greater, &Node::right, &Node::left>(*this, store_, root_, end,
                                                                      n);
}

}  // namespace quorel::tree
