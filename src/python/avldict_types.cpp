// Registration of AVLDict: its member table, slots and PyType_Spec, kept together. The
// type object is created on the first request and kept for the life of the process.
#include "call_boundary/support/failure.hpp"
#include "call_boundary/support/process_cell.hpp"
#include "python/avldict.hpp"
#include "python/avldict_entries.hpp"
#include "python/member_entry.hpp"

namespace quorel::python {
namespace {

constexpr const char* item_parameter[] = {"item"};
constexpr CallDescription class_getitem_call = describe_dict("__class_getitem__", item_parameter);

// AVLDict[str, int] and the like: a runtime generic alias, as dict[str, int] is.
Ref generic_alias(PyObject* type, PyObject* item) { return checked(Py_GenericAlias(type, item)); }

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
    {"setdefault", as_method(entries::dict_setdefault), with_arguments,
     "setdefault($self, key, default=None, /)\n--\n\n"
     "Return the value for `key`, first storing `default` under it if it is absent."},
    {"pop", as_method(entries::dict_pop), with_arguments,
     "pop($self, key, default=<unrepresentable>, /)\n--\n\n"
     "Remove `key` and return its value, or `default` when it is absent;\n"
     "raise `KeyError` when it is absent and no default is given."},
    {"update", as_method(entries::dict_update), with_arguments,
     "update($self, other=(), /, **kwargs)\n--\n\n"
     "Store the items of `other` (a mapping or an iterable of pairs), then the\n"
     "keyword items; later items win. On any error the map is unchanged."},
    {"keys", as_method(entries::dict_keys), METH_NOARGS,
     "keys($self)\n--\n\nReturn a live view of the keys, in key order."},
    {"values", as_method(entries::dict_values), METH_NOARGS,
     "values($self)\n--\n\nReturn a live view of the values, in key order."},
    {"items", as_method(entries::dict_items), METH_NOARGS,
     "items($self)\n--\n\nReturn a live view of the (key, value) items, in key order."},
    {"range", as_method(entries::dict_range), with_arguments,
     "range($self, start=None, end=None, *, include_start=True, include_end=False)\n--\n\n"
     "Return a snapshot iterator over the keys between optional endpoints.\n\n"
     "The start is inclusive and the end is exclusive by default; `None` leaves\n"
     "a side open."},
    {"iter_from", as_method(entries::dict_iter_from), with_arguments,
     "iter_from($self, start, count)\n--\n\n"
     "Return a snapshot iterator over at most `count` keys, ascending from the\n"
     "first key not less than `start`."},
    {"iter_to", as_method(entries::dict_iter_to), with_arguments,
     "iter_to($self, end, count)\n--\n\n"
     "Return a snapshot iterator over at most `count` keys, descending from the\n"
     "first key not greater than `end`."},
    {"floor", as_method(entries::dict_floor), with_arguments,
     "floor($self, key)\n--\n\nReturn the greatest key not greater than `key`, or `None`."},
    {"ceiling", as_method(entries::dict_ceiling), with_arguments,
     "ceiling($self, key)\n--\n\nReturn the least key not less than `key`, or `None`."},
    {"lower", as_method(entries::dict_lower), with_arguments,
     "lower($self, key)\n--\n\nReturn the greatest key less than `key`, or `None`."},
    {"higher", as_method(entries::dict_higher), with_arguments,
     "higher($self, key)\n--\n\nReturn the least key greater than `key`, or `None`."},
    {"index", as_method(entries::dict_index), with_arguments,
     "index($self, key)\n--\n\n"
     "Return the position of `key` in ascending key order; raise `ValueError`\n"
     "when it is absent."},
    {"bisect_left", as_method(entries::dict_bisect_left), with_arguments,
     "bisect_left($self, key)\n--\n\nReturn how many stored keys are less than `key`."},
    {"bisect_right", as_method(entries::dict_bisect_right), with_arguments,
     "bisect_right($self, key)\n--\n\nReturn how many stored keys are not greater than `key`."},
    {"peekitem", as_method(entries::dict_peekitem), with_arguments,
     "peekitem($self, index=-1)\n--\n\n"
     "Return the (key, value) item at `index` in ascending key order (the last\n"
     "by default); raise `IndexError` when `index` is out of range."},
    {"popitem", as_method(entries::dict_popitem), with_arguments,
     "popitem($self, index=-1)\n--\n\n"
     "Remove and return the (key, value) item at `index` in ascending key order\n"
     "(the largest key by default). Raise `KeyError` when the map is empty and\n"
     "`IndexError` when `index` is out of range."},
    {"fromkeys", as_method(entries::dict_fromkeys), with_arguments | METH_CLASS,
     "fromkeys($type, iterable, value=None, /)\n--\n\n"
     "Return a new AVLDict with the keys of `iterable`, each mapped to `value`."},
    Member<class_getitem_call, no_borrow, generic_alias>::class_entry(
        "__class_getitem__($cls, item, /)\n--\n\nSee PEP 585"),
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
    {Py_nb_or, slot_function(entries::dict_or)},
    {Py_nb_inplace_or, slot_function(entries::dict_inplace_or)},
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
