// Entry wrappers: every call from the interpreter into the module runs its body inside one
// of these. They are the only place where failures turn into the interpreter's convention,
// so no C++ exception and no half-set Python error ever crosses into the interpreter.
#pragma once

#include "call_boundary/support/failure.hpp"

namespace quorel::boundary {

// Sets the exception in flight as the interpreter's current exception. Called from a catch
// handler; aborts the process if the translation itself fails.
void translate_current_exception() noexcept;

// Bodies returning a new object: null with the exception set on failure.
template <class Body>
PyObject* object_entry(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// Bodies returning an integer (a size, a truth value, a status): -1 on failure.
template <class Result, class Body>
Result integer_entry(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return Result(-1);
    }
}

// Release slots: nothing can be raised to a caller, so an internal failure is reported
// to the interpreter's unraisable hook.
template <class Body>
void release_entry(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        translate_current_exception();
        PyErr_WriteUnraisable(nullptr);
    }
}

}  // namespace quorel::boundary
