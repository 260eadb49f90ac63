// Conversions of bound arguments into the types the bodies need. Each throws the
// conversion's own exception; `converted` adds the note naming the parameter.
#pragma once

#include <cstdint>

#include "call_boundary/support/failure.hpp"

namespace quorel {

// Exactly a bool (or a NumPy boolean, through its __bool__); no truth test of other objects.
bool to_bool(PyObject* object);

// An int or an object with __index__, within 0 .. 2**64 - 1.
std::uint64_t to_u64(PyObject* object);

// TypeError "'<type>' object is not an instance of '<expected>'" (or "'None' is not ...").
[[noreturn]] void not_an_instance(PyObject* object, const String& expected);

// TypeError unless `object` is a tuple of exactly `length` items.
void check_tuple_length(PyObject* object, Py_ssize_t length);

// Runs one conversion; a failure leaves with the argument note for `parameter`.
template <class Convert>
auto converted(const char* parameter, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (Failure& failure) {
        failure.add_argument_note(parameter);
        throw;
    }
}

}  // namespace quorel
