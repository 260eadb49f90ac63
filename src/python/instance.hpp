// Allocation and release of instances of the module's heap types, the same for both classes.
#pragma once

#include "call_boundary/failure.hpp"

namespace quorel::python {

// A zero-filled instance from the type's allocation slot; throws the interpreter's error.
inline PyObject* allocate_instance(PyTypeObject* type) {
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = allocate(type, 0);
    if (self == nullptr) {
        throw_fetched();
    }
    return self;
}

// The end of every release: the memory goes back through the type's free slot, then the
// instance's reference to its heap type is dropped.
inline void free_instance(PyObject* self) noexcept {
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
    free_memory(self);
}

}  // namespace quorel::python
