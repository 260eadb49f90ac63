// Building the tree of one-by-one insertion from ranks.
//
// The shape that inserting keys one by one gives depends only on how the keys order among
// themselves. When every pair of keys compares natively, that order can be had by sorting,
// the insertions can run over small records of ranks instead of nodes and keys, and the
// nodes can then be laid out once, in key order, from those records. No comparison here
// runs Python code, so none of this is observable.
#include <algorithm>
#include <cstring>

#include "python_tree/memory_hints.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Thrown when two keys need the rich comparison; the build gives way to insertion.
struct NeedsRichComparison {};

constexpr std::uint32_t no_rank = UINT32_MAX;

// A key's place in the sort: `primary` orders keys of one class as their first (or only)
// item does, and for the exact classes equal primaries mean equal keys.
enum class Primary : std::uint8_t { none, integer, real, text, integer_head, real_head, text_head };

struct Ranked {
    std::uint64_t primary;
    std::uint64_t bits;
    PyObject* object;
    std::uint32_t index;  // position in the input
    KeyKind kind;
    Primary of;

    KeyView view() const noexcept { return {object, bits, kind}; }
};

constexpr std::uint64_t sign_bit = std::uint64_t(1) << 63;

std::uint64_t real_order(std::uint64_t bits) noexcept {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (value == 0) {
        return sign_bit;  // 0.0 and -0.0 are one key
    }
    return (bits & sign_bit) != 0 ? ~bits : bits | sign_bit;
}

Ranked rank_entry(const KeyView& view, std::uint32_t index) noexcept {
    Ranked r{0, view.bits, view.object, index, view.kind, Primary::none};
    if (is_pair(view.kind)) {
        r.primary = std::uint64_t(pair_first(view.bits, view.kind)) ^ sign_bit;
        r.of = Primary::integer_head;
        return r;
    }
    switch (view.kind) {
        case KeyKind::integer:
            r = {view.bits ^ sign_bit, view.bits, view.object, index, view.kind, Primary::integer};
            break;
        case KeyKind::real: {
            double value;
            std::memcpy(&value, &view.bits, sizeof value);
            if (value == value) {  // a NaN needs the rich comparison
                r.primary = real_order(view.bits);
                r.of = Primary::real;
            }
            break;
        }
        case KeyKind::prefixed:
            r.primary = view.bits;
            r.of = Primary::text;
            break;
        case KeyKind::tuple_integer:
            r.primary = view.bits ^ sign_bit;
            r.of = Primary::integer_head;
            break;
        case KeyKind::tuple_real:
            r.primary = real_order(view.bits);
            r.of = Primary::real_head;
            break;
        case KeyKind::tuple_prefixed:
            r.primary = view.bits;
            r.of = Primary::text_head;
            break;
        default:
            break;
    }
    return r;
}

Ordering native_order(const Ranked& a, const Ranked& b) {
    const std::optional<Ordering> order = compare_native(a.view(), b.view());
    if (!order) {
        throw NeedsRichComparison{};
    }
    return *order;
}

