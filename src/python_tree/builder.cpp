#include "call_boundary/failure.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

class Cursor {
public:
    explicit Cursor(EntryList& entries) noexcept : entries_(entries) {}

    Entry* next() noexcept { return position_ < entries_.size() ? &entries_[position_++] : nullptr; }

    // The entry's native key form, counting its shape in `shape`.
    KeyView view(const Entry& entry) noexcept {
        KeyShape added;
        const KeyView view = view_key(entry.key.get(), added);
        shape.add(added);
        return view;
    }

    ShapeTally shape;

private:
    EntryList& entries_;
    std::size_t position_ = 0;
};

// Builds a subtree from the next n entries; its root is the entry at position n / 2 of the
// run (the upper middle for even n), so both sides differ by at most one entry. Nodes are
// made in ascending order into consecutive slots, so the nodes sit in memory in key order.
Link build_balanced(Cursor& cursor, Node* slots, std::size_t& next, std::uint64_t n) {
    if (n == 0) {
        return Link();
    }
    const std::uint64_t half = n / 2;
    Link left = build_balanced(cursor, slots, next, half);
    Entry* entry = cursor.next();
    if (entry == nullptr) {
        panic("iterator must supply exactly n entries");
    }
    Link node(new (static_cast<void*>(slots + next++))
                  Node(std::move(*entry), cursor.view(*entry)));
    node->left = std::move(left);
    node->right = build_balanced(cursor, slots, next, n - 1 - half);
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
    std::size_t next = 0;
    root = relocate(std::move(root), fresh.take_run(count), next);
    pool = std::move(fresh);  // the old slabs held only emptied records
    laid_out_in_order = true;
}

Tree Tree::from_sorted_entries(EntryList entries) {
    if (entries.size() > max_entries) {
        too_many_entries();
    }
    Cursor cursor(entries);
    Tree tree;
    if (!entries.empty()) {
        std::size_t next = 0;
        tree.root = build_balanced(cursor, tree.pool.take_run(entries.size()), next, entries.size());
    }
    tree.count = entries.size();
    tree.shape = cursor.shape.shape;
    return tree;
}

}  // namespace quorel::tree
