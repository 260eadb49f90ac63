// What the module's classes are made from. Each file that defines members of a class
// publishes them as one MemberGroup; the class's registration lists its groups, and its
// type object is created from them on the first request, once per process.
#pragma once

#include <span>

#include "call_boundary/support/process_cell.hpp"

namespace quorel::python {

// The members one file gives a class: methods in their published order, the type slots
// it fills and its properties.
struct MemberGroup {
    std::span<const PyMethodDef> methods;
    std::span<const PyType_Slot> slots = {};
    std::span<const PyGetSetDef> properties = {};
};

struct ClassRegistration {
    const char* class_name;
    const char* qualified_name;  // module name, a full stop, the class name
    const char* doc;
    int basic_size;
    unsigned int flags;
    std::span<const MemberGroup* const> groups;  // methods are published in this order
};

// The process-wide type object of one class.
class ClassCell {
public:
    explicit constexpr ClassCell(ClassRegistration (*registration)()) noexcept
        : registration_(registration) {}

    // For the module's execution: a creation failure is raised as RuntimeError "An error
    // occurred while initializing class <name>", caused by what the creation raised.
    PyTypeObject* get();

    // For making an instance, where there is no caller to hand a creation failure to: it
    // is reported as unraisable and ends as an internal failure.
    PyTypeObject* for_instance();

private:
    ClassRegistration (*registration_)();
    ProcessCell cell_;
};

}  // namespace quorel::python
