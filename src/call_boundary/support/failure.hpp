// Failure: the one way a body reports that it did not produce its result.
//
// Bodies throw a Failure; the entry wrappers of entry.hpp catch it and turn it into the
// interpreter's convention. A failure is one of three kinds:
//   raised   - an exception the interpreter raised (fetched with its traceback, passed on unchanged);
//   lazy     - an exception of this module, kept as type and message until it is raised;
//   internal - a broken invariant, raised as PanicException.
#pragma once

#include "call_boundary/support/memory.hpp"
#include "call_boundary/support/ref.hpp"

namespace quorel {

class Failure {
public:
    // Takes the interpreter's pending exception after a call reported failure.
    static Failure fetch();
    static Failure lazy(PyObject* type, String message);
    static Failure internal(String message);

    // Thrown objects must be copyable; a copy shares the same exception objects.
    Failure(const Failure& other);
    Failure(Failure&&) noexcept = default;
    Failure& operator=(const Failure&) = delete;
    Failure& operator=(Failure&&) = delete;
    ~Failure() = default;

    bool is_internal() const noexcept { return kind_ == Kind::internal; }

    // Whether this is an Exception subclass, which a failure that the design ignores may
    // swallow; KeyboardInterrupt, SystemExit and internal failures must travel on.
    bool is_ordinary() const noexcept;

    // Adds the note "while processing '<parameter>'" to a Python exception. Interpreters
    // without exception notes, and any failure of the note itself, are ignored.
    void add_argument_note(const char* parameter);

    // Sets this failure as the interpreter's current exception.
    void restore();

    // The exception object of a Python failure (built now if it was lazy), for chaining.
    Ref exception();

private:
    enum class Kind { raised, lazy, internal };

    explicit Failure(Kind kind) noexcept : kind_(kind) {}
    void materialise();

    Kind kind_;
    Ref type_;
    Ref value_;
    Ref traceback_;
    PyObject* lazy_type_ = nullptr;  // a built-in exception type, alive for the process
    String message_;
};

// Throwing helpers, kept out of line and off the hot paths.
[[noreturn]] void throw_fetched();
// Clears the pending exception of a failure that may be ignored, if it is an Exception
// subclass; any other (KeyboardInterrupt, SystemExit, ...) is thrown.
void discard_ordinary_error();
[[noreturn]] void throw_error(PyObject* type, String message);
[[noreturn]] void panic(String message);
// A failure while translating a failure: nothing sensible can reach Python any more.
[[noreturn]] void abort_at_boundary() noexcept;

// The exception type of internal failures, created on first use.
PyObject* panic_exception_type();

// A new reference from an interpreter call that may fail: a null result throws the
// pending exception.
inline Ref checked(PyObject* result) {
    if (result == nullptr) {
        throw_fetched();
    }
    return Ref::steal(result);
}

inline void check_status(int status) {
    if (status < 0) {
        throw_fetched();
    }
}

}  // namespace quorel
