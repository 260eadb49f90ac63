// The balanced build from entries in ascending key order, which pickling and the sorted
// constructors use: linear time, no comparisons.
#include "call_boundary/support/failure.hpp"
#include "python_tree/rebalance.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Hands over the n entries of a build one at a time.
struct Source {
    Entry (*next)(void*);
    void* context;
    std::size_t left;

    Entry take() {
        if (left == 0) {
            panic("iterator must supply exactly n entries");
        }
        --left;
        return next(context);
    }
};

// Builds a subtree from the next n entries; its root is the entry at position n / 2 of the
// run (the upper middle for even n), so both sides differ by at most one entry.
Link build_balanced(Source& source, NodeRun& run, std::uint64_t n) {
    if (n == 0) {
        return Link();
    }
    const std::uint64_t half = n / 2;
    Link left = build_balanced(source, run, half);
    Link node = run.place(source.take());
    node->left = std::move(left);
    node->right = build_balanced(source, run, n - 1 - half);
    node->size = std::uint32_t(n);
    set_heights(*node, node_height(node->left), node_height(node->right));
    return node;
}

}  // namespace

Tree Tree::from_sorted(std::size_t n, Entry (*next)(void*), void* context) {
    NodeRun run(n);
    Source source{next, context, n};
    Link root = build_balanced(source, run, n);
    return Tree(std::move(run), std::move(root));
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
