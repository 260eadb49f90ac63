// The interpreter-facing entries of AVLDict, gathered here for its type registration.
// Each one runs its body through the call boundary.
#pragma once

#include "call_boundary/support/compat.hpp"
#include "call_boundary/support/process_cell.hpp"

namespace quorel::python {

// The forms the type registrations give to entries.
template <class Function>
void* slot_function(Function function) {
    return reinterpret_cast<void*>(function);
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(function));
}

constexpr int with_arguments = METH_FASTCALL | METH_KEYWORDS;

// The type object that `spec` describes, for the class `class_name`; a failure raises
// RuntimeError "An error occurred while initializing class <name>" with the cause.
PyTypeObject* create_dict_class(const char* class_name, PyType_Spec& spec);

// The type object of `cell`, created by `create` on first request; a failure then is
// reported as unraisable and ends as an internal failure naming the class.
PyTypeObject* request_dict_class(ProcessCell& cell, PyTypeObject* (*create)(),
                                 const char* class_name);

// The view types, created on first request.
PyTypeObject* keys_view_type();
PyTypeObject* values_view_type();
PyTypeObject* items_view_type();

}  // namespace quorel::python

namespace quorel::python::entries {

using Fastcall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
using NoArgs = PyObject* (*)(PyObject*, PyObject*) noexcept;

// Construction, lifetime and collection.
PyObject* dict_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
PyObject* dict_fromkeys(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
void dict_dealloc(PyObject* self) noexcept;
int dict_traverse(PyObject* self, visitproc visit, void* arg) noexcept;
int dict_clear_slot(PyObject* self) noexcept;

// The mapping protocol, equality and iteration.
Py_ssize_t dict_len(PyObject* self) noexcept;
int dict_bool(PyObject* self) noexcept;
int dict_contains(PyObject* self, PyObject* key) noexcept;
PyObject* dict_subscript(PyObject* self, PyObject* key) noexcept;
int dict_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept;
PyObject* dict_richcompare(PyObject* self, PyObject* other, int op) noexcept;
PyObject* dict_iter(PyObject* self) noexcept;
PyObject* dict_reversed(PyObject* self, PyObject* unused) noexcept;
PyObject* dict_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept;
PyObject* dict_clear(PyObject* self, PyObject* unused) noexcept;

// Ordered queries and positions of the map.
extern const Fastcall dict_range, dict_iter_from, dict_iter_to, dict_floor, dict_ceiling,
    dict_lower, dict_higher, dict_index, dict_bisect_left, dict_bisect_right, dict_peekitem,
    dict_popitem;

// Updates and the views.
extern const Fastcall dict_setdefault, dict_pop, dict_update;
extern const NoArgs dict_keys, dict_values, dict_items;
PyObject* dict_or(PyObject* left, PyObject* right) noexcept;
PyObject* dict_inplace_or(PyObject* self, PyObject* other) noexcept;

// Text form, copies and pickling.
PyObject* dict_repr(PyObject* self) noexcept;
PyObject* dict_copy(PyObject* self, PyObject* unused) noexcept;
PyObject* dict_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* dict_reduce(PyObject* self, PyObject* unused) noexcept;
PyObject* dict_from_sorted_items(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept;
PyObject* check_dict_invariants(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

}  // namespace quorel::python::entries
