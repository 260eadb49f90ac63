#include "call_boundary/support/failure.hpp"

#include <cstdio>
#include <cstdlib>

#include "call_boundary/support/process_cell.hpp"
#include "call_boundary/support/text.hpp"

namespace quorel {
namespace {

ProcessCell panic_type_cell;

constexpr const char* panic_doc =
    "Raised when the native code of quorel panics: an internal invariant failed.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way up and ends the interpreter.";

}  // namespace

PyObject* panic_exception_type() {
    // A fetch only peeks at the cell, so checked() cannot come back here.
    return panic_type_cell.get([] {
        return checked(PyErr_NewExceptionWithDoc("ostra_runtime.PanicException", panic_doc,
                                                 PyExc_BaseException, nullptr));
    });
}

Failure Failure::lazy(PyObject* type, String message) {
    Failure failure(Kind::lazy);
    failure.lazy_type_ = type;
    failure.message_ = std::move(message);
    return failure;
}

Failure Failure::internal(String message) {
    Failure failure(Kind::internal);
    failure.message_ = std::move(message);
    return failure;
}

Failure Failure::fetch() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    compat::fetch_error(&type, &value, &traceback);
    Failure failure(Kind::raised);
    failure.type_ = Ref::steal(type);
    failure.value_ = Ref::steal(value);
    failure.traceback_ = Ref::steal(traceback);
    if (!failure.type_) {
        return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    // An internal failure that went out into Python code and came back (a key callable
    // calling into the module) resumes as an internal failure, not as an ordinary exception.
    // Until the type exists no such exception can exist either, so a fetch never has to
    // create it (which could itself fail, e.g. at the recursion limit).
    PyObject* panic_type = panic_type_cell.peek();
    if (panic_type == nullptr || failure.type_.get() != panic_type) {
        return failure;
    }
    String message = "Unwrapped panic from Python code";
    try {
        message = utf8(checked(PyObject_Str(failure.value_.get())).get());
    } catch (const Failure& unprintable) {
        if (!unprintable.is_ordinary()) {
            throw;
        }
        // The fallback text stands; the error from str() was consumed by the failure.
    }
    std::fputs("--- Ostra is resuming a panic after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n",
               stderr);
    std::fflush(stderr);
    compat::restore_error(failure.type_.release(), failure.value_.release(),
                          failure.traceback_.release());
    PyErr_PrintEx(0);
    return internal(std::move(message));
}

Failure::Failure(const Failure& other)
    : kind_(other.kind_),
      type_(other.type_.new_ref()),
      value_(other.value_.new_ref()),
      traceback_(other.traceback_.new_ref()),
      lazy_type_(other.lazy_type_),
      message_(other.message_) {}

void Failure::materialise() {
    if (kind_ != Kind::lazy) {
        return;
    }
    PyErr_SetString(lazy_type_, message_.c_str());
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    compat::fetch_error(&type, &value, &traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
    kind_ = Kind::raised;
}

Ref Failure::exception() {
    materialise();
    return value_.new_ref();
}

void Failure::add_argument_note(const char* parameter) {
    if (kind_ == Kind::internal) {
        return;
    }
    materialise();
    Ref text = Ref::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    Ref result;
    if (text) {
        result = Ref::steal(PyObject_CallMethodObjArgs(value_.get(), names::add_note(), text.get(),
                                                       nullptr));
    }
    if (!result) {
        discard_ordinary_error();
    }
}

bool Failure::is_ordinary() const noexcept {
    switch (kind_) {
        case Kind::raised:
            return PyErr_GivenExceptionMatches(type_.get(), PyExc_Exception) != 0;
        case Kind::lazy:
            return true;  // the module's own exceptions are all Exception subclasses
        case Kind::internal:
            return false;
    }
    return false;
}

void Failure::restore() {
    switch (kind_) {
        case Kind::raised:
            compat::restore_error(type_.release(), value_.release(), traceback_.release());
            return;
        case Kind::lazy:
            PyErr_SetString(lazy_type_, message_.c_str());
            return;
        case Kind::internal:
            try {
                PyObject* type = panic_exception_type();
                Ref text = checked(PyUnicode_FromStringAndSize(message_.data(), Py_ssize_t(message_.size())));
                Ref args = checked(PyTuple_Pack(1, text.get()));
                PyErr_SetObject(type, args.get());
            } catch (Failure& unbuilt) {
                unbuilt.restore();  // the panic cannot be built (no memory): raise why
            }
            return;
    }
}

void throw_fetched() { throw Failure::fetch(); }

void discard_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        throw_fetched();
    }
    PyErr_Clear();
}

void throw_error(PyObject* type, String message) {
    throw Failure::lazy(type, std::move(message));
}

void panic(String message) { throw Failure::internal(std::move(message)); }

void abort_at_boundary() noexcept {
    std::fputs("quorel: uncaught panic at ffi boundary\n", stderr);
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    std::abort();
}

}  // namespace quorel
