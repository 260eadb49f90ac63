// The keys, values and items views of AVLDict: live views in key order that hold a strong
// reference to their map and nothing else. Every member runs on the map, under the map's
// borrow, through the body it shares with the map's own members; only what it yields
// differs. The keys and items views are set-like: ==, & | - ^ (giving sets) and isdisjoint.
#include <memory>

#include "python/avldict_entries.hpp"
#include "python/avldict_ordered.hpp"
#include "python/instance.hpp"
#include "python/interpreter.hpp"
#include "python/member_entry.hpp"

namespace quorel::python {
namespace {

struct ViewObject {
    QUOREL_OBJECT_HEAD
    Ref map;

    static ViewObject& of(PyObject* self) noexcept { return fields_of<ViewObject>(self); }
};

PyObject* map_of(PyObject* view) noexcept { return ViewObject::of(view).map.get(); }

template <Yield Y>
constexpr const char* view_name = Y == Yield::keys     ? "_AVLDictKeys"
                                  : Y == Yield::values ? "_AVLDictValues"
                                                       : "_AVLDictItems";

// Kept for the life of the process: interpreters before 3.11 do not copy a type's name.
template <Yield Y>
constexpr const char* view_qualified = Y == Yield::keys     ? "quorel._AVLDictKeys"
                                       : Y == Yield::values ? "quorel._AVLDictValues"
                                                            : "quorel._AVLDictItems";

template <Yield Y>
constexpr CallDescription view_call(const char* name, std::span<const char* const> parameter = {}) {
    return CallDescription{view_name<Y>, name, parameter, 0, parameter.size(), {}};
}

constexpr const char* item_parameter[] = {"item"};
constexpr const char* other_parameter[] = {"other"};
constexpr const char* range_positional[] = {"start", "end"};
constexpr KeywordOnlyParameter range_keywords[] = {{"include_start", false},
                                                   {"include_end", false}};
constexpr const char* iter_from_positional[] = {"start", "count"};
constexpr const char* iter_to_positional[] = {"end", "count"};

template <Yield Y>
struct Calls {
    static constexpr CallDescription len = view_call<Y>("__len__");
    static constexpr CallDescription contains = view_call<Y>("__contains__", item_parameter);
    static constexpr CallDescription iter = view_call<Y>("__iter__");
    static constexpr CallDescription reversed = view_call<Y>("__reversed__");
    static constexpr CallDescription getitem = view_call<Y>("__getitem__", item_parameter);
    static constexpr CallDescription eq = view_call<Y>("__eq__", other_parameter);
    static constexpr CallDescription isdisjoint = view_call<Y>("isdisjoint", other_parameter);
    static constexpr CallDescription range{view_name<Y>, "range", range_positional, 0, 0,
                                           range_keywords};
    static constexpr CallDescription iter_from{view_name<Y>, "iter_from", iter_from_positional,
                                               0, 2, {}};
    static constexpr CallDescription iter_to{view_name<Y>, "iter_to", iter_to_positional, 0, 2,
                                             {}};
    static constexpr CallDescription floor = view_call<Y>("floor", key_parameter);
    static constexpr CallDescription ceiling = view_call<Y>("ceiling", key_parameter);
    static constexpr CallDescription lower = view_call<Y>("lower", key_parameter);
    static constexpr CallDescription higher = view_call<Y>("higher", key_parameter);
    static constexpr CallDescription compare = view_call<Y>("__richcmp__");
    static constexpr CallDescription and_ = view_call<Y>("__and__", other_parameter);
    static constexpr CallDescription or_ = view_call<Y>("__or__", other_parameter);
    static constexpr CallDescription sub = view_call<Y>("__sub__", other_parameter);
    static constexpr CallDescription xor_ = view_call<Y>("__xor__", other_parameter);
    static constexpr CallDescription traverse = view_call<Y>("__traverse__");
    static constexpr CallDescription release = view_call<Y>("__del__");
};

Py_ssize_t length(AVLDictObject& map) { return Py_ssize_t(map.tree.size()); }

PyObject* indexed(const AVLDictObject& map, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(map.index.get(), key);
    if (value == nullptr && PyErr_Occurred()) {
        throw_fetched();
    }
    return value;
}

template <Yield Y>
int holds(AVLDictObject& map, PyObject* item) {
    if constexpr (Y == Yield::keys) {
        return indexed(map, item) != nullptr;
    } else if constexpr (Y == Yield::items) {
        if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
            return 0;
        }
        PyObject* value = indexed(map, PyTuple_GetItem(item, 0));
        if (value == nullptr) {
            return 0;
        }
        const Ref held = Ref::borrow(value);  // the comparison may run finalisers
        const int equal = PyObject_RichCompareBool(held.get(), PyTuple_GetItem(item, 1), Py_EQ);
        check_status(equal);
        return equal;
    } else {
        for (Ref& value : values_of(map, map.tree.in_order())) {
            const int equal = PyObject_RichCompareBool(value.get(), item, Py_EQ);
            check_status(equal);
            if (equal) {
                return 1;
            }
        }
        return 0;
    }
}

ProcessCell set_class_cell;

PyObject* set_class() {
    return set_class_cell.get([] {
        Ref abc = checked(PyImport_ImportModule("collections.abc"));
        return checked(PyObject_GetAttrString(abc.get(), "Set"));
    });
}

// Whether every item of `other` is in the view (false at the first that is not).
template <Yield Y>
bool holds_all(AVLDictObject& map, PyObject* other) {
    Ref iterator = checked(PyObject_GetIter(other));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!holds<Y>(map, item.get())) {
            return false;
        }
    }
    if (PyErr_Occurred()) {
        throw_fetched();
    }
    return true;
}

