// Allocation and release of instances of the module's heap types, the same for both classes.
#pragma once

#include "call_boundary/support/failure.hpp"

namespace quorel::python {

// An instance's fields follow the interpreter's object header. The stable ABI of
// free-threaded builds (abi3t) keeps that header opaque: there the fields are the type's
// own data, found through PyObject_GetTypeData, and hold a pointer back to their object.
#ifdef Py_TARGET_ABI3T
#define QUOREL_OBJECT_HEAD PyObject* object_;
#else
#define QUOREL_OBJECT_HEAD PyObject_HEAD
#endif

template <class Fields>
Fields& fields_of(PyObject* self) noexcept {
#ifdef Py_TARGET_ABI3T
    return *static_cast<Fields*>(PyObject_GetTypeData(self, Py_TYPE(self)));
#else
    return *reinterpret_cast<Fields*>(self);
#endif
}

template <class Fields>
PyObject* object_of(Fields& fields) noexcept {
#ifdef Py_TARGET_ABI3T
    return fields.object_;
#else
    return reinterpret_cast<PyObject*>(&fields);
#endif
}

// The fields of a new instance, tied to it.
template <class Fields>
Fields& new_fields(PyObject* self) noexcept {
    Fields& fields = fields_of<Fields>(self);
#ifdef Py_TARGET_ABI3T
    fields.object_ = self;
#endif
    return fields;
}

// The basic size a type's PyType_Spec gives for these fields: the whole instance, or under
// abi3t the size added to object's, written as a negative number.
template <class Fields>
constexpr int spec_basic_size() noexcept {
#ifdef Py_TARGET_ABI3T
    return -int(sizeof(Fields));
#else
    return int(sizeof(Fields));
#endif
}

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
