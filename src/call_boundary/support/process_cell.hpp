// ProcessCell: a Python object created on first use and kept for the life of the process.
//
// The module's type objects, its exception type and its interned names are process-wide.
// They are never released: interpreters that hold them may outlive any module object.
// A thread that finds the value missing waits for the creating thread without holding the
// interpreter lock, so a creator that runs Python code (an import) cannot deadlock with it.
#pragma once

#include <atomic>
#include <mutex>

#include "call_boundary/support/ref.hpp"

namespace quorel {

class ProcessCell {
public:
    // `make` returns a Ref or throws; a failure leaves the cell empty for a later attempt.
    template <class Make>
    PyObject* get(Make&& make) {
        if (PyObject* value = value_.load(std::memory_order_acquire)) {
            return value;
        }
        PyThreadState* state = PyEval_SaveThread();
        std::unique_lock<std::mutex> guard(mutex_);
        PyEval_RestoreThread(state);
        if (PyObject* value = value_.load(std::memory_order_acquire)) {
            return value;
        }
        Ref created = make();
        value_.store(created.release(), std::memory_order_release);
        return value_.load(std::memory_order_relaxed);
    }

    PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

// Interned attribute names shared by the whole module.
namespace names {
PyObject* all();
PyObject* name();
PyObject* module();
PyObject* qualname();
PyObject* dunder_bool();
PyObject* add_note();
}  // namespace names

}  // namespace quorel
