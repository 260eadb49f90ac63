// Sorted views of entries and the set operations between them.
//
// SortedViews lists entries in strictly ascending key order with their keys' native forms.
// Its references are borrowed from whatever holds the entries (a tree under a borrow, or a
// batch of new entries), which must outlive the views. Combining two such lists is one
// merge walk, so a set operation between them costs O(n + m) comparisons at most.
#pragma once

#include "python_tree/tree.hpp"

namespace quorel::tree {

// An entry seen through borrowed references, with its key's native form.
struct EntryView {
    PyObject* value;
    KeyView key;
};

struct SortedViews {
    Vector<EntryView> entries;
    // The structure every key listed has, or no_structure when they differ, any has
    // none, or it is not known.
    KeyStructure structure = no_structure;
};

// Which entries a combination keeps: those whose key only the left views have, only the
// right ones have, or both have (the left entry then).
struct Selection {
    bool left_only;
    bool right_only;
    bool both;
};

inline constexpr Selection union_selection{true, true, true};
inline constexpr Selection intersection_selection{false, false, true};
inline constexpr Selection difference_selection{true, false, false};
inline constexpr Selection symmetric_difference_selection{true, true, false};

// The stored entries of `tree` in ascending key order; no comparisons.
SortedViews views_of(const Tree& tree);

// The entries of `batch` in ascending key order, the first of equal keys only. Throws
// what a comparison throws. Natively comparable keys are sorted without Python code.
SortedViews sorted_views(const EntryList& batch);

// The entries `keep` selects from the merge of two SortedViews. Keys are compared with the left
// one first; an object is equal to itself without a comparison. Throws what a comparison
// throws.
SortedViews combine(const SortedViews& left, const SortedViews& right, Selection keep);

// Whether the merge of the two SortedViews meets a key of a kind that `sought` selects; stops
// at the first. Throws what a comparison throws.
bool meets(const SortedViews& left, const SortedViews& right, Selection sought);

// A tree of the listed entries, each with new references, in the balanced builder's shape.
Tree tree_of(const SortedViews& sorted);

}  // namespace quorel::tree
