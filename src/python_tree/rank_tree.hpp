// RankTree: the shape that inserting keys one by one gives, worked out over their ranks.
//
// The shape depends only on how the keys order among themselves, so once they are ranked
// the insertions can run over small records of ranks instead of nodes and keys, with the
// rebalancing of the tree's own insertion.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "call_boundary/support/memory.hpp"
#include "python_tree/memory_hints.hpp"
#include "python_tree/rebalance.hpp"

namespace quorel::tree {

constexpr std::uint32_t no_rank = UINT32_MAX;

// The links and heights of one rank.
struct RankRecord {
    std::uint32_t left = no_rank;
    std::uint32_t right = no_rank;
    std::uint8_t height = 0;
    std::int8_t balance = 0;
};

// Links held as ranks into an array of records, without subtree sizes.
class RankLinks {
public:
    using Handle = std::uint32_t;
    using Record = RankRecord;

    explicit RankLinks(RankRecord* records) noexcept : records_(records) {}

    RankRecord& record(std::uint32_t rank) const noexcept { return records_[rank]; }
    static bool linked(std::uint32_t rank) noexcept { return rank != no_rank; }
    std::uint64_t height(std::uint32_t rank) const noexcept {
        return rank == no_rank ? 0 : records_[rank].height;
    }
    static void rotated(RankRecord&, RankRecord&) noexcept {}
    static void recount(RankRecord&) noexcept {}
    static void resize(RankRecord&, std::int32_t) noexcept {}

private:
    RankRecord* records_;
};

class RankTree {
public:
    explicit RankTree(std::size_t ranks) : records_(ranks), links_(records_.data()) {}

    // Ranks carry no subtree sizes, so the walk back up stops at the first subtree that
    // keeps its height.
    void insert(std::uint32_t rank) {
        std::uint32_t* path[max_height];
        std::size_t depth = 0;
        std::uint32_t* link = &root_;
        while (*link != no_rank) {
            path[depth++] = link;
            RankRecord& at = records_[*link];
            link = rank < *link ? &at.left : &at.right;
        }
        *link = rank;
        records_[rank].height = 1;
        while (depth > 0) {
            std::uint32_t& parent = *path[--depth];
            const std::uint8_t before = records_[parent].height;
            parent = rebalance(links_, parent);
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

    // The last levels of a descent are records of ranks close to the inserted one. The
    // distances came with the lanes below; the history keeps no figure for either.
    void fetch_neighbours(std::uint32_t rank) const noexcept {
        for (const std::size_t distance : {0, 6, 12, 24}) {
            prefetch_write(&records_[std::min(rank + distance, records_.size() - 1)]);
            prefetch_write(&records_[rank >= distance ? rank - distance : 0]);
        }
    }

    // From 2**16 records (768 KiB) the descents wait on memory; below, fetching ahead
    // only adds work. No figure was kept.
    static constexpr std::size_t min_fetched_ahead = std::size_t(1) << 16;
    // Descents running ahead of the insertions; no figure was kept.
    static constexpr std::size_t lanes = 16;

    Vector<RankRecord> records_;
    RankLinks links_;
    std::uint32_t root_ = no_rank;
};

}  // namespace quorel::tree
