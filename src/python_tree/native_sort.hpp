// Sorting a batch of keys that share one key structure without comparing them pair by
// pair: each key gets a 64-bit sort key that never contradicts the keys' order (a < b gives
// sort_key(a) <= sort_key(b)), the records are radix sorted by it, and only keys whose
// sort keys tie are compared, natively. For ints, floats and pairs that fit one word,
// equal sort keys mean equal keys and no key is compared at all.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "call_boundary/support/memory.hpp"
#include "python_tree/compare.hpp"

namespace quorel::tree {

struct SortRecord {
    std::uint64_t key;
    std::size_t index;  // position in the batch
};

// The sort keys of one batch: one pass over its keys (add) fixes how pairs are packed.
class SortKeyRule {
public:
    void add(const KeyView& key) noexcept;
    std::uint64_t key(const KeyView& key) const noexcept;
    // Whether equal sort keys mean equal keys.
    bool exact() const noexcept;

private:
    unsigned kinds_ = 0;          // bit per KeyKind seen (pairs share one bit)
    unsigned pair_low_ = 0;       // the widest second item of a pair
    unsigned pair_high_ = 0;      // the widest first item of a pair
};

// Orders the records by key, equal keys in their order. Throws MemoryError.
void sort_records(TemporaryVector<SortRecord>& records);

// Positions in the batch, in ascending key order, of the first (in batch order) of each
// group of equal keys. `view_of(i)` is the native form of the i-th of n keys, which all
// share one key structure. Runs no Python code; throws MemoryError only.
template <class ViewOf>
TemporaryVector<std::size_t> sort_unique_native(std::size_t n, const ViewOf& view_of) {
    SortKeyRule rule;
    for (std::size_t i = 0; i < n; ++i) {
        rule.add(view_of(i));
    }
    TemporaryVector<SortRecord> records;
    records.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        records.push_back({rule.key(view_of(i)), i});
    }
    sort_records(records);
    auto order = [&](const SortRecord& a, const SortRecord& b) noexcept {
        return *native_order(view_of(a.index), view_of(b.index));
    };
    TemporaryVector<std::size_t> kept;
    kept.reserve(n);
    for (auto run = records.begin(); run != records.end();) {
        const auto end = std::find_if(run + 1, records.end(), [&](const SortRecord& r) {
            return r.key != run->key;
        });
        if (rule.exact() || end - run == 1) {
            kept.push_back(run->index);
        } else {
            // Keys whose sort keys tie: by the full order, equal keys in batch order.
            std::sort(run, end, [&](const SortRecord& a, const SortRecord& b) noexcept {
                const Ordering o = order(a, b);
                return o == Ordering::Less || (o == Ordering::Equal && a.index < b.index);
            });
            kept.push_back(run->index);
            for (auto r = run + 1; r != end; ++r) {
                if (order(r[-1], *r) != Ordering::Equal) {
                    kept.push_back(r->index);
                }
            }
        }
        run = end;
    }
    return kept;
}

}  // namespace quorel::tree
