#include "python_tree/memory_hints.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// A search of the nodes in key order for an int key: its position or no_node, unless a
// key met on the way is not a native int, which leaves the search to the links.
struct OrderSearch {
    Pos found = no_node;
    bool decided = true;
};

// Halves the positions without branching, fetching every possible probe of the next two
// steps ahead: a cold search waits on memory about once per three levels, where a descent
// through the links waits at every node. (Fetching one step ahead instead, a single pass
// of 10**4 lookups over 10**6 fresh int keys took 25 % longer.)
OrderSearch search_in_order(const NodeStore& store, std::size_t count, std::int64_t x) noexcept {
    const Node* const nodes = &store.node(0);
    std::size_t base = 0;
    bool native = nodes[0].kind == KeyKind::integer;
    for (std::size_t n = count; native && n > 1;) {
        const std::size_t half = n / 2;
        const std::size_t next = (n - half) / 2;          // the next step's half
        const std::size_t after = (n - half - next) / 2;  // and the one after it
        for (const std::size_t at : {next, half + next, after, next + after, half + after,
                                     half + next + after}) {
            prefetch_read(&nodes[base + at].bits);
        }
        const Node& probe = nodes[base + half];
        native = probe.kind == KeyKind::integer;
        base = std::int64_t(probe.bits) <= x ? base + half : base;
        n -= half;
    }
    OrderSearch result;
    result.decided = native;
    if (native && std::int64_t(nodes[base].bits) == x) {
        result.found = Pos(base);
    }
    return result;
}

// Trees from this size on are searched in key order; smaller ones fit in the caches, where
// the links' descent does less work. (Repeated lookups of int keys, warm: at 10**3 and
// 4 * 10**3 keys the runs took 12-20 % longer than the links, at 1.6 * 10**4 they were even
// and at 4 * 10**4 and above they were 15-45 % quicker.)
constexpr std::uint64_t min_order_searched = std::uint64_t(1) << 14;

}  // namespace

PyObject* Tree::search(PyObject* key) const {
    const KeyView sought = view_key(key);
    Pos at = root_;
    if (sought.kind == KeyKind::integer) {
        // The common case of int keys, with nothing else to decide per level.
        const auto x = std::int64_t(sought.bits);
        if (count_ >= min_order_searched && store_.in_key_order(count_)) {
            const OrderSearch found = search_in_order(store_, std::size_t(count_), x);
            if (found.decided) {
                return found.found != no_node ? store_.value(found.found) : nullptr;
            }
        }
        while (at != no_node) {
            const Node& node = store_.node(at);
            if (node.kind != KeyKind::integer) {
                break;
            }
            const auto y = std::int64_t(node.bits);
            if (x == y) {
                return store_.value(at);
            }
            at = x < y ? node.left : node.right;
        }
    }
    while (at != no_node) {
        const Node& node = store_.node(at);
        store_.prefetch_children(node);
        switch (store_.compare_to(sought, at)) {
            case Ordering::Equal:
                return store_.value(at);
            case Ordering::Greater:
                at = node.right;
                break;
            case Ordering::Less:
                at = node.left;
                break;
        }
    }
    return nullptr;
}

// A tree whose nodes sit in key order holds its smallest key at position 0 and its largest
// at count_ - 1: no descent is needed.
PyObject* Tree::first() const noexcept {
    if (root_ == no_node) {
        return nullptr;
    }
    if (store_.in_key_order(count_)) {
        return store_.value(0);
    }
    Pos at = root_;
    for (Pos next; (next = store_.node(at).left) != no_node;) {
        at = next;
    }
    return store_.value(at);
}

PyObject* Tree::last() const noexcept {
    if (root_ == no_node) {
        return nullptr;
    }
    if (store_.in_key_order(count_)) {
        return store_.value(Pos(count_ - 1));
    }
    Pos at = root_;
    for (Pos next; (next = store_.node(at).right) != no_node;) {
        at = next;
    }
    return store_.value(at);
}

// The entries go with a tree moved out first, so that whatever their release runs finds
// this one empty and whole.
void Tree::clear() noexcept {
    Tree old(std::move(*this));
}

}  // namespace quorel::tree
