// Failure: the one way a body reports that it did not produce its result.
//
// Bodies throw a Failure; the entry wrappers of entry.hpp catch it and turn it into the
// interpreter's convention. A failure is one of three kinds:
//   raised   - an exception the interpreter raised (fetched with its traceback, passed on unchanged);
//   lazy     - an exception of this module, kept as type and message until it is raised;
//   internal - a broken invariant, raised as PanicException.
#pragma once

#include <string>

#include "call_boundary/ref.hpp"

namespace quorel {

class Failure {
public:
    // Takes the interpreter's pending exception after a call reported failure.
    static Failure fetch();
    static Failure lazy(PyObject* type, std::string message);
    static Failure internal(std::string message);

    // Thrown objects must be copyable; a copy shares the same exception objects.
    Failure(const Failure& other);
    Failure(Failure&&) noexcept = default;
    Failure& operator=(const Failure&) = delete;
    Failure& operator=(Failure&&) = delete;
    ~Failure() = default;

    bool is_internal() const noexcept { return kind_ == Kind::internal; }

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
    std::string message_;
};

// Throwing helpers, kept out of line and off the hot paths.
[[noreturn]] void throw_fetched();
[[noreturn]] void throw_error(PyObject* type, std::string message);
[[noreturn]] void panic(std::string message);
[[noreturn]] void out_of_memory() noexcept;
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

// A new reference from an interpreter call that cannot fail in practice (a small string,
// tuple or list for the module's own use). A null result is an internal failure.
Ref expect_object(PyObject* result);

}  // namespace quorel
