// The members of AVLDict that add or take out by key: setdefault, pop, update, and the
// union operators of PEP 584 (d | other, other | d, d |= other).
#include "call_boundary/entry.hpp"
#include "call_boundary/process_cell.hpp"
#include "python/avldict.hpp"
#include "python/avldict_entries.hpp"
#include "python/member_entry.hpp"

namespace quorel::python {
namespace {

constexpr const char* default_parameters[] = {"key", "default"};
constexpr CallDescription setdefault_call{"AVLDict", "setdefault", default_parameters, 2, 1, {}};
constexpr CallDescription pop_call{"AVLDict", "pop", default_parameters, 2, 1, {}};
// update's keyword items reach the body as one dict.
constexpr const char* update_parameters[] = {"other", "kwargs"};
constexpr CallDescription update_call{"AVLDict", "update", update_parameters, 2, 2, {}};
constexpr CallDescription or_call = describe_dict("__or__", key_parameter);
constexpr CallDescription ror_call = describe_dict("__ror__", key_parameter);
constexpr CallDescription ior_call = describe_dict("__ior__", key_parameter);

Ref set_default(AVLDictObject& map, PyObject* key, PyObject* fallback) {
    PyObject* value = fallback != nullptr ? fallback : Py_None;
    if (PyObject* present = PyDict_GetItemWithError(map.index.get(), key)) {
        return Ref::borrow(present);
    }
    if (PyErr_Occurred()) {
        throw_fetched();
    }
    add_new(map, key, value);
    return Ref::borrow(value);
}

Ref pop_key(AVLDictObject& map, PyObject* key, PyObject* fallback) {
    tree::Entry removed{Ref(), Ref()};
    if (take_out(map, key, removed)) {
        return std::move(removed.value);
    }
    if (fallback == nullptr) {
        missing_key(key);
    }
    return Ref::borrow(fallback);
}

Ref update_items(AVLDictObject& map, PyObject* other, PyObject* kwargs) {
    Ref staged = stage_items(other == Py_None ? nullptr : other,
                             kwargs == Py_None ? nullptr : kwargs, object_of(map));
    merge_staged(map, staged.get());
    return Ref::borrow(Py_None);
}

Ref union_with(AVLDictObject& map, PyObject* other) {
    if (!is_mapping(other)) {
        return Ref::borrow(Py_NotImplemented);
    }
    Ref staged = stage_items(other, nullptr, object_of(map));
    Ref result = copy_map(map);
    merge_staged(AVLDictObject::of(result.get()), staged.get());
    return result;
}

// other | map, for a mapping `other` that is not an AVLDict: its items, then the map's.
Ref union_into(AVLDictObject& map, PyObject* other) {
    if (!is_mapping(other)) {
        return Ref::borrow(Py_NotImplemented);
    }
    Ref index = stage_items(other, nullptr);
    tree::Tree keys = tree_of_keys(index.get());
    Ref result = wrap_dict(avldict_type(), std::move(index), std::move(keys));
    merge_staged(AVLDictObject::of(result.get()), map.index.get());
    return result;
}

Ref update_in_place(AVLDictObject& map, PyObject* other) {
    Ref staged = stage_items(other, nullptr, object_of(map));
    merge_staged(map, staged.get());
    return Ref::borrow(object_of(map));
}

ProcessCell mapping_class_cell;

}  // namespace

bool is_mapping(PyObject* object) {
    if (PyDict_Check(object) || is_avldict(object)) {
        return true;
    }
    PyObject* mapping = mapping_class_cell.get([] {
        Ref abc = checked(PyImport_ImportModule("collections.abc"));
        return checked(PyObject_GetAttrString(abc.get(), "Mapping"));
    });
    const int found = PyObject_IsInstance(object, mapping);
    check_status(found);
    return found != 0;
}

namespace entries {

const Fastcall dict_setdefault = Member<setdefault_call, Access::exclusive, set_default>::method;
const Fastcall dict_pop = Member<pop_call, Access::exclusive, pop_key>::method;

// update(other=(), /, **kwargs): the keywords are gathered into a dict first.
PyObject* dict_update_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    Ref kwargs;
    if (kwnames != nullptr && PyTuple_Size(kwnames) > 0) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) {
            return nullptr;
        }
        for (Py_ssize_t i = 0, n = PyTuple_Size(kwnames); i < n; ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GetItem(kwnames, i), args[nargs + i]) < 0) {
                return nullptr;
            }
        }
    }
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "update expected at most 1 argument, got %zd", nargs);
        return nullptr;
    }
    PyObject* const arguments[] = {nargs == 1 ? args[0] : Py_None, kwargs ? kwargs.get() : Py_None};
    return Member<update_call, Access::exclusive, update_items>::method(self, arguments, 2, nullptr);
}

const Fastcall dict_update = dict_update_entry;

PyObject* dict_or(PyObject* left, PyObject* right) noexcept {
    if (is_avldict(left)) {
        return Member<or_call, Access::shared, union_with>::binary(left, right);
    }
    return Member<ror_call, Access::shared, union_into>::binary(right, left);
}

PyObject* dict_inplace_or(PyObject* self, PyObject* other) noexcept {
    return Member<ior_call, Access::exclusive, update_in_place>::binary(self, other);
}

}  // namespace entries
}  // namespace quorel::python
