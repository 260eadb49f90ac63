// Registration of the two process-wide classes. Each type object is created from its
// PyType_Spec on the first request and kept for the life of the process, so a re-import
// of the module registers the very same type objects.
#include <cstdio>

#include "call_boundary/failure.hpp"
#include "call_boundary/process_cell.hpp"
#include "call_boundary/text.hpp"
#include "python/avltree.hpp"
#include "python/avltree_entries.hpp"
#include "python/interpreter.hpp"

namespace quorel::python {
namespace {

template <class Function>
void* slot_function(Function function) {
    return reinterpret_cast<void*>(function);
}

PyCFunction as_method(entries::Fastcall function) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(function)); }
PyCFunction as_method(entries::NoArgs function) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(function)); }
PyCFunction as_method(entries::Variadic function) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(function)); }

constexpr int with_arguments = METH_FASTCALL | METH_KEYWORDS;

// The member table, in its published order.
PyMethodDef tree_methods[] = {
    {"insert", as_method(entries::insert), with_arguments,
     "insert($self, value)\n--\n\nInsert `value` and return `True` if its key was not already present."},
    {"remove", as_method(entries::remove), with_arguments,
     "remove($self, value)\n--\n\nRemove the entry matching `value`'s extracted key."},
    {"remove_key", as_method(entries::remove_key), with_arguments,
     "remove_key($self, key)\n--\n\nRemove the entry matching an already-extracted key."},
    {"search", as_method(entries::search), with_arguments,
     "search($self, value)\n--\n\nReturn the entry matching `value`'s extracted key, or `None`."},
    {"get", as_method(entries::get), with_arguments, "get($self, value)\n--\n\nAlias for `search`."},
    {"search_key", as_method(entries::search_key), with_arguments,
     "search_key($self, key)\n--\n\nReturn the entry matching an already-extracted key, or `None`."},
    {"contains", as_method(entries::contains), with_arguments,
     "contains($self, value)\n--\n\nReturn whether an entry matching `value`'s extracted key exists."},
    {"has_node", as_method(entries::has_node), with_arguments,
     "has_node($self, value)\n--\n\nCompatibility alias for `contains`."},
    {"contains_key", as_method(entries::contains_key), with_arguments,
     "contains_key($self, key)\n--\n\nReturn whether an already-extracted key exists."},
    {"clear", as_method(entries::clear), METH_NOARGS,
     "clear($self)\n--\n\nRemove every value from the tree."},
    {"is_empty", as_method(entries::is_empty), METH_NOARGS,
     "is_empty($self)\n--\n\nReturn whether the tree contains no values."},
    {"first", as_method(entries::first), METH_NOARGS,
     "first($self)\n--\n\nReturn the value with the smallest key, or `None` when empty."},
    {"min", as_method(entries::min), METH_NOARGS, "min($self)\n--\n\nAlias for `first`."},
    {"last", as_method(entries::last), METH_NOARGS,
     "last($self)\n--\n\nReturn the value with the largest key, or `None` when empty."},
    {"max", as_method(entries::max), METH_NOARGS, "max($self)\n--\n\nAlias for `last`."},
    {"range", as_method(entries::range), with_arguments,
     "range($self, start=None, end=None, *, include_start=True, include_end=False)\n--\n\n"
     "Return values whose extracted keys fall between optional endpoints.\n\n"
     "Endpoints are already-extracted keys. The start is inclusive and the\n"
     "end is exclusive by default. Invalid or incomparable keys raise."},
    {"iter_from", as_method(entries::iter_from), with_arguments,
     "iter_from($self, start, count)\n--\n\n"
     "Return at most `count` values from an inclusive lower-bound key.\n"
     "`start` is an already-extracted key. If it is absent from the tree,\n"
     "iteration begins at the first greater key."},
    {"iter_to", as_method(entries::iter_to), with_arguments,
     "iter_to($self, end, count)\n--\n\n"
     "Return at most `count` values from an inclusive upper-bound key.\n"
     "Values are returned in descending order. `end` is an already-\n"
     "extracted key; if absent, iteration begins at the first smaller key."},
    {"in_order", as_method(entries::in_order), METH_NOARGS,
     "in_order($self)\n--\n\nReturn a snapshot iterator in ascending key order."},
    {"descending", as_method(entries::descending), METH_NOARGS,
     "descending($self)\n--\n\nReturn a snapshot iterator in descending key order."},
    {"pre_order", as_method(entries::pre_order), METH_NOARGS,
     "pre_order($self)\n--\n\nReturn a snapshot iterator in root-left-right order."},
    {"post_order", as_method(entries::post_order), METH_NOARGS,
     "post_order($self)\n--\n\nReturn a snapshot iterator in left-right-root order."},
    {"level_order", as_method(entries::level_order), METH_NOARGS,
     "level_order($self)\n--\n\nReturn a breadth-first snapshot iterator, level by level."},
    {"__reduce__", as_method(entries::tree_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Return `(callable, args)` for pickle reconstruction.\n\n"
     "The tree is reduced to a sorted list of `(value, key)` pairs plus\n"
     "the key extractor. Reconstruction uses the fast O(n) sorted builder\n"
     "so unpickling does not perform AVL insertion or Python comparisons."},
    {"index", as_method(entries::index), with_arguments,
     "index($self, value)\n--\n\n"
     "Return the position, in ascending key order, of the entry matching\n"
     "`value`'s extracted key. Raise `ValueError` when there is none."},
    {"bisect_left", as_method(entries::bisect_left), with_arguments,
     "bisect_left($self, key)\n--\n\n"
     "Return how many stored keys are less than an already-extracted key."},
    {"bisect_right", as_method(entries::bisect_right), with_arguments,
     "bisect_right($self, key)\n--\n\n"
     "Return how many stored keys are not greater than an already-extracted key."},
    {"floor", as_method(entries::floor), with_arguments,
     "floor($self, key)\n--\n\n"
     "Return the value with the greatest key not greater than `key`, or `None`."},
    {"ceiling", as_method(entries::ceiling), with_arguments,
     "ceiling($self, key)\n--\n\n"
     "Return the value with the least key not less than `key`, or `None`."},
    {"lower", as_method(entries::lower), with_arguments,
     "lower($self, key)\n--\n\n"
     "Return the value with the greatest key less than `key`, or `None`."},
    {"higher", as_method(entries::higher), with_arguments,
     "higher($self, key)\n--\n\n"
     "Return the value with the least key greater than `key`, or `None`."},
    {"pop", as_method(entries::pop), with_arguments,
     "pop($self, index=-1)\n--\n\n"
     "Remove and return the value at `index` in ascending key order (the last\n"
     "by default). Raise `IndexError` when the tree is empty or `index` is out\n"
     "of range."},
    {"__reversed__", as_method(entries::descending), METH_NOARGS,
     "__reversed__($self)\n--\n\nReturn a snapshot iterator in descending key order."},
    {"copy", as_method(entries::tree_copy), METH_NOARGS,
     "copy($self)\n--\n\n"
     "Return a new tree with the same key rule, values and keys, built in\n"
     "O(n) time without comparisons."},
    {"__class_getitem__", entries::class_getitem, METH_O | METH_CLASS,
     "__class_getitem__($cls, item, /)\n--\n\nSee PEP 585"},
    {"__copy__", as_method(entries::tree_copy), METH_NOARGS,
     "__copy__($self)\n--\n\nReturn a shallow copy, as `copy` does."},
    {"__deepcopy__", as_method(entries::tree_deepcopy), with_arguments,
     "__deepcopy__($self, memo)\n--\n\n"
     "Return a deep copy: the values and keys are copied with `copy.deepcopy`\n"
     "and `memo`, in ascending key order, after the new tree has entered\n"
     "`memo`, so values that refer back to this tree refer to the copy. The\n"
     "copy has the same shape; no keys are compared."},
    {"update", as_method(entries::update), METH_FASTCALL,
     "update($self, *iterables)\n--\n\n"
     "Insert every value of each iterable, in order, under the tree's key rule.\n\n"
     "The first value for a key stays: values already in the tree win over\n"
     "new ones, and earlier values over later ones. A batch small against the\n"
     "tree is inserted value by value; a larger one is sorted once, merged\n"
     "with the tree and built balanced in O(n + m). If a key extraction or a\n"
     "comparison raises, the tree is unchanged."},
    {"union", as_method(entries::union_of), METH_FASTCALL,
     "union($self, *others)\n--\n\n"
     "Return a new tree with the values of the tree and of every other.\n\n"
     "For a key present in several operands, the leftmost value is kept."},
    {"intersection", as_method(entries::intersection), METH_FASTCALL,
     "intersection($self, *others)\n--\n\n"
     "Return a new tree with the values whose keys every other also has."},
    {"difference", as_method(entries::difference), METH_FASTCALL,
     "difference($self, *others)\n--\n\n"
     "Return a new tree with the values whose keys no other has."},
    {"symmetric_difference", as_method(entries::symmetric_difference), with_arguments,
     "symmetric_difference($self, other)\n--\n\n"
     "Return a new tree with the values whose keys exactly one operand has."},
    {"intersection_update", as_method(entries::intersection_update), METH_FASTCALL,
     "intersection_update($self, *others)\n--\n\n"
     "Keep only the values whose keys every other also has."},
    {"difference_update", as_method(entries::difference_update), METH_FASTCALL,
     "difference_update($self, *others)\n--\n\n"
     "Remove the values whose keys any other has."},
    {"symmetric_difference_update", as_method(entries::symmetric_difference_update),
     with_arguments,
     "symmetric_difference_update($self, other)\n--\n\n"
     "Keep the values whose keys exactly one of the tree and `other` has."},
    {"issubset", as_method(entries::issubset), with_arguments,
     "issubset($self, other)\n--\n\n"
     "Return whether `other` has the key of every value in the tree."},
    {"issuperset", as_method(entries::issuperset), with_arguments,
     "issuperset($self, other)\n--\n\n"
     "Return whether the tree has the key of every value in `other`."},
    {"isdisjoint", as_method(entries::isdisjoint), with_arguments,
     "isdisjoint($self, other)\n--\n\n"
     "Return whether the tree and `other` have no key in common."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef iterator_methods[] = {
    {"__reduce__", as_method(entries::iterator_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nRefused: a snapshot iterator cannot be pickled or copied."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tree_properties[] = {
    {"height", reinterpret_cast<getter>(reinterpret_cast<void*>(entries::tree_height)), nullptr,
     "The height of the tree; an empty tree has height zero.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* tree_doc =
    "AVLTree(values=None, *, key=None)\n--\n\n"
    "A height-balanced ordered set of comparable Python objects.\n\n"
    "Values are ordered directly unless `key` is an attribute name or a\n"
    "callable. Equal keys are treated as duplicate set entries.";

constexpr const char* iterator_doc =
    "An iterator over a snapshot of tree values.\n\n"
    "Mutating or clearing the source tree does not invalidate this iterator.";

struct ClassRegistration {
    const char* class_name;
    const char* qualified_name;  // module name, a full stop, the class name
    int basic_size;
    unsigned int flags;
    Vector<PyType_Slot> slots;
};

PyTypeObject* create_type(const ClassRegistration& registration) {
    PyType_Spec spec{registration.qualified_name, registration.basic_size, 0, registration.flags,
                     const_cast<PyType_Slot*>(registration.slots.data())};
    try {
        return reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&spec)).release());
    } catch (Failure& failure) {
        Ref cause = failure.exception();
        Ref error = checked(PyObject_CallFunction(
            PyExc_RuntimeError, "s",
            (String("An error occurred while initializing class ") + registration.class_name)
                .c_str()));
        PyException_SetCause(error.get(), cause.release());
        PyErr_SetObject(PyExc_RuntimeError, error.get());
        throw_fetched();
    }
}

ClassRegistration tree_registration() {
    return {"AVLTree",
            "quorel.AVLTree",
            spec_basic_size<AVLTreeObject>(),
            Py_TPFLAGS_DEFAULT,
            {
                {Py_tp_doc, const_cast<char*>(tree_doc)},
                {Py_tp_new, slot_function(entries::tree_new)},
                {Py_mp_length, slot_function(entries::tree_len)},
                {Py_mp_subscript, slot_function(entries::tree_subscript)},
                {Py_nb_bool, slot_function(entries::tree_bool)},
                {Py_nb_or, slot_function(entries::tree_or)},
                {Py_nb_and, slot_function(entries::tree_and)},
                {Py_nb_subtract, slot_function(entries::tree_subtract)},
                {Py_nb_xor, slot_function(entries::tree_xor)},
                {Py_nb_inplace_or, slot_function(entries::tree_inplace_or)},
                {Py_nb_inplace_and, slot_function(entries::tree_inplace_and)},
                {Py_nb_inplace_subtract, slot_function(entries::tree_inplace_subtract)},
                {Py_nb_inplace_xor, slot_function(entries::tree_inplace_xor)},
                {Py_sq_contains, slot_function(entries::tree_contains)},
                {Py_tp_iter, slot_function(entries::tree_iter)},
                {Py_tp_repr, slot_function(entries::tree_repr)},
                {Py_tp_methods, tree_methods},
                {Py_tp_getset, tree_properties},
                {Py_tp_base, &PyBaseObject_Type},
                {Py_tp_dealloc, slot_function(entries::tree_dealloc)},
                {0, nullptr},
            }};
}

ClassRegistration iterator_registration() {
    ClassRegistration registration{"_AVLTreeIterator",
                                   "quorel._AVLTreeIterator",
                                   iterator_basic_size(),
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                   {
                                       {Py_tp_doc, const_cast<char*>(iterator_doc)},
                                       {Py_tp_iter, slot_function(entries::iterator_iter)},
                                       {Py_tp_iternext, slot_function(entries::iterator_next)},
                                       {Py_tp_methods, iterator_methods},
                                       {Py_tp_base, &PyBaseObject_Type},
                                       {Py_tp_dealloc, slot_function(entries::iterator_dealloc)},
                                   }};
    if (!running_at_least(3, 10)) {
        registration.slots.push_back({Py_tp_new, slot_function(entries::iterator_refuse_new)});
    }
    registration.slots.push_back({0, nullptr});
    return registration;
}

ProcessCell tree_type_cell;
ProcessCell iterator_type_cell;

PyTypeObject* request(ProcessCell& cell, ClassRegistration (*registration)()) {
    return reinterpret_cast<PyTypeObject*>(
        cell.get([&] { return Ref::steal(reinterpret_cast<PyObject*>(create_type(registration()))); }));
}

// A request made while an instance is being created reports a creation failure as
// unraisable and ends as an internal failure, as there is no caller to hand it to.
PyTypeObject* request_for_instance(ProcessCell& cell, ClassRegistration (*registration)(),
                                   const char* class_name) {
    try {
        return request(cell, registration);
    } catch (Failure& failure) {
        if (failure.is_internal()) {
            throw;
        }
        failure.restore();
        PyErr_WriteUnraisable(nullptr);
        panic(String("failed to create type object for `") + class_name + "`");
    }
}

}  // namespace

PyTypeObject* register_avltree_type() { return request(tree_type_cell, tree_registration); }
PyTypeObject* register_iterator_type() { return request(iterator_type_cell, iterator_registration); }

PyTypeObject* avltree_type() {
    return request_for_instance(tree_type_cell, tree_registration, "AVLTree");
}

PyTypeObject* iterator_type() {
    return request_for_instance(iterator_type_cell, iterator_registration, "_AVLTreeIterator");
}

}  // namespace quorel::python
