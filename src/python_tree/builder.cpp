#include "call_boundary/failure.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Hands over the n entries of a build one at a time, counting the shapes of their keys.
struct Source {
    Entry (*next)(void*);
    void* context;
    std::size_t left;
    ShapeTally shape;

    // The next entry and its native key form.
    std::pair<Entry, KeyView> take() {
        if (left == 0) {
            panic("iterator must supply exactly n entries");
        }
        --left;
        Entry entry = next(context);
        KeyShape added;
        const KeyView view = view_key(entry.key.get(), added);
        shape.add(added);
        return {std::move(entry), view};
    }
};

// Builds a subtree from the next n entries; its root is the entry at position n / 2 of the
// run (the upper middle for even n), so both sides differ by at most one entry. Nodes are
// made in ascending order into consecutive slots, so the nodes sit in memory in key order.
Link build_balanced(Source& source, Node* slots, std::size_t& next, std::uint64_t n) {
    if (n == 0) {
        return Link();
    }
    const std::uint64_t half = n / 2;
    Link left = build_balanced(source, slots, next, half);
    auto [entry, view] = source.take();
    Link node(new (static_cast<void*>(slots + next++)) Node(std::move(entry), view));
    node->left = std::move(left);
    node->right = build_balanced(source, slots, next, n - 1 - half);
    node->size = std::uint32_t(n);
    set_heights(*node, node_height(node->left), node_height(node->right));
    return node;
}

// Moves the nodes of a subtree into consecutive slots in key order; returns the new root.
// The old records are left empty and hold nothing any more.
Link relocate(Link node, Node* slots, std::size_t& next) {
    if (!node) {
        return Link();
    }
    Link left = relocate(std::move(node->left), slots, next);
    Link moved(new (static_cast<void*>(slots + next++)) Node(std::move(*node)));
    node.reset();
    moved->left = std::move(left);
    moved->right = relocate(std::move(moved->right), slots, next);
    return moved;
}

}  // namespace

void Tree::compact() {
    if (count < min_compacted || laid_out_in_order) {
        return;
    }
    NodePool fresh;
    // Allocated before the root is handed over: arguments may be evaluated in any order,
    // and a failure after the move would lose the tree.
    Node* const slots = fresh.take_run(count);
    std::size_t next = 0;
    root = relocate(std::move(root), slots, next);
    pool = std::move(fresh);  // the old slabs held only emptied records
    laid_out_in_order = true;
}

Tree Tree::from_sorted(std::size_t n, Entry (*next)(void*), void* context) {
    if (n > max_entries) {
        too_many_entries();
    }
    Tree tree;
    Source source{next, context, n, {}};
    if (n > 0) {
        std::size_t made = 0;
        tree.root = build_balanced(source, tree.pool.take_run(n), made, n);
    }
    tree.count = n;
    tree.shape = source.shape.shape;
    return tree;
}

Tree Tree::from_sorted_entries(EntryList entries) {
    struct Cursor {
        EntryList& entries;
        std::size_t position = 0;
    } cursor{entries};
    return from_sorted(entries.size(), [](void* context) {
        Cursor& at = *static_cast<Cursor*>(context);
        return std::move(at.entries[at.position++]);
    }, &cursor);
}

}  // namespace quorel::tree
