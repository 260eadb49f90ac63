// The one place that knows how the limited API differs between interpreter versions.
// Everything else includes this header instead of <Python.h>.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The 3.9 limited headers lack the fast-call flag, although every interpreter since
// 3.7 honours it with the same value and calling convention.
#ifndef METH_FASTCALL
#define METH_FASTCALL 0x0080
#endif

// Not defined before 3.10. On 3.9 the bit is unused and ignored, so the iterator type
// also gets a refusing constructor there (see iterator.cpp).
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
#define Py_TPFLAGS_DISALLOW_INSTANTIATION (1UL << 7)
#endif

namespace quorel::compat {

using FastcallKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// PyErr_Fetch/PyErr_Restore are deprecated from 3.12 on, but they are the only way to
// take and restore an exception that the 3.9 stable ABI offers.

// Takes the pending exception, if any, as it stands (not normalised), to restore later.
inline void stash_error(PyObject** type, PyObject** value, PyObject** traceback) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    PyErr_Fetch(type, value, traceback);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// Takes the pending exception, if any, normalised.
inline void fetch_error(PyObject** type, PyObject** value, PyObject** traceback) {
    stash_error(type, value, traceback);
    if (*type != nullptr) {
        PyErr_NormalizeException(type, value, traceback);
    }
}

inline void restore_error(PyObject* type, PyObject* value, PyObject* traceback) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    PyErr_Restore(type, value, traceback);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

}  // namespace quorel::compat
