#include "python_tree/compare.hpp"

#include "call_boundary/failure.hpp"

namespace quorel::tree {
namespace {

bool holds(PyObject* a, PyObject* b, int op) {
    Ref result = checked(PyObject_RichCompare(a, b, op));
    const int truth = PyObject_IsTrue(result.get());
    if (truth < 0) {
        // The pending exception is taken before the result object is released.
        throw_fetched();
    }
    return truth != 0;
}

}  // namespace

Ordering compare(PyObject* a, PyObject* b) {
    if (holds(a, b, Py_EQ)) {
        return Ordering::Equal;
    }
    if (holds(a, b, Py_LT)) {
        return Ordering::Less;
    }
    if (holds(a, b, Py_GT)) {
        return Ordering::Greater;
    }
    throw_error(PyExc_TypeError, "PyAny::compare(): All comparisons returned false");
}

}  // namespace quorel::tree
