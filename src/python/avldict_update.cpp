// The members of AVLDict that add or take out by key: setdefault, pop, update, and the
// union operators of PEP 584 (d | other, other | d, d |= other).
#include "call_boundary/entry.hpp"
#include "call_boundary/support/process_cell.hpp"
#include "python/avldict.hpp"
#include "python/avldict_entries.hpp"
#include "python/member_entry.hpp"

namespace quorel::python {
namespace {

constexpr const char* default_parameters[] = {"key", "default"};
constexpr CallDescription setdefault_call{"AVLDict", "setdefault", default_parameters, 2, 1, {}};
constexpr CallDescription pop_call{"AVLDict", "pop", default_parameters, 2, 1, {}};
// The bodies of update and the operators take the items already staged, as one dict.
constexpr const char* staged_parameter[] = {"items"};
constexpr CallDescription update_call = describe_dict("update", staged_parameter);
constexpr CallDescription or_call = describe_dict("__or__", staged_parameter);
constexpr CallDescription ror_call = describe_dict("__ror__", staged_parameter);
constexpr CallDescription ior_call = describe_dict("__ior__", staged_parameter);

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

// The members that read another collection stage its items into a dict of their own
// first, before they take the map's borrow: a map never waits for another's borrow while
// it holds its own, so two maps updated from each other on two threads cannot deadlock.

Ref merge_items(AVLDictObject& map, PyObject* staged) {
    merge_staged(map, staged);
    return Ref::borrow(Py_None);
}

Ref union_with(AVLDictObject& map, PyObject* staged) {
    Ref result = copy_map(map);
    merge_staged(AVLDictObject::of(result.get()), staged);
    return result;
}

// other | map: the staged items of `other`, then the map's.
Ref union_into(AVLDictObject& map, PyObject* staged) {
    tree::Tree keys = tree_of_keys(staged);
    Ref result = wrap_dict(avldict_type(), checked(PyDict_Copy(staged)), std::move(keys));
    merge_staged(AVLDictObject::of(result.get()), map.index.get());
    return result;
}

Ref merge_in_place(AVLDictObject& map, PyObject* staged) {
    merge_staged(map, staged);
    return Ref::borrow(object_of(map));
}

// A member's result as a Ref; its failure thrown on.
Ref completed(PyObject* result) { return checked(result); }

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

// update(other=(), /, **kwargs): the keywords are gathered into a dict too.
PyObject* dict_update_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return boundary::object_entry([&] {
        Ref kwargs;
        const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
        if (keywords > 0) {
            kwargs = checked(PyDict_New());
            for (Py_ssize_t i = 0; i < keywords; ++i) {
                check_status(PyDict_SetItem(kwargs.get(), PyTuple_GetItem(kwnames, i), args[nargs + i]));
            }
        }
        if (nargs > 1) {
            Ref message = checked(
                PyUnicode_FromFormat("update expected at most 1 argument, got %zd", nargs));
            PyErr_SetObject(PyExc_TypeError, message.get());
            throw_fetched();
        }
        Ref staged = stage_items(nargs == 1 ? args[0] : nullptr, kwargs.get());
        return completed(Member<update_call, Access::exclusive, merge_items>::binary(self, staged.get()));
    });
}

const Fastcall dict_update = dict_update_entry;

PyObject* dict_or(PyObject* left, PyObject* right) noexcept {
    return boundary::object_entry([&] {
        const bool forward = is_avldict(left);
        PyObject* other = forward ? right : left;
        if (!is_mapping(other)) {
            return Ref::borrow(Py_NotImplemented);
        }
        Ref staged = stage_items(other, nullptr);
        if (forward) {
            return completed(Member<or_call, Access::shared, union_with>::binary(left, staged.get()));
        }
        return completed(Member<ror_call, Access::shared, union_into>::binary(right, staged.get()));
    });
}

PyObject* dict_inplace_or(PyObject* self, PyObject* other) noexcept {
    return boundary::object_entry([&] {
        Ref staged = stage_items(other, nullptr);
        return completed(Member<ior_call, Access::exclusive, merge_in_place>::binary(self, staged.get()));
    });
}

}  // namespace entries
}  // namespace quorel::python
