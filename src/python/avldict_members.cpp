// The mapping protocol of AVLDict, its equality and its iteration. Point lookups are the
// index's; iteration copies the keys in order into a snapshot iterator.
#include "python/avldict_entries.hpp"
#include "python/avldict_ordered.hpp"
#include "python/member_entry.hpp"

namespace quorel::python {
namespace {

inline constexpr const char* key_value_parameters[] = {"key", "value"};
inline constexpr const char* get_parameters[] = {"key", "default"};
inline constexpr const char* other_parameter[] = {"other"};

constexpr CallDescription len_call = describe_dict("__len__");
constexpr CallDescription bool_call = describe_dict("__bool__");
constexpr CallDescription contains_call = describe_dict("__contains__", key_parameter);
constexpr CallDescription getitem_call = describe_dict("__getitem__", key_parameter);
constexpr CallDescription setitem_call = describe_dict("__setitem__", key_value_parameters);
constexpr CallDescription eq_call = describe_dict("__eq__", other_parameter);
constexpr CallDescription compare_call = describe_dict("__richcmp__");
constexpr CallDescription iter_call = describe_dict("__iter__");
constexpr CallDescription get_call{"AVLDict", "get", get_parameters, 2, 1, {}};
constexpr CallDescription clear_call = describe_dict("clear");

Py_ssize_t length(AVLDictObject& map) { return Py_ssize_t(map.tree.size()); }
int nonempty(AVLDictObject& map) { return int(map.tree.size() != 0); }

int holds(AVLDictObject& map, PyObject* key) {
    if (PyDict_GetItemWithError(map.index.get(), key) != nullptr) {
        return 1;
    }
    if (PyErr_Occurred()) {
        throw_fetched();
    }
    return 0;
}

Ref value_at(AVLDictObject& map, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(map.index.get(), key);
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            throw_fetched();
        }
        missing_key(key);
    }
    return Ref::borrow(value);
}

Ref value_or(AVLDictObject& map, PyObject* key, PyObject* fallback) {
    PyObject* value = PyDict_GetItemWithError(map.index.get(), key);
    if (value == nullptr && PyErr_Occurred()) {
        throw_fetched();
    }
    return Ref::borrow(value != nullptr ? value : fallback != nullptr ? fallback : Py_None);
}

// map[key] = value, or del map[key] when `value` is null.
int store(AVLDictObject& map, PyObject* key, PyObject* value) {
    if (value != nullptr) {
        assign(map, key, value);
        return 0;
    }
    tree::Entry removed{Ref(), Ref()};
    if (!take_out(map, key, removed)) {
        missing_key(key);
    }
    return 0;
}

Ref clear_all(AVLDictObject& map) {
    clear_map(map);
    return Ref::borrow(Py_None);
}

// Equal to any mapping with the same items, as dict is: the items are compared as two
// dicts are. Another AVLDict's index is taken under its own borrow before this map's is
// taken, so that no map waits for another's borrow while holding its own; another
// mapping is first read into a dict.
Ref equal_items(AVLDictObject& map, PyObject* items) {
    return checked(PyObject_RichCompare(map.index.get(), items, Py_EQ));
}

Ref items_to_compare(PyObject* other) {
    if (is_avldict(other)) {
        AVLDictObject& map = AVLDictObject::of(other);
        SharedBorrow reading(map.borrow);
        return map.index.new_ref();
    }
    if (PyDict_Check(other)) {
        return Ref::borrow(other);
    }
    if (!is_mapping(other)) {
        return Ref();
    }
    Ref items = checked(PyDict_New());
    check_status(PyDict_Merge(items.get(), other, 1));
    return items;
}

// == and != against another mapping; any other comparison is not implemented.
Ref compare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        return Ref::borrow(Py_NotImplemented);
    }
    Ref items = items_to_compare(other);
    if (!items) {
        return Ref::borrow(Py_NotImplemented);
    }
    Ref equal = checked(Member<eq_call, Access::shared, equal_items>::binary(self, items.get()));
    if (op == Py_EQ) {
        return equal;
    }
    const int truth = PyObject_IsTrue(equal.get());
    check_status(truth);
    return truth ? Ref::borrow(Py_False) : Ref::borrow(Py_True);
}

const PyMethodDef methods[] = {
    Member<get_call, Access::shared, value_or>::entry(
        "get($self, key, default=None, /)\n--\n\n"
        "Return the value for `key` if it is present, else `default`."),
    Member<clear_call, Access::exclusive, clear_all>::entry(
        "clear($self)\n--\n\nRemove every item."),
};

const PyType_Slot slots[] = {
    Member<len_call, Access::shared, length>::slot<Py_mp_length>(),
    Member<getitem_call, Access::shared, value_at>::slot<Py_mp_subscript>(),
    Member<setitem_call, Access::exclusive, store>::slot<Py_mp_ass_subscript>(),
    Member<bool_call, Access::shared, nonempty>::slot<Py_nb_bool>(),
    Member<contains_call, Access::shared, holds>::slot<Py_sq_contains>(),
    Member<iter_call, Access::shared, ascending<Yield::keys>>::slot<Py_tp_iter>(),
    Member<compare_call, no_borrow, compare>::slot<Py_tp_richcompare>(),
    type_slot<Py_tp_hash>(PyObject_HashNotImplemented),
};

}  // namespace

const MemberGroup dict_lookup_members{methods, slots, {}};

}  // namespace quorel::python
