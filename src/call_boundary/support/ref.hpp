// Ref: the owner of one strong reference to a Python object.
//
// Move-only, so an accidental copy can never add a silent increment. Every reference the
// module keeps lives in exactly one Ref (or in a process cell, see process_cell.hpp).
#pragma once

#include <utility>

#include "call_boundary/support/compat.hpp"

namespace quorel {

class Ref {
public:
    Ref() noexcept = default;

    // Takes over a reference the caller already owns (a "new reference" result).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }

    // Takes a new reference of its own to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}

    // The old object is released only after the new one is in place, so a finaliser
    // run by the release never sees a half-assigned handle.
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        object_ = std::exchange(other.object_, nullptr);
        return *this;
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // A second, independent owner of the same object.
    Ref new_ref() const noexcept { return borrow(object_); }

    // Hands the reference to a caller that takes ownership (the interpreter, a tuple slot).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    void reset() noexcept {
        PyObject* old = std::exchange(object_, nullptr);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace quorel
