// Pickle support: a tree reduces to its (value, key) pairs in ascending key order plus its
// key rule, and is rebuilt by _avltree_from_sorted_entries with the linear-time builder:
// no insertion, no key extraction and no comparison while unpickling.
#include <algorithm>

#include "call_boundary/convert.hpp"
#include "call_boundary/support/process_cell.hpp"
#include "call_boundary/support/text.hpp"
#include "python/avltree.hpp"
#include "python/avltree_members.hpp"
#include "python/member_entry.hpp"
#include "python/module_members.hpp"
#include "python_tree/memory_hints.hpp"

namespace quorel::python {
namespace {

constexpr const char* pairs_positional[] = {"pairs", "key_spec"};
constexpr CallDescription from_entries_call{nullptr, "_avltree_from_sorted_entries",
                                            pairs_positional, 0, 2, {}};

// The length a sequence reports only reserves room; a lying length must not be able to
// exhaust memory before the first item is read.
constexpr Py_ssize_t max_reserved_pairs = Py_ssize_t(1) << 20;

ProcessCell sequence_class_cell;

PyObject* sequence_class() {
    return sequence_class_cell.get([] {
        Ref abc = checked(PyImport_ImportModule("collections.abc"));
        return checked(PyObject_GetAttrString(abc.get(), "Sequence"));
    });
}

tree::EntryList convert_pairs(PyObject* pairs) {
    if (PyUnicode_Check(pairs)) {
        throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(pairs)) {
        not_an_instance(pairs, type_qualname(sequence_class()));
    }
    tree::EntryList entries;
    const Py_ssize_t reported = PySequence_Size(pairs);
    if (reported < 0) {
        discard_ordinary_error();
    } else {
        entries.reserve(std::size_t(std::min(reported, max_reserved_pairs)));
    }
    Ref iterator = checked(PyObject_GetIter(pairs));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        check_tuple_length(item.get(), 2);
        entries.emplace_back(Ref::borrow(PyTuple_GetItem(item.get(), 0)),
                             Ref::borrow(PyTuple_GetItem(item.get(), 1)));
    }
    if (PyErr_Occurred()) {
        throw_fetched();
    }
    return entries;
}

// The tree built straight from a list of pairs, borrowing its items: one pass that checks
// every pair, then one that builds; no Python code runs in between, so nothing can change
// the list.
tree::Tree build_from_list(PyObject* pairs) {
    const Py_ssize_t n = PyList_Size(pairs);
    converted("pairs", [&] {
        for (Py_ssize_t i = 0; i < n; ++i) {
            check_tuple_length(PyList_GetItem(pairs, i), 2);
        }
    });
    struct Cursor {
        PyObject* pairs;
        Py_ssize_t n;
        Py_ssize_t position = 0;
    } cursor{pairs, n};
    return tree::Tree::from_sorted(std::size_t(n), [](void* context) {
        Cursor& at = *static_cast<Cursor*>(context);
        // The pairs a little further on, and then their items, are fetched early, so that
        // taking references does not wait on memory each time.
        constexpr Py_ssize_t ahead = 8;
        if (at.position + 2 * ahead < at.n) {
            tree::prefetch_read(PyList_GetItem(at.pairs, at.position + 2 * ahead));
        }
        if (at.position + ahead < at.n) {
            PyObject* later = PyList_GetItem(at.pairs, at.position + ahead);
            tree::prefetch_write(PyTuple_GetItem(later, 0));
            tree::prefetch_write(PyTuple_GetItem(later, 1));
        }
        PyObject* pair = PyList_GetItem(at.pairs, at.position++);
        return tree::Entry(Ref::borrow(PyTuple_GetItem(pair, 0)), Ref::borrow(PyTuple_GetItem(pair, 1)));
    }, &cursor);
}

// Whether an object can never be part of a reference cycle as far as the collector
// knows: not a collected type, or a tuple the collector has stopped tracking.
bool atomic(PyObject* object) noexcept {
    return !PyType_IS_GC(Py_TYPE(object)) ||
           (PyTuple_CheckExact(object) && !PyObject_GC_IsTracked(object));
}

constexpr CallDescription reduce_call = describe("__reduce__");

Ref reduce(AVLTreeObject& tree) {
    Ref pairs = checked(PyList_New(Py_ssize_t(tree.tree.size())));
    // Out of the collector's sight until every slot is filled, so that no code the
    // collector runs meanwhile can meet an empty slot.
    PyObject_GC_UnTrack(pairs.get());
    Py_ssize_t filled = 0;
    auto take = [&](PyObject* value, PyObject* key) {
        Ref pair = checked(PyTuple_New(2));
        // A pair of atomic items is left out of the collector's work, as the collector
        // itself would decide on its first pass over it.
        if (atomic(value) && (key == value || atomic(key))) {
            PyObject_GC_UnTrack(pair.get());
        }
        PyTuple_SetItem(pair.get(), 0, Ref::borrow(value).release());
        PyTuple_SetItem(pair.get(), 1, Ref::borrow(key).release());
        PyList_SetItem(pairs.get(), filled++, pair.release());
    };
    tree.tree.each_entry(take);
    PyObject_GC_Track(pairs.get());
    Ref key_spec = tree.key_rule.to_argument();
    Ref module = checked(PyImport_ImportModule("quorel.quorel"));
    Ref rebuild = checked(PyObject_GetAttrString(module.get(), "_avltree_from_sorted_entries"));
    Ref arguments = checked(PyTuple_Pack(2, pairs.get(), key_spec.get()));
    return checked(PyTuple_Pack(2, rebuild.get(), arguments.get()));
}

Ref from_sorted_entries(PyObject*, PyObject* pairs, PyObject* key_spec) {
    tree::Tree built = PyList_CheckExact(pairs)
                           ? build_from_list(pairs)
                           : tree::Tree::from_sorted_entries(
                                 converted("pairs", [&] { return convert_pairs(pairs); }));
    KeyExtractor rule;
    if (key_spec != Py_None) {
        rule = converted("key_spec", [&] { return KeyExtractor::classify(key_spec); });
    }
    return wrap_tree(avltree_type(), std::move(built), std::move(rule));
}

const PyMethodDef methods[] = {
    Member<reduce_call, Access::shared, reduce>::entry(
        "__reduce__($self)\n--\n\n"
        "Return `(callable, args)` for pickle reconstruction.\n\n"
        "The tree is reduced to a sorted list of `(value, key)` pairs plus\n"
        "the key extractor. Reconstruction uses the fast O(n) sorted builder\n"
        "so unpickling does not perform AVL insertion or Python comparisons."),
};

}  // namespace

const MemberGroup pickle_members{methods, {}, {}};

PyMethodDef from_sorted_entries_function =
    Member<from_entries_call, no_borrow, from_sorted_entries>::entry(
        "_avltree_from_sorted_entries(pairs, key_spec)\n--\n\n"
        "Private reconstruction helper used by pickle.\n\n"
        "Accepts a list of `(value, key)` pairs in **strictly ascending key\n"
        "order** and the original key extractor. Nodes are allocated directly\n"
        "via the O(n) balanced builder \xe2\x80\x94 no AVL insertion or Python comparison\n"
        "work is performed during unpickling.\n\n"
        "This function is an implementation detail; its name and signature may\n"
        "change across versions without notice.");

}  // namespace quorel::python
