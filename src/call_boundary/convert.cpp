#include "call_boundary/convert.hpp"

#include "call_boundary/support/process_cell.hpp"
#include "call_boundary/support/text.hpp"

namespace quorel {
namespace {

// A failed look-up counts as a mismatch, unless it is an interrupt or the like.
bool has_text(PyObject* object, PyObject* attribute, const char* expected) {
    Ref value = Ref::steal(PyObject_GetAttr(object, attribute));
    if (!value) {
        discard_ordinary_error();
        return false;
    }
    return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), expected) == 0;
}

bool is_numpy_bool_type(PyObject* type) {
    return has_text(type, names::module(), "numpy") &&
           (has_text(type, names::name(), "bool_") || has_text(type, names::name(), "bool"));
}

// Calls type(object).__bool__ bound to the object, as the interpreter does for special methods.
bool numpy_bool(PyObject* object, PyObject* type) {
    Ref method = Ref::steal(PyObject_GetAttr(type, names::dunder_bool()));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw_fetched();
        }
        PyErr_Clear();
        throw_error(PyExc_TypeError, "object of type '" + display_text(type) +
                                         "' does not define a '__bool__' conversion");
    }
    Ref bound;
    if (Ref getter = Ref::steal(PyObject_GetAttrString(method.get(), "__get__"))) {
        bound = checked(PyObject_CallFunctionObjArgs(getter.get(), object, type, nullptr));
    } else {
        discard_ordinary_error();
        bound = std::move(method);
    }
    Ref result = checked(PyObject_CallObject(bound.get(), nullptr));
    if (!PyBool_Check(result.get())) {
        not_an_instance(result.get(), "bool");
    }
    return result.get() == Py_True;
}

}  // namespace

void not_an_instance(PyObject* object, const String& expected) {
    if (object == Py_None) {
        throw_error(PyExc_TypeError, "'None' is not an instance of '" + expected + "'");
    }
    throw_error(PyExc_TypeError, "'" + type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object))) +
                                     "' object is not an instance of '" + expected + "'");
}

bool to_bool(PyObject* object) {
    if (PyBool_Check(object)) {
        return object == Py_True;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    if (is_numpy_bool_type(type)) {
        return numpy_bool(object, type);
    }
    not_an_instance(object, "bool");
}

std::uint64_t to_u64(PyObject* object) {
    Ref index;
    if (!PyLong_Check(object)) {
        index = checked(PyNumber_Index(object));
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw_fetched();
    }
    return value;
}

void check_tuple_length(PyObject* object, Py_ssize_t length) {
    if (!PyTuple_Check(object)) {
        not_an_instance(object, "tuple");
    }
    const Py_ssize_t actual = PyTuple_Size(object);
    if (actual != length) {
        throw_error(PyExc_ValueError, "expected tuple of length " + decimal(std::int64_t(length)) +
                                          ", but got tuple of length " + decimal(std::int64_t(actual)));
    }
}

}  // namespace quorel
