#include "python_tree/rebalance.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// A batch of m entries goes into a tree of n one entry at a time while m * batch_share < n:
// there the m descents cost less than rebuilding the n stored entries. Measured with
// random int and str keys at n = 10**5 and 10**6, the two cost the same near m = n / 6
// (between n / 8 and n / 4).
constexpr std::size_t batch_share = 8;

}  // namespace

// Descends comparing the new key (first operand) with each node's key, remembering the
// links on the way. A failing comparison throws before any link changes. After linking the
// new node, every node of the path gains one entry and is rebalanced, from the new node's
// parent up to the first subtree whose height stays as it was. A full tree refuses only
// a key it does not hold yet.
// The nodes stay where they are through the descent, so the array's address is read once:
// only make() and the lay-outs move them, and no comparison's Python code can reach this
// tree meanwhile (an insertion holds the tree's exclusive borrow, or nothing else can
// reach the tree yet).
// With `Ranked`, also counts the entries below the new one on the way down.
template <bool Ranked>
bool Tree::insert_entry(Entry& entry, std::uint64_t* position) {
    KeyStructure added;
    [[maybe_unused]] std::uint64_t below = 0;
    const KeyView sought = view_key(entry.key.get(), added);
    DescentPath<NodeLinks> path(root_);
    const Node* const nodes = store_.nodes();
    std::size_t depth = 0;
    Pos at = root_;
    // Records the level and goes on to the child on the side the comparison chose.
    const auto pass = [&](const Node& node, bool left) {
        path.put(depth++, at, left);
        if constexpr (Ranked) {
            if (!left) {
                below += (node.left == no_node ? 0 : nodes[node.left].size) + 1;
            }
        }
        at = left ? node.left : node.right;
    };
    if (sought.kind == KeyKind::integer) {
        // The common case of int keys, with nothing else to decide per level, down to the
        // first node whose key is not a native int.
        const auto x = std::int64_t(sought.bits);
        while (at != no_node && nodes[at].kind == KeyKind::integer) {
            const Node& node = nodes[at];
            NodeStore::prefetch_children(nodes, node);
            const auto y = std::int64_t(node.bits);
            if (x == y) {
                return false;  // the stored value stays; the new entry is released on return
            }
            pass(node, x < y);
        }
    }
    while (at != no_node) {
        const Node& node = nodes[at];
        NodeStore::prefetch_children(nodes, node);
        const Ordering order = store_.compare_to(sought, node, at);
        if (order == Ordering::Equal) {
            return false;
        }
        pass(node, order == Ordering::Less);
    }
    path.reached(depth);
    if (count_ == max_entries) {
        too_many_entries();
    }
    // Whether the new key is the largest matters only while the nodes were made in key order.
    const bool largest = store_.made_in_key_order() && !path.turned_left();
    // The store may move its nodes to make room, so the link is found only after.
    const Pos made = store_.make(std::move(entry), sought, largest);
    NodeLinks links{store_};
    path.below(links) = made;
    structure_ = count_ == 0 || added == structure_ ? added : no_structure;
    ++count_;
    path.settle_growth(links);
    if constexpr (Ranked) {
        *position = below;
    }
    return true;
}

bool Tree::insert(Entry entry) { return insert_entry<false>(entry, nullptr); }

bool Tree::insert_ranked(Entry entry, std::uint64_t& position) {
    return insert_entry<true>(entry, &position);
}

bool Tree::insert_batch_with(std::size_t m, std::size_t lists,
                             EntryList& (*batch)(void*, std::size_t), void* context) {
    if (m * batch_share >= count_) {
        return false;
    }
    StructureTally structures;
    structures.add(key_structure());
    for (std::size_t i = 0; i < lists; ++i) {
        for (const Entry& entry : batch(context, i)) {
            KeyStructure structure;
            view_key(entry.key.get(), structure);
            structures.add(structure);
        }
    }
    if (structures.shared() == no_structure) {
        return false;
    }
    Vector<Ref> inserted;
    inserted.reserve(m);
    try {
        for (std::size_t i = 0; i < lists; ++i) {
            for (Entry& entry : batch(context, i)) {
                Ref key = entry.key.new_ref();
                if (insert(std::move(entry))) {
                    inserted.push_back(std::move(key));
                }
            }
        }
    } catch (...) {
        while (!inserted.empty()) {
            remove(inserted.back().get());
            inserted.pop_back();
        }
        throw;
    }
    return true;
}

}  // namespace quorel::tree
