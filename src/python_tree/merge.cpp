#include "python_tree/merge.hpp"

#include <algorithm>

#include "python_tree/memory_hints.hpp"
#include "python_tree/native_sort.hpp"
#include "python_tree/node_block.hpp"

namespace quorel::tree {
namespace {

// Keys in the same object are equal, as in Python's own containers; anything else is
// compared natively where both sides allow it.
inline Ordering compare_unless_same(const KeyView& a, const KeyView& b) {
    return a.object == b.object ? Ordering::Equal : compare_views(a, b);
}

// Sorts items[0, n) in place by `ordering`, keeping the first of equal keys only, and
// returns how many are kept. A merge sort: stable, and it never reads outside the range
// whatever the comparisons answer (Python code may answer inconsistently).
template <class Order>
std::size_t sort_unique(EntryView* items, EntryView* scratch, std::size_t n, Order& ordering) {
    if (n < 2) {
        return n;
    }
    const std::size_t half = n / 2;
    const std::size_t a = sort_unique(items, scratch, half, ordering);
    const std::size_t b = sort_unique(items + half, scratch, n - half, ordering);
    if (a < half) {
        std::copy(items + half, items + half + b, items + a);
    }
    EntryView* right = items + a;
    if (ordering(items[a - 1].key, right[0].key) == Ordering::Less) {
        return a + b;  // already in order: input that comes sorted costs n comparisons
    }
    std::size_t i = 0;
    std::size_t j = 0;
    std::size_t k = 0;
    while (i < a && j < b) {
        const Ordering o = ordering(items[i].key, right[j].key);
        if (o == Ordering::Greater) {
            scratch[k++] = right[j++];
        } else {
            scratch[k++] = items[i++];
            j += o == Ordering::Equal;  // the later of equal keys goes
        }
    }
    while (i < a) {
        scratch[k++] = items[i++];
    }
    while (j < b) {
        scratch[k++] = right[j++];
    }
    std::copy(scratch, scratch + k, items);
    return k;
}

// The same over a whole list, which keeps the sorted entries only.
template <class Order>
void sort_unique(Vector<EntryView>& items, Order& ordering) {
    Vector<EntryView> scratch(items.size());
    items.resize(sort_unique(items.data(), scratch.data(), items.size(), ordering));
}

// Calls `emit(entry, left_only, right_only)` for each entry of the merge in key order; an
// emit that returns false ends the walk.
template <class Emit>
void merge_walk(const Vector<EntryView>& left, const Vector<EntryView>& right, Emit emit) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < left.size() && j < right.size()) {
        const Ordering o = compare_unless_same(left[i].key, right[j].key);
        const bool go_on = o == Ordering::Less      ? emit(left[i++], true, false)
                           : o == Ordering::Greater ? emit(right[j++], false, true)
                                                    : (++j, emit(left[i++], false, false));
        if (!go_on) {
            return;
        }
    }
    while (i < left.size() && emit(left[i++], true, false)) {
    }
    while (j < right.size() && emit(right[j++], false, true)) {
    }
}

bool selected(Selection keep, bool left_only, bool right_only) noexcept {
    return left_only ? keep.left_only : (right_only ? keep.right_only : keep.both);
}

}  // namespace

SortedViews views_of(const Tree& tree) {
    SortedViews sorted;
    sorted.structure = tree.key_structure();
    sorted.entries.reserve(tree.size());
    if (const NodeStore* store = tree.key_order_store()) {
        for (Pos at = 0; at < tree.size(); ++at) {
            sorted.entries.push_back({store->value(at), store->view(at)});
        }
        return sorted;
    }
    // Nodes spread over memory: each key's native form is taken again, as cheaply.
    auto take = [&](PyObject* value, PyObject* key) {
        sorted.entries.push_back({value, view_key(key)});
    };
    tree.each_entry(take);
    return sorted;
}

SortedViews sorted_views(const EntryList& batch) {
    SortedViews sorted;
    sorted.entries.reserve(batch.size());
    StructureTally structures;
    for (const Entry& entry : batch) {
        KeyStructure structure;
        sorted.entries.push_back({entry.value.get(), view_key(entry.key.get(), structure)});
        structures.add(structure);
    }
    sorted.structure = structures.shared();
    if (sorted.structure != no_structure) {
        // One structure: every comparison is native and cannot fail, so a batch that comes
        // strictly ascending costs one pass; any other is sorted by its native forms.
        auto not_less = [](const EntryView& a, const EntryView& b) noexcept {
            return *native_order(a.key, b.key) != Ordering::Less;
        };
        const Vector<EntryView>& entries = sorted.entries;
        if (std::adjacent_find(entries.begin(), entries.end(), not_less) != entries.end()) {
            const TemporaryVector<std::size_t> kept = sort_unique_native(
                entries.size(), [&](std::size_t i) -> const KeyView& { return entries[i].key; });
            Vector<EntryView> in_order;
            in_order.reserve(kept.size());
            for (const std::size_t i : kept) {
                in_order.push_back(entries[i]);
            }
            sorted.entries.swap(in_order);
        }
    } else {
        sort_unique(sorted.entries, compare_unless_same);
    }
    return sorted;
}

SortedViews combine(const SortedViews& left, const SortedViews& right, Selection keep) {
    SortedViews result;
    result.entries.reserve(left.entries.size() + (keep.right_only ? right.entries.size() : 0));
    merge_walk(left.entries, right.entries,
               [&](const EntryView& entry, bool left_only, bool right_only) {
                   if (selected(keep, left_only, right_only)) {
                       result.entries.push_back(entry);
                   }
                   return true;
               });
    // Entries of the left views only share their structure; those of both, one they share.
    if (!keep.right_only || right.entries.empty()) {
        result.structure = left.structure;
    } else if (left.entries.empty() || left.structure == right.structure) {
        result.structure = right.structure;
    }
    return result;
}

bool meets(const SortedViews& left, const SortedViews& right, Selection sought) {
    bool met = false;
    merge_walk(left.entries, right.entries, [&](const EntryView&, bool left_only, bool right_only) {
        met = selected(sought, left_only, right_only);
        return !met;
    });
    return met;
}

Tree tree_of(const SortedViews& sorted) {
    const Vector<EntryView>& entries = sorted.entries;
    NodeBlock block(entries.size());
    // New references to each entry in turn; the objects sit anywhere in memory, so their
    // reference counts are fetched a few entries ahead.
    constexpr std::size_t ahead = 12;
    for (std::size_t i = 0; i < ahead && i < entries.size(); ++i) {
        prefetch_write(entries[i].value);
        prefetch_write(entries[i].key.object);
    }
    std::size_t next = 0;
    auto place = [&] {
        if (next + ahead < entries.size()) {
            prefetch_write(entries[next + ahead].value);
            prefetch_write(entries[next + ahead].key.object);
        }
        const EntryView& entry = entries[next++];
        Entry taken(Ref::borrow(entry.value), Ref::borrow(entry.key.object));
        return sorted.structure != no_structure
                   ? block.place(std::move(taken), entry.key, sorted.structure)
                   : block.place(std::move(taken));
    };
    const Pos root = build_balanced(block, entries.size(), place);
    return Tree(std::move(block), root);
}

}  // namespace quorel::tree
