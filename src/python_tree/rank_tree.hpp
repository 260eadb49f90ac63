// RankTree: the shape that inserting keys one by one gives, worked out over their ranks.
//
// The shape depends only on how the keys order among themselves, so once they are ranked
// the insertions can run over small records of ranks instead of nodes and keys. An AVL
// insertion rebalances at most one subtree: the lowest one on the path whose root leaned
// (balance not 0) before; below it every record on the path was even and now leans toward
// the new leaf, above it nothing changes. So a descent notes that subtree, and one walk
// down from it sets the balances and makes the single or double rotation the tree's own
// insertion makes there, which gives the same shape. Heights are not kept: the records'
// balances fix them, and the build counts them once at the end.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "call_boundary/support/memory.hpp"
#include "python_tree/memory_hints.hpp"

namespace quorel::tree {

constexpr std::uint32_t no_rank = UINT32_MAX;

// The links of one rank. Its balance (left subtree height minus right) is kept apart, in
// one byte: a descent reads both, and the bytes of the upper levels stay in the caches.
struct RankRecord {
    std::uint32_t left = no_rank;
    std::uint32_t right = no_rank;
};

class RankTree {
public:
    explicit RankTree(std::size_t ranks) : records_(ranks), balances_(ranks) {}

    void insert(std::uint32_t rank) {
        std::uint32_t* leaning = &root_;  // the link to the lowest leaning record passed
        std::uint32_t* link = &root_;
        while (*link != no_rank) {
            RankRecord& at = records_[*link];
            if (balances_[*link] != 0) {
                leaning = link;
            }
            link = rank < *link ? &at.left : &at.right;
        }
        *link = rank;
        const std::uint32_t top = *leaning;
        if (top == rank) {
            return;  // the first rank
        }
        RankRecord& t = records_[top];
        for (std::uint32_t p = rank < top ? t.left : t.right; p != rank;) {
            RankRecord& r = records_[p];
            const bool left = rank < p;
            balances_[p] = left ? 1 : -1;
            p = left ? r.left : r.right;
        }
        if (rank < top) {
            settle<true>(leaning, t);
        } else {
            settle<false>(leaning, t);
        }
    }

    // Inserts the ranks in order, skipping no_rank. Once the records outgrow the caches,
    // each descent would wait on memory at most levels, so the descents of the next few
    // ranks run ahead, one level per insertion, fetching their paths (a path changes
    // little in a few insertions) and the records of their neighbours.
    void insert_all(const TemporaryVector<std::uint32_t>& ranks) {
        if (records_.size() < min_fetched_ahead || monotonic(ranks)) {
            for (const std::uint32_t rank : ranks) {
                if (rank != no_rank) {
                    insert(rank);
                }
            }
            return;
        }
        std::uint32_t target[lanes];
        std::uint32_t at[lanes];
        std::fill(at, at + lanes, no_rank);
        for (std::size_t i = 0; i < ranks.size(); ++i) {
            for (std::size_t j = 0; j < lanes; ++j) {
                if (at[j] != no_rank) {
                    const RankRecord& r = records_[at[j]];
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
    const RankRecord& operator[](std::uint32_t rank) const noexcept { return records_[rank]; }
    std::int8_t balance(std::uint32_t rank) const noexcept { return balances_[rank]; }

private:
    template <bool Left>
    static std::uint32_t& inner(RankRecord& r) noexcept {
        return Left ? r.left : r.right;
    }
    template <bool Left>
    static std::uint32_t& outer(RankRecord& r) noexcept {
        return Left ? r.right : r.left;
    }

    // The subtree at `*link`, whose root `t` leaned before, grew on its `Left` side: it
    // evens out, or its root now leans by 2 and one rotation (double where the child
    // leans the other way) restores it to its former height.
    template <bool Left>
    void settle(std::uint32_t* link, RankRecord& t) noexcept {
        constexpr std::int8_t lean = Left ? 1 : -1;
        const std::uint32_t top = *link;
        std::int8_t& t_balance = balances_[top];
        if (t_balance != lean) {
            t_balance = std::int8_t(t_balance + lean);  // 0 grows the whole tree
            return;
        }
        const std::uint32_t c = inner<Left>(t);
        RankRecord& child = records_[c];
        if (balances_[c] == lean) {
            inner<Left>(t) = outer<Left>(child);
            outer<Left>(child) = top;
            t_balance = 0;
            balances_[c] = 0;
            *link = c;
            return;
        }
        const std::uint32_t g = outer<Left>(child);
        RankRecord& grand = records_[g];
        outer<Left>(child) = inner<Left>(grand);
        inner<Left>(t) = outer<Left>(grand);
        inner<Left>(grand) = c;
        outer<Left>(grand) = top;
        t_balance = balances_[g] == lean ? std::int8_t(-lean) : 0;
        balances_[c] = balances_[g] == -lean ? lean : 0;
        balances_[g] = 0;
        *link = g;
    }

    // Whether the ranks other than no_rank come in ascending or in descending order: then
    // every descent follows one edge of the tree, which stays in the caches.
    static bool monotonic(const TemporaryVector<std::uint32_t>& ranks) noexcept {
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

    // The last levels of a descent are records of ranks close to the inserted one. The
    // distances came with the lanes below; the history keeps no figure for either.
    void fetch_neighbours(std::uint32_t rank) const noexcept {
        for (const std::size_t distance : {0, 6, 12, 24}) {
            prefetch_write(&records_[std::min(rank + distance, records_.size() - 1)]);
            prefetch_write(&records_[rank >= distance ? rank - distance : 0]);
        }
    }

    // Fetching ahead costs about 300 instructions an insertion. Minimum of three builds of
    // shuffled ints, without and with it: 24 and 23 ms at 10^5, 167 and 148 ms at 2.5 * 10^5,
    // 368 and 194 ms at 5 * 10^5, 1507 and 843 ms at 10^6 (a loaded machine).
    static constexpr std::size_t min_fetched_ahead = std::size_t(1) << 17;
    // Descents running ahead of the insertions; no figure was kept.
    static constexpr std::size_t lanes = 16;

    TemporaryVector<RankRecord> records_;
    TemporaryVector<std::int8_t> balances_;
    std::uint32_t root_ = no_rank;
};

}  // namespace quorel::tree
