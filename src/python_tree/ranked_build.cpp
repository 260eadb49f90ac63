// Building the tree of one-by-one insertion from ranks.
//
// When every pair of keys compares natively, their order can be had by sorting, the
// insertions can run over ranks (RankTree), and the nodes can then be placed once, in key
// order, from the rank records. No comparison here runs Python code, so none of this is
// observable.
#include <algorithm>
#include <utility>

#include "python_tree/native_sort.hpp"
#include "python_tree/rank_tree.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Thrown when two keys need the rich comparison; the build gives way to insertion.
struct NeedsRichComparison {};

Ordering ranked_order(const KeyView& a, const KeyView& b) {
    const std::optional<Ordering> order = native_order(a, b);
    if (!order) {
        throw NeedsRichComparison{};
    }
    return *order;
}

// Below this many entries, ranking them first does not pay. No figure was kept.
constexpr std::size_t min_ranked = 64;

// The native forms of the entries' keys in input order, with the structure they share;
// nothing when a key has no native form.
std::optional<TemporaryVector<KeyView>> rank_records(const EntryList& entries, StructureTally& structures) {
    TemporaryVector<KeyView> records;
    records.reserve(entries.size());
    for (const Entry& entry : entries) {
        KeyStructure added;
        const KeyView view = view_key(entry.key.get(), added);
        structures.add(added);  // equal keys have one structure, so duplicates change nothing
        if (view.kind == KeyKind::general) {
            return std::nullopt;
        }
        records.push_back(view);
    }
    return records;
}

// Each distinct key's rank.
struct Ranking {
    TemporaryVector<std::uint32_t> rank_of;  // per input position; no_rank for a later duplicate
    TemporaryVector<std::size_t> sorted_at;  // per rank, the input position of its key
};

// The input positions of the first of each group of equal keys, in key order, for keys of
// no one structure: a comparison sort that gives way where a pair needs the rich
// comparison. Throws NeedsRichComparison.
TemporaryVector<std::size_t> sort_mixed(const TemporaryVector<KeyView>& records) {
    TemporaryVector<std::size_t> order(records.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const Ordering o = ranked_order(records[a], records[b]);
        return o == Ordering::Less || (o == Ordering::Equal && a < b);
    });
    TemporaryVector<std::size_t> kept;
    kept.reserve(order.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k == 0 || ranked_order(records[order[k - 1]], records[order[k]]) != Ordering::Equal) {
            kept.push_back(order[k]);
        }
    }
    return kept;
}

// Ranks the first of each group of equal keys in key order. Throws NeedsRichComparison.
Ranking rank_keys(const TemporaryVector<KeyView>& records, KeyStructure structure) {
    Ranking ranking{TemporaryVector<std::uint32_t>(records.size(), no_rank), {}};
    ranking.sorted_at = structure != no_structure
                            ? sort_unique_native(records.size(),
                                                 [&](std::size_t i) -> const KeyView& {
                                                     return records[i];
                                                 })
                            : sort_mixed(records);
    for (std::size_t r = 0; r < ranking.sorted_at.size(); ++r) {
        ranking.rank_of[ranking.sorted_at[r]] = std::uint32_t(r);
    }
    return ranking;
}

// Subtree sizes and heights, children before parents; the depth is bounded by the tree's
// height. Returns the subtree's height.
std::uint8_t settle_counts(NodeBlock& block, Pos at) noexcept {
    if (at == no_node) {
        return 0;
    }
    Node& node = block.node(at);
    const std::uint8_t left = settle_counts(block, node.left);
    const std::uint8_t right = settle_counts(block, node.right);
    node.size = 1 + (node.left == no_node ? 0 : block.node(node.left).size) +
                (node.right == no_node ? 0 : block.node(node.right).size);
    node.height = std::uint8_t(1 + std::max(left, right));
    return node.height;
}

// The tree of the ranked entries with the shape of `inserted`: the nodes placed in key
// order, then linked as the rank records are. Later duplicates stay in `entries`.
Tree place_ranked(NodeBlock block, EntryList& entries, const TemporaryVector<KeyView>& records,
                  const Ranking& ranking,
                  const RankTree& inserted, KeyStructure structure) {
    const std::size_t n = ranking.sorted_at.size();
    // The node of rank r is the block's node r, linked below as the rank records are.
    block.place_all(n, structure, [&](std::size_t r) {
        const std::size_t at = ranking.sorted_at[r];
        return std::pair<Entry&&, KeyView>(std::move(entries[at]), records[at]);
    });
    static_assert(no_rank == no_node, "a rank record's links are the node's");
    for (std::uint32_t r = 0; r < n; ++r) {
        Node& node = block.node(r);
        const RankRecord& record = inserted[r];
        node.left = record.left;
        node.right = record.right;
        node.balance = inserted.balance(r);
    }
    settle_counts(block, inserted.root());
    return Tree(std::move(block), inserted.root());
}

}  // namespace

std::optional<Tree> Tree::from_native_entries(EntryList& entries) {
    if (entries.empty() || entries.size() >= no_rank) {
        return std::nullopt;
    }
    // Room for every entry, fitted to the distinct keys after. The ranking's temporaries
    // are TemporaryVectors, so giving them back returns them wherever the block sits.
    NodeBlock block(entries.size());
    StructureTally structures;
    std::optional<TemporaryVector<KeyView>> records = rank_records(entries, structures);
    if (!records) {
        return std::nullopt;
    }
    Ranking ranking;
    try {
        ranking = rank_keys(*records, structures.shared());
    } catch (const NeedsRichComparison&) {
        return std::nullopt;
    }
    RankTree inserted(ranking.sorted_at.size());
    inserted.insert_all(ranking.rank_of);
    return place_ranked(std::move(block), entries, *records, ranking, inserted,
                        structures.shared());
}

Tree Tree::from_entries(EntryList entries) {
    const bool values_are_keys =
        std::all_of(entries.begin(), entries.end(),
                    [](const Entry& entry) { return entry.value.get() == entry.key.get(); });
    if (entries.size() >= min_ranked && values_are_keys) {
        if (std::optional<Tree> ranked = from_native_entries(entries)) {
            return std::move(*ranked);
        }
    }
    Tree built;
    for (Entry& entry : entries) {
        built.insert(std::move(entry));
    }
    return built;
}

}  // namespace quorel::tree
