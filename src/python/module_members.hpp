// What the module's execution step registers: the classes and the module functions.
#pragma once

#include "call_boundary/support/compat.hpp"

namespace quorel::python {

// The type objects, created on the first call; a failure is raised to the importer.
PyTypeObject* register_avltree_type();
PyTypeObject* register_iterator_type();
PyTypeObject* register_avldict_type();

// _avltree_from_sorted_entries (pickle.cpp) and _check_invariants (invariants.cpp).
extern PyMethodDef from_sorted_entries_function;
extern PyMethodDef check_invariants_function;

// _avldict_from_sorted_items and _check_avldict (avldict_copies.cpp).
extern PyMethodDef from_sorted_items_function;
extern PyMethodDef check_avldict_function;

}  // namespace quorel::python
