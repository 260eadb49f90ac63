// The mapping protocol of AVLDict, its equality and its iteration. Point lookups are the
// index's; iteration copies the keys in order into a snapshot iterator.
#include "call_boundary/entry.hpp"
#include "python/avldict.hpp"
#include "python/avldict_entries.hpp"
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
constexpr CallDescription delitem_call = describe_dict("__delitem__", key_parameter);
constexpr CallDescription eq_call = describe_dict("__eq__", other_parameter);
constexpr CallDescription iter_call = describe_dict("__iter__");
constexpr CallDescription reversed_call = describe_dict("__reversed__");
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

Ref set_item(AVLDictObject& map, PyObject* key, PyObject* value) {
    assign(map, key, value);
    return Ref::borrow(Py_None);
}

int delete_item(AVLDictObject& map, PyObject* key) {
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

// A whole walk in key order may first lay the nodes out in key order, when no other
// member is part-way through the tree.
Ref ascending_keys(AVLDictObject& map) {
    map.borrow.alone([&] { map.tree.lay_out_before_walk(); });
    return make_iterator(map.tree.in_order());
}

Ref descending_keys(AVLDictObject& map) {
    map.borrow.alone([&] { map.tree.lay_out_before_walk(); });
    return make_iterator(map.tree.descending());
}

}  // namespace

namespace entries {

Py_ssize_t dict_len(PyObject* self) noexcept {
    return Member<len_call, Access::shared, length>::integer<Py_ssize_t>(self);
}

int dict_bool(PyObject* self) noexcept {
    return Member<bool_call, Access::shared, nonempty>::integer<int>(self);
}

int dict_contains(PyObject* self, PyObject* key) noexcept {
    return Member<contains_call, Access::shared, holds>::integer<int>(self, key);
}

PyObject* dict_subscript(PyObject* self, PyObject* key) noexcept {
    return Member<getitem_call, Access::shared, value_at>::binary(self, key);
}

int dict_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    if (value == nullptr) {
        return Member<delitem_call, Access::exclusive, delete_item>::integer<int>(self, key);
    }
    PyObject* const arguments[] = {key, value};
    Ref done = Ref::steal(
        Member<setitem_call, Access::exclusive, set_item>::method(self, arguments, 2, nullptr));
    return done ? 0 : -1;
}

PyObject* dict_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if (op != Py_EQ && op != Py_NE) {
        return Ref::borrow(Py_NotImplemented).release();
    }
    return boundary::object_entry([&] {
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
    });
}

PyObject* dict_iter(PyObject* self) noexcept {
    return Member<iter_call, Access::shared, ascending_keys>::unary(self);
}

PyObject* dict_reversed(PyObject* self, PyObject*) noexcept {
    return Member<reversed_call, Access::shared, descending_keys>::unary(self);
}

PyObject* dict_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    return Member<get_call, Access::shared, value_or>::method(self, args, nargs, kwnames);
}

PyObject* dict_clear(PyObject* self, PyObject*) noexcept {
    return Member<clear_call, Access::exclusive, clear_all>::unary(self);
}

}  // namespace entries
}  // namespace quorel::python