// Equal to a set-like object of as many items, all in the view, as dict views are.
// `items` holds the other object's items, read before the map was borrowed.
template <Yield Y>
Ref equal_set(AVLDictObject& map, PyObject* items) {
    return truth(std::uint64_t(PyTuple_Size(items)) == map.tree.size() && holds_all<Y>(map, items));
}

template <Yield Y>
Ref disjoint(AVLDictObject& map, PyObject* items) {
    for (Py_ssize_t i = 0, n = PyTuple_Size(items); i < n; ++i) {
        if (holds<Y>(map, PyTuple_GetItem(items, i))) {
            return truth(false);
        }
    }
    return truth(true);
}

// The items of another collection, read before the map is borrowed: a map never waits
// for another's borrow (the other may be a view of another map) while holding its own.
Ref items_of_other(PyObject* other) { return checked(PySequence_Tuple(other)); }

// The map a view's members run on.
AVLDictObject& viewed_map(PyObject* view) noexcept { return AVLDictObject::of(map_of(view)); }

template <const CallDescription& Description, auto Kind, auto Body>
using ViewMember = Member<Description, Kind, Body, nullptr, viewed_map>;

// == and != against a set-like object; any other comparison is not implemented.
template <Yield Y>
Ref compare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        return Ref::borrow(Py_NotImplemented);
    }
    const int set_like = PyAnySet_Check(other) ? 1 : PyObject_IsInstance(other, set_class());
    check_status(set_like);
    if (set_like == 0) {
        return Ref::borrow(Py_NotImplemented);
    }
    Ref items = items_of_other(other);
    Ref equal =
        checked(ViewMember<Calls<Y>::eq, Access::shared, equal_set<Y>>::binary(self, items.get()));
    return op == Py_EQ ? std::move(equal) : truth(equal.get() == Py_False);
}

template <Yield Y>
Ref disjoint_from(PyObject* self, PyObject* other) {
    Ref items = items_of_other(other);
    return checked(
        ViewMember<Calls<Y>::isdisjoint, Access::shared, disjoint<Y>>::binary(self, items.get()));
}

// set(left) with the named in-place set method applied to `right`; `left` may be a view
// or, for the reflected operators, any iterable.
template <const char* Method>
Ref set_operation(PyObject* left, PyObject* right) {
    Ref result = checked(PySet_New(left));
    Ref name = checked(PyUnicode_FromString(Method));
    Ref done = checked(PyObject_CallMethodObjArgs(result.get(), name.get(), right, nullptr));
    return result;
}

constexpr char intersection_update[] = "intersection_update";
constexpr char update_method[] = "update";
constexpr char difference_update[] = "difference_update";
constexpr char symmetric_difference_update[] = "symmetric_difference_update";

int visit_view(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(map_of(self));
    return 0;
}

void release_view(ViewObject& view) {
    PyObject* self = object_of(view);
    PyObject_GC_UnTrack(self);
    std::destroy_at(&view.map);
    free_instance(self);
}

// Interpreters before 3.10 cannot mark a type as not instantiable; there this constructor
// refuses with the same TypeError the later interpreters raise.
template <Yield Y>
PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", view_qualified<Y>);
    return nullptr;
}

template <Yield Y>
const PyMethodDef view_methods[] = {
    ViewMember<Calls<Y>::reversed, Access::shared, descending<Y>>::entry(
        "__reversed__($self)\n--\n\nReturn a snapshot iterator in descending key order."),
    ViewMember<Calls<Y>::range, Access::shared, range_of<Y>>::entry(
        "range($self, start=None, end=None, *, include_start=True, include_end=False)\n--\n\n"
        "Return a snapshot iterator over the keys between optional endpoints."),
    ViewMember<Calls<Y>::iter_from, Access::shared, bounded_of<Y, &tree::Tree::iter_from>>::entry(
        "iter_from($self, start, count)\n--\n\n"
        "Return a snapshot iterator over at most `count` keys from `start` up."),
    ViewMember<Calls<Y>::iter_to, Access::shared, bounded_of<Y, &tree::Tree::iter_to>>::entry(
        "iter_to($self, end, count)\n--\n\n"
        "Return a snapshot iterator over at most `count` keys from `end` down."),
    ViewMember<Calls<Y>::floor, Access::shared, neighbour_of<Y, &tree::Tree::floor, true>>::entry(
        "floor($self, key)\n--\n\nFor the greatest key not greater than `key`, or `None`."),
    ViewMember<Calls<Y>::ceiling, Access::shared, neighbour_of<Y, &tree::Tree::ceiling, true>>::entry(
        "ceiling($self, key)\n--\n\nFor the least key not less than `key`, or `None`."),
    ViewMember<Calls<Y>::lower, Access::shared, neighbour_of<Y, &tree::Tree::floor, false>>::entry(
        "lower($self, key)\n--\n\nFor the greatest key less than `key`, or `None`."),
    ViewMember<Calls<Y>::higher, Access::shared, neighbour_of<Y, &tree::Tree::ceiling, false>>::entry(
        "higher($self, key)\n--\n\nFor the least key greater than `key`, or `None`."),
};