// Sorts by `primary` alone, keeping records with equal primaries in their order: a least
// significant digit first radix sort, skipping the digits every primary shares (the high
// ones, for small numbers).
void sort_by_primary(Vector<Ranked>& items) {
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

// Below this many records, a comparison sort is faster than the radix sort's passes.
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

// AVL insertion of ranks, with the same rebalancing as the tree's own insertion. Links and
// heights live in one small record per rank.
class RankTree {
public:
    explicit RankTree(std::size_t ranks) : records_(ranks) {}

    void insert(std::uint32_t rank) {
        std::uint32_t* path[max_height];
        std::size_t depth = 0;
        std::uint32_t* link = &root_;
        while (*link != no_rank) {
            path[depth++] = link;
            Record& at = records_[*link];
            link = rank < *link ? &at.left : &at.right;
        }
        *link = rank;
        records_[rank].height = 1;
        // Once a subtree keeps its height, nothing above it changes.
        while (depth > 0) {
            std::uint32_t& parent = *path[--depth];
            const std::uint8_t before = records_[parent].height;
            parent = rebalance(parent);
            if (records_[parent].height == before) {
                break;
            }
        }
    }

    // Inserts the ranks in order, skipping no_rank. Once the records outgrow the caches,
    // each descent would wait on memory at most levels, so the descents of the next few
    // ranks run ahead, one level per insertion, fetching their paths (a path changes
    // little in a few insertions) and the records of their neighbours.
    void insert_all(const Vector<std::uint32_t>& ranks) {
        if (records_.size() < min_fetched_ahead || monotonic(ranks)) {
            for (const std::uint32_t rank : ranks) {
                if (rank != no_rank) {
                    insert(rank);
                }
            }
            return;
        }
        constexpr std::size_t lanes = 16;
        std::uint32_t target[lanes];
        std::uint32_t at[lanes];
        std::fill(at, at + lanes, no_rank);
        for (std::size_t i = 0; i < ranks.size(); ++i) {
            for (std::size_t j = 0; j < lanes; ++j) {
                if (at[j] != no_rank) {
                    const Record& r = records_[at[j]];
                    at[j] = target[j] < at[j] ? r.left : r.right;
                    if (at[j] != no_rank) {
                        prefetch_read(&records_[at[j]]);
                    }
                }
            }
            if (i + lanes < ranks.size()) {
                const std::uint32_t next = ranks[i + lanes];
                target[i % lanes] = next;
                at[i % lanes] = next == no_rank ? no_rank : root_;
                if (next != no_rank) {
                    fetch_neighbours(next);
                }
            }
            if (ranks[i] != no_rank) {
                insert(ranks[i]);
            }
        }
    }

    std::uint32_t root() const noexcept { return root_; }
    std::uint32_t left(std::uint32_t rank) const noexcept { return records_[rank].left; }
    std::uint32_t right(std::uint32_t rank) const noexcept { return records_[rank].right; }
    std::uint64_t height(std::uint32_t rank) const noexcept {
        return rank == no_rank ? 0 : records_[rank].height;
    }

private:
    // Whether the ranks other than no_rank come in ascending or in descending order: then
    // every descent follows one edge of the tree, which stays in the caches.
    static bool monotonic(const Vector<std::uint32_t>& ranks) noexcept {
        bool up = true;
        bool down = true;
        std::uint32_t last = no_rank;
        for (const std::uint32_t rank : ranks) {
            if (rank != no_rank) {
                up = up && (last == no_rank || rank > last);
                down = down && (last == no_rank || rank < last);
                if (!up && !down) {
                    return false;
                }
                last = rank;
            }
        }
        return true;
    }

    // The last levels of a descent are records of ranks close to the inserted one.
    void fetch_neighbours(std::uint32_t rank) const noexcept {
        for (const std::size_t distance : {0, 6, 12, 24}) {
            prefetch_write(&records_[std::min(rank + distance, records_.size() - 1)]);
            prefetch_write(&records_[rank >= distance ? rank - distance : 0]);
        }
    }

    static constexpr std::size_t min_fetched_ahead = std::size_t(1) << 16;

    struct Record {
        std::uint32_t left = no_rank;
        std::uint32_t right = no_rank;
        std::uint8_t height = 0;
    };

    void refresh(std::uint32_t rank) noexcept {
        Record& r = records_[rank];
        r.height = std::uint8_t(1 + std::max(height(r.left), height(r.right)));
    }

    std::int64_t balance(std::uint32_t rank) const noexcept {
        return std::int64_t(height(left(rank))) - std::int64_t(height(right(rank)));
    }

    std::uint32_t rotate_left(std::uint32_t x) noexcept {
        const std::uint32_t y = records_[x].right;
        records_[x].right = records_[y].left;
        records_[y].left = x;
        refresh(x);
        refresh(y);
        return y;
    }

    std::uint32_t rotate_right(std::uint32_t x) noexcept {
        const std::uint32_t y = records_[x].left;
        records_[x].left = records_[y].right;
        records_[y].right = x;
        refresh(x);
        refresh(y);
        return y;
    }

    std::uint32_t rebalance(std::uint32_t x) noexcept {
        refresh(x);
        const std::int64_t b = balance(x);
        if (b > 1) {
            if (balance(records_[x].left) < 0) {
                records_[x].left = rotate_left(records_[x].left);
            }
            return rotate_right(x);
        }
        if (b < -1) {
            if (balance(records_[x].right) > 0) {
                records_[x].right = rotate_right(records_[x].right);
            }
            return rotate_left(x);
        }
        return x;
    }

    Vector<Record> records_;
    std::uint32_t root_ = no_rank;
};

// Subtree sizes, children before parents; the depth is bounded by the tree's height.
std::uint32_t settle_sizes(Node& node) noexcept {
    node.size = 1 + (node.left ? settle_sizes(*node.left) : 0) +
                (node.right ? settle_sizes(*node.right) : 0);
    return node.size;
}

}  // namespace

