// Creation of the module's process-wide classes. Each type object is made from its
// PyType_Spec on the first request and kept for the life of the process, so a re-import
// of the module registers the very same type objects.
#include <cstring>

#include "call_boundary/support/failure.hpp"
#include "call_boundary/support/memory.hpp"
#include "call_boundary/support/text.hpp"
#include "python/class_registration.hpp"

namespace quorel::python {
namespace {

// The entries of every group's `Table`, joined in group order and ended by a zero entry,
// in memory that is never given back: the type object points into it for as long as it
// lives, which is the rest of the process.
template <class Entry, std::span<const Entry> MemberGroup::*Table>
Entry* joined(const ClassRegistration& registration) {
    std::size_t count = 0;
    for (const MemberGroup* group : registration.groups) {
        count += (group->*Table).size();
    }
    if (count == 0) {
        return nullptr;
    }
    auto* joined = static_cast<Entry*>(allocate_bytes((count + 1) * sizeof(Entry)));
    Entry* end = joined;
    for (const MemberGroup* group : registration.groups) {
        for (const Entry& entry : group->*Table) {
            *end++ = entry;
        }
    }
    std::memset(static_cast<void*>(end), 0, sizeof(Entry));
    return joined;
}

// The slot list: the doc, the groups' own slots, the method and property tables, the base
// and the terminator.
Vector<PyType_Slot> slots_of(const ClassRegistration& registration) {
    Vector<PyType_Slot> slots;
    if (registration.doc != nullptr && registration.doc[0] != '\0') {
        slots.push_back({Py_tp_doc, const_cast<char*>(registration.doc)});
    }
    for (const MemberGroup* group : registration.groups) {
        slots.insert(slots.end(), group->slots.begin(), group->slots.end());
    }
    if (PyMethodDef* methods = joined<PyMethodDef, &MemberGroup::methods>(registration)) {
        slots.push_back({Py_tp_methods, methods});
    }
    if (PyGetSetDef* properties = joined<PyGetSetDef, &MemberGroup::properties>(registration)) {
        slots.push_back({Py_tp_getset, properties});
    }
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({0, nullptr});
    return slots;
}

PyTypeObject* create_type(const ClassRegistration& registration) {
    Vector<PyType_Slot> slots = slots_of(registration);
    PyType_Spec spec{registration.qualified_name, registration.basic_size, 0, registration.flags,
                     slots.data()};
    try {
        return reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&spec)).release());
    } catch (Failure& failure) {
        Ref cause = failure.exception();
        Ref error = checked(PyObject_CallFunction(
            PyExc_RuntimeError, "s",
            (String("An error occurred while initializing class ") + registration.class_name)
                .c_str()));
        PyException_SetCause(error.get(), cause.release());
        PyErr_SetObject(PyExc_RuntimeError, error.get());
        throw_fetched();
    }
}

}  // namespace

PyTypeObject* ClassCell::get() {
    return reinterpret_cast<PyTypeObject*>(cell_.get([&] {
        return Ref::steal(reinterpret_cast<PyObject*>(create_type(registration_())));
    }));
}

PyTypeObject* ClassCell::for_instance() {
    try {
        return get();
    } catch (Failure& failure) {
        if (failure.is_internal()) {
            throw;
        }
        failure.restore();
        PyErr_WriteUnraisable(nullptr);
        panic(String("failed to create type object for `") + registration_().class_name + "`");
    }
}

}  // namespace quorel::python
