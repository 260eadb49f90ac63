#include "python/interpreter.hpp"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "call_boundary/support/failure.hpp"

namespace quorel::python {
namespace {

// major * 100 + minor, or 0 before the first reading.
std::atomic<int> version{0};
std::mutex version_guard;

int parse_version() {
    const char* text = Py_GetVersion();
    char* end = nullptr;
    const long major = std::strtol(text, &end, 10);
    if (end == text || *end != '.') {
        panic("could not read the interpreter version");
    }
    const char* minor_text = end + 1;
    const long minor = std::strtol(minor_text, &end, 10);
    if (end == minor_text) {
        panic("could not read the interpreter version");
    }
    return int(major * 100 + minor);
}

int running_version() {
    if (const int known = version.load(std::memory_order_acquire)) {
        return known;
    }
    PyThreadState* state = PyEval_SaveThread();
    std::unique_lock<std::mutex> lock(version_guard);
    PyEval_RestoreThread(state);
    if (version.load(std::memory_order_acquire) == 0) {
        version.store(parse_version(), std::memory_order_release);
    }
    return version.load(std::memory_order_acquire);
}

}  // namespace

bool running_at_least(int major, int minor) { return running_version() >= major * 100 + minor; }

void refuse_sub_interpreters() {
    const PY_INT64_T id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) {
        throw_fetched();
    }
    if (id != 0) {
        throw_error(PyExc_ImportError,
                    "quorel cannot be imported in a sub-interpreter: its types are shared by the "
                    "whole process and belong to the main interpreter");
    }
}

}  // namespace quorel::python