std::optional<Tree> Tree::from_native_entries(EntryList& entries) {
    const std::size_t n = entries.size();
    if (n == 0 || n >= no_rank) {
        return std::nullopt;
    }
    Vector<Ranked> sorted;
    sorted.reserve(n);
    ShapeTally shapes;  // equal keys have one shape, so the duplicates change nothing
    for (std::size_t i = 0; i < n; ++i) {
        KeyShape added;
        const KeyView view = view_key(entries[i].key.get(), added);
        shapes.add(added);
        if (view.kind == KeyKind::general) {
            return std::nullopt;
        }
        sorted.push_back(rank_entry(view, std::uint32_t(i)));
    }
    // Equal keys stay in input order, so the first of them is the one that gets a rank.
    const Primary shared = sorted[0].of;
    const bool one_class = shared != Primary::none &&
                           std::all_of(sorted.begin(), sorted.end(),
                                       [&](const Ranked& r) { return r.of == shared; });
    const bool exact = one_class && (shared == Primary::integer || shared == Primary::real);
    Vector<std::uint32_t> rank_of(n, no_rank);
    Vector<std::uint32_t> ranked;  // position in `sorted` of each rank
    try {
        if (exact) {
            sort_exact(sorted);
        } else {
            std::sort(sorted.begin(), sorted.end(), [&](const Ranked& a, const Ranked& b) {
                if (one_class && a.primary != b.primary) {
                    return a.primary < b.primary;
                }
                const Ordering order = native_order(a, b);
                return order == Ordering::Less || (order == Ordering::Equal && a.index < b.index);
            });
        }
        for (std::size_t k = 0; k < n; ++k) {
            const bool repeated =
                k > 0 && (exact ? sorted[k - 1].primary == sorted[k].primary
                                : native_order(sorted[k - 1], sorted[k]) == Ordering::Equal);
            if (!repeated) {
                rank_of[sorted[k].index] = std::uint32_t(ranked.size());
                ranked.push_back(std::uint32_t(k));
            }
        }
    } catch (const NeedsRichComparison&) {
        return std::nullopt;
    }

    RankTree shape(ranked.size());
    shape.insert_all(rank_of);

    // Nodes in key order; later duplicates stay in `entries` for the caller to release.
    Tree tree;
    Node* slots = tree.pool.take_run(ranked.size());
    for (std::size_t r = 0; r < ranked.size(); ++r) {
        const Ranked& item = sorted[ranked[r]];
        new (static_cast<void*>(slots + r)) Node(std::move(entries[item.index]), item.view());
    }
    for (std::uint32_t r = 0; r < ranked.size(); ++r) {
        Node& node = slots[r];
        if (shape.left(r) != no_rank) {
            node.left = Link(slots + shape.left(r));
        }
        if (shape.right(r) != no_rank) {
            node.right = Link(slots + shape.right(r));
        }
        set_heights(node, shape.height(shape.left(r)), shape.height(shape.right(r)));
    }
    if (!ranked.empty()) {
        tree.root = Link(slots + shape.root());
        settle_sizes(*tree.root);
    }
    tree.count = ranked.size();
    tree.shape = shapes.shape;
    return tree;
}

}  // namespace quorel::tree
