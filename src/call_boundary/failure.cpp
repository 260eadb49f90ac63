#include "call_boundary/failure.hpp"

#include <cstdio>
#include <cstdlib>

#include "call_boundary/process_cell.hpp"
#include "call_boundary/text.hpp"

namespace quorel {
namespace {

ProcessCell panic_type_cell;

constexpr const char* panic_doc =
    "Raised when the native code of quorel panics: an internal invariant failed.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way up and ends the interpreter.";

}  // namespace

PyObject* panic_exception_type() {
    // Creation cannot go through checked(): fetching an exception needs this very type.
    return panic_type_cell.get([] {
        PyObject* type = PyErr_NewExceptionWithDoc("ostra_runtime.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
        if (type == nullptr) {
            abort_at_boundary();
        }
        return Ref::steal(type);
    });
}

Failure Failure::lazy(PyObject* type, std::string message) {
    Failure failure(Kind::lazy);
    failure.lazy_type_ = type;
    failure.message_ = std::move(message);
    return failure;
}

Failure Failure::internal(std::string message) {
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
    std::string message = "Unwrapped panic from Python code";
    try {
        message = utf8(checked(PyObject_Str(failure.value_.get())).get());
    } catch (const Failure&) {
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
    std::string note = std::string("while processing '") + parameter + "'";
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), Py_ssize_t(note.size())));
    Ref result;
    if (text) {
        result = Ref::steal(PyObject_CallMethodObjArgs(value_.get(), names::add_note(), text.get(),
                                                       nullptr));
    }
    if (!result) {
        PyErr_Clear();
    }
}

void Failure::restore() {
    switch (kind_) {
        case Kind::raised:
            compat::restore_error(type_.release(), value_.release(), traceback_.release());
            return;
        case Kind::lazy:
            PyErr_SetString(lazy_type_, message_.c_str());
            return;
        case Kind::internal: {
            PyObject* type = panic_exception_type();
            Ref text = checked(PyUnicode_FromStringAndSize(message_.data(), Py_ssize_t(message_.size())));
            Ref args = checked(PyTuple_Pack(1, text.get()));
            PyErr_SetObject(type, args.get());
            return;
        }
    }
}

void throw_fetched() { throw Failure::fetch(); }

void throw_error(PyObject* type, std::string message) {
    throw Failure::lazy(type, std::move(message));
}

void panic(std::string message) { throw Failure::internal(std::move(message)); }

void abort_at_boundary() noexcept {
    std::fputs("quorel: uncaught panic at ffi boundary\n", stderr);
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    std::abort();
}

void out_of_memory() noexcept {
    std::fputs("quorel: out of memory\n", stderr);
    std::abort();
}

Ref expect_object(PyObject* result) {
    if (result == nullptr) {
        if (PyErr_Occurred()) {
            PyErr_WriteUnraisable(nullptr);
        }
        panic("PyObject pointer is null");
    }
    return Ref::steal(result);
}

}  // namespace quorel
