// The balanced build from entries in ascending key order, which pickling and the sorted
// constructors use: linear time, no comparisons.
#include "call_boundary/support/failure.hpp"
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

}  // namespace

Tree Tree::from_sorted(std::size_t n, Entry (*next)(void*), void* context) {
    NodeBlock block(n);
    Source source{next, context, n};
    auto place = [&] { return block.place(source.take()); };
    const Pos root = build_balanced(block, n, place);
    return Tree(std::move(block), root);
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
