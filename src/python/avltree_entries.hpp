// The interpreter-facing entries of AVLTree and _AVLTreeIterator, gathered here for the
// type registrations. Each one runs its body through the call boundary.
#pragma once

#include "call_boundary/compat.hpp"

namespace quorel::python::entries {

using Fastcall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
using NoArgs = PyObject* (*)(PyObject*, PyObject*) noexcept;
using Variadic = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t) noexcept;
using Binary = PyObject* (*)(PyObject*, PyObject*) noexcept;

// Construction, lifetime and summary slots.
PyObject* tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
void tree_dealloc(PyObject* self) noexcept;
Py_ssize_t tree_len(PyObject* self) noexcept;
int tree_bool(PyObject* self) noexcept;
int tree_contains(PyObject* self, PyObject* value) noexcept;
PyObject* tree_repr(PyObject* self) noexcept;
PyObject* tree_height(PyObject* self, void* closure) noexcept;

// Lookup and mutation methods.
extern const Fastcall insert, remove, remove_key, search, get, search_key, contains, has_node,
    contains_key;
extern const NoArgs clear, is_empty, first, min, last, max;

// Positions and neighbours, the subscript slot and runtime generics.
extern const Fastcall index, bisect_left, bisect_right, floor, ceiling, lower, higher, pop;
PyObject* tree_subscript(PyObject* self, PyObject* item) noexcept;
PyObject* class_getitem(PyObject* type, PyObject* item) noexcept;

// Walking methods and the iteration slot.
extern const Fastcall range, iter_from, iter_to;
extern const NoArgs in_order, descending, pre_order, post_order, level_order;
PyObject* tree_iter(PyObject* self) noexcept;

// Pickling.
PyObject* tree_reduce(PyObject* self, PyObject* unused) noexcept;
PyObject* from_sorted_entries(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;

// Copies.
PyObject* tree_copy(PyObject* self, PyObject* unused) noexcept;
PyObject* tree_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

// Bulk updates, set operations and their operators.
extern const Variadic update, union_of, intersection, difference, intersection_update,
    difference_update;
extern const Fastcall symmetric_difference, symmetric_difference_update, issubset, issuperset,
    isdisjoint;
extern const Binary tree_or, tree_and, tree_subtract, tree_xor, tree_inplace_or, tree_inplace_and,
    tree_inplace_subtract, tree_inplace_xor;

// The engine's self-check.
PyObject* check_invariants(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept;

// The iterator.
PyObject* iterator_iter(PyObject* self) noexcept;
PyObject* iterator_next(PyObject* self) noexcept;
PyObject* iterator_reduce(PyObject* self, PyObject* unused) noexcept;
void iterator_dealloc(PyObject* self) noexcept;
PyObject* iterator_refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace quorel::python::entries