template <Yield Y>
const PyType_Slot view_slots[] = {
    ViewMember<Calls<Y>::len, Access::shared, length>::template slot<Py_mp_length>(),
    ViewMember<Calls<Y>::getitem, Access::shared, at_position<Y>>::template slot<Py_mp_subscript>(),
    ViewMember<Calls<Y>::contains, Access::shared, holds<Y>>::template slot<Py_sq_contains>(),
    ViewMember<Calls<Y>::iter, Access::shared, ascending<Y>>::template slot<Py_tp_iter>(),
    Member<Calls<Y>::traverse, no_borrow, visit_view>::template slot<Py_tp_traverse>(),
    Member<Calls<Y>::release, no_borrow, release_view>::template slot<Py_tp_dealloc>(),
};

template <Yield Y>
const MemberGroup view_members{view_methods<Y>, view_slots<Y>, {}};

// The keys and items views are set-like; the values view is not.
template <Yield Y>
const PyMethodDef set_like_methods[] = {
    Member<Calls<Y>::isdisjoint, no_borrow, disjoint_from<Y>>::entry(
        "isdisjoint($self, other, /)\n--\n\nReturn whether the view and `other` have no item in common."),
};

template <Yield Y>
const PyType_Slot set_like_slots[] = {
    Member<Calls<Y>::compare, no_borrow, compare<Y>>::template slot<Py_tp_richcompare>(),
    type_slot<Py_tp_hash>(PyObject_HashNotImplemented),
    Member<Calls<Y>::and_, no_borrow, set_operation<intersection_update>>::template slot<Py_nb_and>(),
    Member<Calls<Y>::or_, no_borrow, set_operation<update_method>>::template slot<Py_nb_or>(),
    Member<Calls<Y>::sub, no_borrow, set_operation<difference_update>>::template slot<Py_nb_subtract>(),
    Member<Calls<Y>::xor_, no_borrow, set_operation<symmetric_difference_update>>::template slot<Py_nb_xor>(),
};

template <Yield Y>
const MemberGroup set_like_members{set_like_methods<Y>, set_like_slots<Y>, {}};

template <Yield Y>
const PyType_Slot refusing_slots[] = {type_slot<Py_tp_new>(refuse_new<Y>)};

template <Yield Y>
const MemberGroup refusing_construction{{}, refusing_slots<Y>, {}};

const MemberGroup no_members{{}, {}, {}};

template <Yield Y>
constexpr const MemberGroup* set_like_group() {
    if constexpr (Y == Yield::values) {
        return &no_members;
    } else {
        return &set_like_members<Y>;
    }
}

// Before 3.10 the last group refuses construction.
template <Yield Y>
constexpr const MemberGroup* view_groups[] = {&view_members<Y>, set_like_group<Y>(),
                                              &refusing_construction<Y>};

template <Yield Y>
constexpr const char* view_doc = Y == Yield::keys     ? "A live view of an AVLDict's keys, in key order."
                                 : Y == Yield::values ? "A live view of an AVLDict's values, in key order."
                                                      : "A live view of an AVLDict's items, in key order.";

template <Yield Y>
ClassRegistration view_registration() {
    const std::span<const MemberGroup* const> groups(view_groups<Y>);
    return {view_name<Y>,
            view_qualified<Y>,
            view_doc<Y>,
            spec_basic_size<ViewObject>(),
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
            running_at_least(3, 10) ? groups.first(2) : groups};
}

template <Yield Y>
constinit ClassCell view_class(view_registration<Y>);

template <Yield Y>
Ref make_view(AVLDictObject& map) {
    PyObject* self = allocate_instance(view_class<Y>.for_instance());
    ViewObject& view = new_fields<ViewObject>(self);
    new (&view.map) Ref(Ref::borrow(object_of(map)));
    return Ref::steal(self);
}

constexpr CallDescription keys_call = describe_dict("keys");
constexpr CallDescription values_call = describe_dict("values");
constexpr CallDescription items_call = describe_dict("items");

const PyMethodDef methods[] = {
    Member<keys_call, Access::shared, make_view<Yield::keys>>::entry(
        "keys($self)\n--\n\nReturn a live view of the keys, in key order."),
    Member<values_call, Access::shared, make_view<Yield::values>>::entry(
        "values($self)\n--\n\nReturn a live view of the values, in key order."),
    Member<items_call, Access::shared, make_view<Yield::items>>::entry(
        "items($self)\n--\n\nReturn a live view of the (key, value) items, in key order."),
};

}  // namespace

const MemberGroup dict_view_members{methods, {}, {}};

}  // namespace quorel::python
