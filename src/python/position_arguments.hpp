// What the positional members of AVLTree and AVLDict share: an int argument read as a
// position, a slice read as the positions it selects, and a snapshot handed out as a list.
#pragma once

#include <cstdint>

#include "call_boundary/support/ref.hpp"
#include "python_tree/tree.hpp"

namespace quorel::python {

// An int (through the index protocol) as a position within `size` entries, negative ones
// counted from the end; false when it lies outside, however large it is.
bool position(PyObject* index, std::uint64_t size, std::uint64_t& out);

// The positions a slice selects within `size` entries: the first, the step between them
// and how many there are.
struct SlicePositions {
    std::uint64_t start;
    Py_ssize_t step;
    std::uint64_t length;
};
SlicePositions slice_positions(PyObject* slice, std::uint64_t size);

// A list owning the snapshot's references.
Ref as_list(tree::Snapshot snapshot);

}  // namespace quorel::python
