// Building the tree of one-by-one insertion from ranks.
//
// When every pair of keys compares natively, their order can be had by sorting, the
// insertions can run over ranks (RankTree), and the nodes can then be placed once, in key
// order, from the rank records. No comparison here runs Python code, so none of this is
// observable.
#include <algorithm>
#include <bit>
#include <utility>

#include "python_tree/rank_tree.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Thrown when two keys need the rich comparison; the build gives way to insertion.
struct NeedsRichComparison {};

// A key's place in the sort: `primary` orders the keys that share its `primary_kind` as
// their first (or only) item does. That kind is the key's own for an int, a float other
// than NaN, a prefixed str and a tuple that starts with one of them, a pair counting as
// tuple_integer; general, with no primary, for every other key. For integer and real,
// equal primaries mean equal keys.
struct Ranked {
    std::uint64_t primary;
    std::uint64_t bits;
    PyObject* object;
    std::uint32_t index;  // position in the input
    KeyKind kind;
    KeyKind primary_kind;

    KeyView view() const noexcept { return {object, bits, kind}; }
};

constexpr std::uint64_t sign_bit = std::uint64_t(1) << 63;

std::uint64_t real_order(std::uint64_t bits) noexcept {
    if (std::bit_cast<double>(bits) == 0) {
        return sign_bit;  // 0.0 and -0.0 are one key
    }
    return (bits & sign_bit) != 0 ? ~bits : bits | sign_bit;
}

Ranked rank_entry(const KeyView& view, std::uint32_t index) noexcept {
    Ranked r{0, view.bits, view.object, index, view.kind, KeyKind::general};
    if (is_pair(view.kind)) {
        r.primary = std::uint64_t(pair_first(view.bits, view.kind)) ^ sign_bit;
        r.primary_kind = KeyKind::tuple_integer;
        return r;
    }
    switch (view.kind) {
        case KeyKind::integer:
            r = {view.bits ^ sign_bit, view.bits, view.object, index, view.kind, KeyKind::integer};
            break;
        case KeyKind::real: {
            const auto value = std::bit_cast<double>(view.bits);
            if (value == value) {  // a NaN needs the rich comparison
                r.primary = real_order(view.bits);
                r.primary_kind = KeyKind::real;
            }
            break;
        }
        case KeyKind::prefixed:
            r.primary = view.bits;
            r.primary_kind = KeyKind::prefixed;
            break;
        case KeyKind::tuple_integer:
            r.primary = view.bits ^ sign_bit;
            r.primary_kind = KeyKind::tuple_integer;
            break;
        case KeyKind::tuple_real:
            r.primary = real_order(view.bits);
            r.primary_kind = KeyKind::tuple_real;
            break;
        case KeyKind::tuple_prefixed:
            r.primary = view.bits;
            r.primary_kind = KeyKind::tuple_prefixed;
            break;
        default:
            break;
    }
    return r;
}

Ordering ranked_order(const Ranked& a, const Ranked& b) {
    const std::optional<Ordering> order = native_order(a.view(), b.view());
    if (!order) {
        throw NeedsRichComparison{};
    }
    return *order;
}

// Sorts by `primary` alone, keeping records with equal primaries in their order: a least
// significant digit first radix sort, skipping the digits every primary shares (the high
// ones, for small numbers).
void sort_by_primary(Vector<Ranked>& items) {
    // Six passes at most over 64-bit primaries, with 8 KiB of counters per digit; no
    // figure was kept.
    constexpr unsigned digit_bits = 11;
    constexpr std::uint64_t digit_mask = (std::uint64_t(1) << digit_bits) - 1;
    constexpr unsigned digits = (64 + digit_bits - 1) / digit_bits;
    std::uint64_t differ = 0;
    for (const Ranked& r : items) {
        differ |= r.primary ^ items[0].primary;
    }
    Vector<std::uint32_t> counts(digits << digit_bits);
    for (const Ranked& r : items) {
        for (unsigned d = 0; d < digits; ++d) {
            ++counts[(d << digit_bits) + ((r.primary >> (d * digit_bits)) & digit_mask)];
        }
    }
    Vector<Ranked> other(items.size());
    for (unsigned d = 0; d < digits; ++d) {
        const unsigned shift = d * digit_bits;
        if (((differ >> shift) & digit_mask) == 0) {
            continue;
        }
        std::uint32_t* start = counts.data() + (d << digit_bits);
        std::uint32_t sum = 0;
        for (std::uint64_t b = 0; b <= digit_mask; ++b) {
            sum += std::exchange(start[b], sum);
        }
        for (const Ranked& r : items) {
            other[start[(r.primary >> shift) & digit_mask]++] = r;
        }
        items.swap(other);
    }
}

// Below this many entries, ranking them first does not pay. No figure was kept.
constexpr std::size_t min_ranked = 64;

// Below this many records, a comparison sort is faster than the radix sort's passes. In
// instructions (callgrind, construction from shuffled ints) the radix sort is 3% behind
// at 2048 records and 1%, 4% and 6% ahead at 4096, 8192 and 16384; its passes touch more
// memory than the count shows, so it starts at 8192.
constexpr std::size_t min_radix_sorted = std::size_t(1) << 13;

