// The members of AVLDict that add or take out by key: setdefault, pop, update, and the
// union operators of PEP 584 (d | other, other | d, d |= other).
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
// The entry that stages the items before it takes the borrow.
constexpr UnboundDescription update_entry_call{"AVLDict", "update"};

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

namespace {

// update(other=(), /, **kwargs): the keywords are gathered into a dict too.
Ref update_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref kwargs;
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    if (keywords > 0) {
        kwargs = checked(PyDict_New());
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            check_status(PyDict_SetItem(kwargs.get(), PyTuple_GetItem(kwnames, i), args[nargs + i]));
        }
    }
    if (nargs > 1) {
        Ref message =
            checked(PyUnicode_FromFormat("update expected at most 1 argument, got %zd", nargs));
        PyErr_SetObject(PyExc_TypeError, message.get());
        throw_fetched();
    }
    Ref staged = stage_items(nargs == 1 ? args[0] : nullptr, kwargs.get());
    return completed(Member<update_call, Access::exclusive, merge_items>::binary(self, staged.get()));
}

// map | other and other | map, for any mapping `other`.
Ref union_of(PyObject* left, PyObject* right) {
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
}

Ref update_in_place(PyObject* self, PyObject* other) {
    Ref staged = stage_items(other, nullptr);
    return completed(Member<ior_call, Access::exclusive, merge_in_place>::binary(self, staged.get()));
}

const PyMethodDef methods[] = {
    Member<setdefault_call, Access::exclusive, set_default>::entry(
        "setdefault($self, key, default=None, /)\n--\n\n"
        "Return the value for `key`, first storing `default` under it if it is absent."),
    Member<pop_call, Access::exclusive, pop_key>::entry(
        "pop($self, key, default=<unrepresentable>, /)\n--\n\n"
        "Remove `key` and return its value, or `default` when it is absent;\n"
        "raise `KeyError` when it is absent and no default is given."),
    Member<update_entry_call, no_borrow, update_from>::entry(
        "update($self, other=(), /, **kwargs)\n--\n\n"
        "Store the items of `other` (a mapping or an iterable of pairs), then the\n"
        "keyword items; later items win. On any error the map is unchanged."),
};

const PyType_Slot slots[] = {
    Member<or_call, no_borrow, union_of>::slot<Py_nb_or>(),
    Member<ior_call, no_borrow, update_in_place>::slot<Py_nb_inplace_or>(),
};

}  // namespace

const MemberGroup dict_update_members{methods, slots, {}};

}  // namespace quorel::python
