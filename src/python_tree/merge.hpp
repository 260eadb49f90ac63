// Sorted runs of entries and the set operations between them.
//
// A run lists entries in strictly ascending key order with their keys' native forms. Its
// references are borrowed from whatever holds the entries (a tree under a borrow, or a
// batch of new entries), which must outlive the run. Combining runs is one merge walk, so
// a set operation between two runs costs O(n + m) comparisons at most.
#pragma once

#include "python_tree/tree.hpp"

namespace quorel::tree {

struct RunEntry {
    PyObject* value;
    KeyView key;
};

struct Run {
    Vector<RunEntry> entries;
    // The structure every key of the run has, or no_structure when they differ, any has
    // none, or it is not known.
    KeyStructure keys = no_structure;
};

// Which entries a combination keeps: those whose key only the left run has, only the right
// one has, or both have (the left entry then).
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
Run run_of(const Tree& tree);

// The entries of `batch` in ascending key order, the first of equal keys only. Throws
// what a comparison throws. Natively comparable keys are sorted without Python code.
Run sorted_run(const EntryList& batch);

// The entries `keep` selects from the merge of two runs. Keys are compared with the left
// one first; an object is equal to itself without a comparison. Throws what a comparison
// throws.
Run combine(const Run& left, const Run& right, Selection keep);

// Whether the merge of the two runs meets a key of a kind that `sought` selects; stops
// at the first. Throws what a comparison throws.
bool meets(const Run& left, const Run& right, Selection sought);

// A tree of the run's entries, each with new references, in the balanced builder's shape.
Tree tree_of(const Run& run);

}  // namespace quorel::tree