// Orders records whose primaries decide alone, equal primaries in input order.
void sort_exact(Vector<Ranked>& items) {
    if (std::is_sorted(items.begin(), items.end(), [](const Ranked& a, const Ranked& b) {
            return a.primary < b.primary;
        })) {
        return;  // equal primaries are in input order already
    }
    if (items.size() >= min_radix_sorted) {
        sort_by_primary(items);
        return;
    }
    std::sort(items.begin(), items.end(), [](const Ranked& a, const Ranked& b) {
        return a.primary != b.primary ? a.primary < b.primary : a.index < b.index;
    });
}

// The records of the entries' keys in input order, with the structure they share; nothing
// when a key has no native form.
std::optional<Vector<Ranked>> rank_records(const EntryList& entries, StructureTally& structures) {
    Vector<Ranked> records;
    records.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        KeyStructure added;
        const KeyView view = view_key(entries[i].key.get(), added);
        structures.add(added);  // equal keys have one structure, so duplicates change nothing
        if (view.kind == KeyKind::general) {
            return std::nullopt;
        }
        records.push_back(rank_entry(view, std::uint32_t(i)));
    }
    return records;
}

// Each distinct key's rank, from the records sorted in key order.
struct Ranking {
    Vector<std::uint32_t> rank_of;  // per input position; no_rank for a later duplicate
    Vector<std::uint32_t> sorted_at;  // per rank, its position in the sorted records
};

// Sorts the records in key order, equal keys in input order, and ranks the first of each
// group of equal keys. Throws NeedsRichComparison.
Ranking rank_keys(Vector<Ranked>& records) {
    const std::size_t n = records.size();
    const KeyKind shared = records[0].primary_kind;
    const bool one_class = shared != KeyKind::general &&
                           std::all_of(records.begin(), records.end(),
                                       [&](const Ranked& r) { return r.primary_kind == shared; });
    const bool exact = one_class && (shared == KeyKind::integer || shared == KeyKind::real);
    if (exact) {
        sort_exact(records);
    } else {
        std::sort(records.begin(), records.end(), [&](const Ranked& a, const Ranked& b) {
            if (one_class && a.primary != b.primary) {
                return a.primary < b.primary;
            }
            const Ordering order = ranked_order(a, b);
            return order == Ordering::Less || (order == Ordering::Equal && a.index < b.index);
        });
    }
    Ranking ranking{Vector<std::uint32_t>(n, no_rank), {}};
    for (std::size_t k = 0; k < n; ++k) {
        const bool repeated =
            k > 0 && (exact ? records[k - 1].primary == records[k].primary
                            : ranked_order(records[k - 1], records[k]) == Ordering::Equal);
        if (!repeated) {
            ranking.rank_of[records[k].index] = std::uint32_t(ranking.sorted_at.size());
            ranking.sorted_at.push_back(std::uint32_t(k));
        }
    }
    return ranking;
}

// Subtree sizes, children before parents; the depth is bounded by the tree's height.
std::uint32_t settle_sizes(NodeBlock& block, Pos at) noexcept {
    if (at == no_node) {
        return 0;
    }
    Node& node = block.node(at);
    node.size = 1 + settle_sizes(block, node.left) + settle_sizes(block, node.right);
    return node.size;
}

// The tree of the ranked entries with the shape of `inserted`: the nodes placed in key
// order, then linked as the rank records are. Later duplicates stay in `entries`.
Tree place_ranked(NodeBlock block, EntryList& entries, const Vector<Ranked>& sorted,
                  const Ranking& ranking,
                  const RankTree& inserted, KeyStructure structure) {
    const std::size_t n = ranking.sorted_at.size();
    // The node of rank r is the block's node r, linked below as the rank records are.
    block.place_all(n, structure, [&](std::size_t r) {
        const Ranked& item = sorted[ranking.sorted_at[r]];
        return std::pair<Entry&&, KeyView>(std::move(entries[item.index]), item.view());
    });
    static_assert(no_rank == no_node, "a rank record's links are the node's");
    for (std::uint32_t r = 0; r < n; ++r) {
        Node& node = block.node(r);
        const RankRecord& record = inserted[r];
        node.left = record.left;
        node.right = record.right;
        node.height = record.height;
        node.balance = record.balance;
    }
    settle_sizes(block, inserted.root());
    return Tree(std::move(block), inserted.root());
}

}  // namespace

std::optional<Tree> Tree::from_native_entries(EntryList& entries) {
    if (entries.empty() || entries.size() >= no_rank) {
        return std::nullopt;
    }
    // Taken before the ranking's temporaries, which then sit above it in the heap and go
    // back to the system when they are given back; fitted to the distinct keys after.
    NodeBlock block(entries.size());
    StructureTally structures;
    std::optional<Vector<Ranked>> records = rank_records(entries, structures);
    if (!records) {
        return std::nullopt;
    }
    Ranking ranking;
    try {
        ranking = rank_keys(*records);
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
