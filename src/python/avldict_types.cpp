// Registration of AVLDict: its member table, slots and PyType_Spec, kept together. The
// type object is created on the first request and kept for the life of the process.
#include "call_boundary/failure.hpp"
#include "call_boundary/process_cell.hpp"
#include "python/avldict.hpp"
#include "python/avldict_entries.hpp"
#include "python/avltree_entries.hpp"

namespace quorel::python {
namespace {

template <class Function>
void* slot_function(Function function) {
    return reinterpret_cast<void*>(function);
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(function));
}

constexpr int with_arguments = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef dict_methods[] = {
    {"get", as_method(entries::dict_get), with_arguments,
     "get($self, key, default=None, /)\n--\n\n"
     "Return the value for `key` if it is present, else `default`."},
    {"clear", as_method(entries::dict_clear), METH_NOARGS,
     "clear($self)\n--\n\nRemove every item."},
    {"copy", as_method(entries::dict_copy), METH_NOARGS,
     "copy($self)\n--\n\n"
     "Return a shallow copy, made in O(n) time with no comparison and no hashing."},
    {"__copy__", as_method(entries::dict_copy), METH_NOARGS,
     "__copy__($self)\n--\n\nReturn a shallow copy, as `copy` does."},
    {"__deepcopy__", as_method(entries::dict_deepcopy), with_arguments,
     "__deepcopy__($self, memo)\n--\n\n"
     "Return a deep copy: keys and values are copied with `copy.deepcopy` and\n"
     "`memo`, in ascending key order, after the new map has entered `memo`."},
    {"__reduce__", as_method(entries::dict_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Return `(callable, args)` for pickle reconstruction: the items in\n"
     "ascending key order, rebuilt in O(n) time without comparisons."},
    {"__reversed__", as_method(entries::dict_reversed), METH_NOARGS,
     "__reversed__($self)\n--\n\nReturn a snapshot iterator of the keys in descending order."},
    {"fromkeys", as_method(entries::dict_fromkeys), with_arguments | METH_CLASS,
     "fromkeys($type, iterable, value=None, /)\n--\n\n"
     "Return a new AVLDict with the keys of `iterable`, each mapped to `value`."},
    {"__class_getitem__", entries::class_getitem, METH_O | METH_CLASS,
     "__class_getitem__($cls, item, /)\n--\n\nSee PEP 585"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* dict_doc =
    "AVLDict(items=None, /, **kwargs)\n--\n\n"
    "A mutable mapping whose keys are kept in ascending order.\n\n"
    "Keys must be hashable and comparable with each other. Point lookups are\n"
    "answered from a hash index; ordered queries from a height-balanced tree.";

PyType_Slot dict_slots[] = {
    {Py_tp_doc, const_cast<char*>(dict_doc)},
    {Py_tp_new, slot_function(entries::dict_new)},
    {Py_mp_length, slot_function(entries::dict_len)},
    {Py_mp_subscript, slot_function(entries::dict_subscript)},
    {Py_mp_ass_subscript, slot_function(entries::dict_ass_subscript)},
    {Py_nb_bool, slot_function(entries::dict_bool)},
    {Py_sq_contains, slot_function(entries::dict_contains)},
    {Py_tp_iter, slot_function(entries::dict_iter)},
    {Py_tp_repr, slot_function(entries::dict_repr)},
    {Py_tp_richcompare, slot_function(entries::dict_richcompare)},
    {Py_tp_hash, slot_function(PyObject_HashNotImplemented)},
    {Py_tp_traverse, slot_function(entries::dict_traverse)},
    {Py_tp_clear, slot_function(entries::dict_clear_slot)},
    {Py_tp_methods, dict_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, slot_function(entries::dict_dealloc)},
    {0, nullptr},
};

PyTypeObject* create_avldict() {
    PyType_Spec spec{"quorel.AVLDict", spec_basic_size<AVLDictObject>(), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, dict_slots};
    return create_dict_class("AVLDict", spec);
}

ProcessCell avldict_type_cell;

}  // namespace

PyTypeObject* create_dict_class(const char* class_name, PyType_Spec& spec) {
    try {
        return reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&spec)).release());
    } catch (Failure& failure) {
        Ref cause = failure.exception();
        Ref error = checked(PyObject_CallFunction(
            PyExc_RuntimeError, "s",
            (String("An error occurred while initializing class ") + class_name).c_str()));
        PyException_SetCause(error.get(), cause.release());
        PyErr_SetObject(PyExc_RuntimeError, error.get());
        throw_fetched();
    }
}

PyTypeObject* request_dict_class(ProcessCell& cell, PyTypeObject* (*create)(),
                                 const char* class_name) {
    try {
        return reinterpret_cast<PyTypeObject*>(cell.get(
            [&] { return Ref::steal(reinterpret_cast<PyObject*>(create())); }));
    } catch (Failure& failure) {
        if (failure.is_internal()) {
            throw;
        }
        failure.restore();
        PyErr_WriteUnraisable(nullptr);
        panic(String("failed to create type object for `") + class_name + "`");
    }
}

// The module's execution step raises a creation failure to the importer.
PyTypeObject* register_avldict_type() {
    return reinterpret_cast<PyTypeObject*>(avldict_type_cell.get(
        [] { return Ref::steal(reinterpret_cast<PyObject*>(create_avldict())); }));
}

PyTypeObject* avldict_type() {
    return request_dict_class(avldict_type_cell, create_avldict, "AVLDict");
}

}  // namespace quorel::python
