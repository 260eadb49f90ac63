// The text form, copies and pickling of AVLDict, and its self-check.
//
// Pickle format (kept loadable by every later version): an AVLDict reduces to
//   (quorel.quorel._avldict_from_sorted_items, ({key: value, ...},))
// with the dict's items in ascending key order: the unpickler hashes each key once, and
// the rebuilder copies that dict as the index and builds the tree in linear time,
// comparing nothing. It also loads a list or tuple of (key, value) pairs in ascending
// key order, the format of earlier builds: it checks that each item is a 2-tuple, hashes
// each key once into the index and refuses a key that the index finds twice.
#include "call_boundary/convert.hpp"
#include "call_boundary/support/text.hpp"
#include "python/avldict.hpp"
#include "python/avldict_entries.hpp"
#include "python/avldict_ordered.hpp"
#include "python/deep_copy.hpp"
#include "python/member_entry.hpp"
#include "python/module_members.hpp"
#include "python/repr_guard.hpp"

namespace quorel::python {
namespace {

constexpr const char* items_parameter[] = {"items"};
constexpr CallDescription from_items_call{nullptr, "_avldict_from_sorted_items", items_parameter,
                                          0, 1, {}};
constexpr const char* map_parameter[] = {"map"};
constexpr CallDescription check_call{nullptr, "_check_avldict", map_parameter, 0, 1, {}};
constexpr const char* memo_parameter[] = {"memo"};
constexpr CallDescription deepcopy_call{"AVLDict", "__deepcopy__", memo_parameter, 0, 1, {}};
constexpr CallDescription repr_call = describe_dict("__repr__");
constexpr CallDescription copy_call = describe_dict("copy");
constexpr CallDescription dunder_copy_call = describe_dict("__copy__");
constexpr CallDescription reduce_call = describe_dict("__reduce__");
constexpr CallDescription reversed_call = describe_dict("__reversed__");

Ref text_form(AVLDictObject& map) {
    ReprGuard guard(object_of(map));
    if (guard.nested()) {
        return make_str("AVLDict({...})");
    }
    tree::Snapshot keys = map.tree.in_order();
    tree::Snapshot values = values_of(map, keys);
    // The list grows one text at a time: a __repr__ may reach it through the collector,
    // and must never find an empty slot.
    Ref texts = checked(PyList_New(0));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        Ref text = checked(PyUnicode_FromFormat("%R: %R", keys[i].get(), values[i].get()));
        check_status(PyList_Append(texts.get(), text.get()));
    }
    Ref separator = make_str(", ");
    Ref joined = checked(PyUnicode_Join(separator.get(), texts.get()));
    return checked(PyUnicode_FromFormat("AVLDict({%U})", joined.get()));
}

Ref shallow_copy(AVLDictObject& source) { return copy_map(source); }

}  // namespace

Ref copy_map(const AVLDictObject& source) {
    auto same = [](PyObject* value, PyObject* key) {
        return tree::Entry(Ref::borrow(value), Ref::borrow(key));
    };
    Ref index = checked(PyDict_Copy(source.index.get()));
    return wrap_dict(avldict_type(), std::move(index), source.tree.clone(same));
}

namespace {

// The new map is remembered before anything is copied. Until it is filled it is empty and
// exclusively borrowed: code run by a __deepcopy__ that finds it is refused. Keys and
// values are copied in ascending key order, each key before its value; the tree keeps its
// shape and compares nothing.
Ref deep_copy(AVLDictObject& source, PyObject* memo) {
    const DeepCopier copied(memo);
    Ref result = wrap_dict(avldict_type(), checked(PyDict_New()), tree::Tree());
    copied.remember(object_of(source), result.get());
    AVLDictObject& target = AVLDictObject::of(result.get());
    ExclusiveBorrow filling(target.borrow);
    Ref index = checked(PyDict_New());
    auto copy_entry = [&](PyObject*, PyObject* key) {
        Ref key_copy = copied(key);
        Ref value_copy = copied(stored_value(source, key));
        check_status(PyDict_SetItem(index.get(), key_copy.get(), value_copy.get()));
        return tree::Entry(key_copy.new_ref(), key_copy.new_ref());
    };
    tree::Tree filled = source.tree.clone(copy_entry);
    if (std::uint64_t(PyDict_Size(index.get())) != filled.size()) {
        throw_error(PyExc_ValueError, "keys that compare equal must have equal hashes");
    }
    target.index = std::move(index);
    target.tree = std::move(filled);
    return result;
}

Ref reduce(AVLDictObject& map) {
    Ref pairs = ordered_items(map);
    Ref module = checked(PyImport_ImportModule("quorel.quorel"));
    Ref rebuild = checked(PyObject_GetAttrString(module.get(), "_avldict_from_sorted_items"));
    Ref arguments = checked(PyTuple_Pack(1, pairs.get()));
    return checked(PyTuple_Pack(2, rebuild.get(), arguments.get()));
}

Ref rebuild(PyObject*, PyObject* items) {
    if (PyDict_CheckExact(items)) {
        return map_of_ordered(items);
    }
    // A list of the module's own: hashing runs Python code, which could change the caller's.
    Ref pairs = converted("items", [&] {
        if (!PyList_Check(items) && !PyTuple_Check(items)) {
            not_an_instance(items, "list");
        }
        // Copied item by item: the interpreter's own list copy leaks its source on some
        // versions when memory runs out.
        const bool list = PyList_Check(items);
        const Py_ssize_t n = list ? PyList_Size(items) : PyTuple_Size(items);
        Ref copied = checked(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = list ? PyList_GetItem(items, i) : PyTuple_GetItem(items, i);
            PyList_SetItem(copied.get(), i, Ref::borrow(pair).release());
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            check_tuple_length(PyList_GetItem(copied.get(), i), 2);
        }
        return copied;
    });
    const Py_ssize_t n = PyList_Size(pairs.get());
    Ref index = checked(PyDict_New());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GetItem(pairs.get(), i);
        check_status(PyDict_SetItem(index.get(), PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1)));
    }
    if (PyDict_Size(index.get()) != n) {
        throw_error(PyExc_ValueError, "pickled AVLDict items repeat a key");
    }
    struct Cursor {
        PyObject* pairs;
        Py_ssize_t position = 0;
    } cursor{pairs.get()};
    tree::Tree keys = tree::Tree::from_sorted(std::size_t(n), [](void* context) {
        Cursor& at = *static_cast<Cursor*>(context);
        PyObject* key = PyTuple_GetItem(PyList_GetItem(at.pairs, at.position++), 0);
        return tree::Entry(Ref::borrow(key), Ref::borrow(key));
    }, &cursor);
    return wrap_dict(avldict_type(), std::move(index), std::move(keys));
}

Ref check_map(PyObject*, PyObject* argument) {
    converted("map", [&] {
        if (!is_avldict(argument)) {
            not_an_instance(argument, "AVLDict");
        }
    });
    AVLDictObject& map = AVLDictObject::of(argument);
    SharedBorrow reading(map.borrow);
    verify_map(map);
    return Ref::borrow(Py_None);
}

const PyMethodDef methods[] = {
    Member<copy_call, Access::shared, shallow_copy>::entry(
        "copy($self)\n--\n\n"
        "Return a shallow copy, made in O(n) time with no comparison and no hashing."),
    Member<dunder_copy_call, Access::shared, shallow_copy>::entry(
        "__copy__($self)\n--\n\nReturn a shallow copy, as `copy` does."),
    Member<deepcopy_call, Access::shared, deep_copy>::entry(
        "__deepcopy__($self, memo)\n--\n\n"
        "Return a deep copy: keys and values are copied with `copy.deepcopy` and\n"
        "`memo`, in ascending key order, after the new map has entered `memo`."),
    Member<reduce_call, Access::shared, reduce>::entry(
        "__reduce__($self)\n--\n\n"
        "Return `(callable, args)` for pickle reconstruction: the items in\n"
        "ascending key order, rebuilt in O(n) time without comparisons."),
    Member<reversed_call, Access::shared, descending<Yield::keys>>::entry(
        "__reversed__($self)\n--\n\nReturn a snapshot iterator of the keys in descending order."),
};

const PyType_Slot slots[] = {
    Member<repr_call, Access::shared, text_form>::slot<Py_tp_repr>(),
};

}  // namespace

const MemberGroup dict_copy_members{methods, slots, {}};

PyMethodDef from_sorted_items_function = Member<from_items_call, no_borrow, rebuild>::entry(
    "_avldict_from_sorted_items(items)\n--\n\n"
    "Private reconstruction helper used by pickle.\n\n"
    "Accepts a dict whose keys, or a list of `(key, value)` pairs whose keys,\n"
    "come in strictly ascending order.\n"
    "Each key is hashed once; no key is compared.");

PyMethodDef check_avldict_function = Member<check_call, no_borrow, check_map>::entry(
    "_check_avldict(map)\n--\n\n"
    "Check an AVLDict's internal invariants (its tree's, and that its index and\n"
    "tree hold the same key objects); raise AssertionError naming the first\n"
    "broken one. For tests.");

}  // namespace quorel::python
