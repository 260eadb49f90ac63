// The keys, values and items views of AVLDict: live views in key order that hold a strong
// reference to their map and nothing else. Every member runs on the map, under the map's
// borrow, through the body it shares with the map's own members; only what it yields
// differs. The keys and items views are set-like: ==, & | - ^ (giving sets) and isdisjoint.
#include <memory>

#include "call_boundary/entry.hpp"
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

// The entries of one view type, each running its body on the view's map.
template <Yield Y>
struct View {
    using C = Calls<Y>;

    static Py_ssize_t len(PyObject* self) noexcept {
        return Member<C::len, Access::shared, length>::template integer<Py_ssize_t>(map_of(self));
    }
    static int contains(PyObject* self, PyObject* item) noexcept {
        return Member<C::contains, Access::shared, holds<Y>>::template integer<int>(map_of(self), item);
    }
    static PyObject* iter(PyObject* self) noexcept {
        return Member<C::iter, Access::shared, ascending<Y>>::unary(map_of(self));
    }
    static PyObject* reversed(PyObject* self, PyObject*) noexcept {
        return Member<C::reversed, Access::shared, descending<Y>>::unary(map_of(self));
    }
    static PyObject* getitem(PyObject* self, PyObject* item) noexcept {
        return Member<C::getitem, Access::shared, at_position<Y>>::binary(map_of(self), item);
    }
    static PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
        if (op != Py_EQ && op != Py_NE) {
            return Ref::borrow(Py_NotImplemented).release();
        }
        return boundary::object_entry([&] {
            const int set_like = PyAnySet_Check(other) ? 1 : PyObject_IsInstance(other, set_class());
            check_status(set_like);
            if (set_like == 0) {
                return Ref::borrow(Py_NotImplemented);
            }
            Ref items = items_of_other(other);
            Ref equal = checked(Member<C::eq, Access::shared, equal_set<Y>>::binary(map_of(self), items.get()));
            return op == Py_EQ ? std::move(equal) : truth(equal.get() == Py_False);
        });
    }
    static PyObject* isdisjoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
        return boundary::object_entry([&] {
            const auto bound = bind<1>(C::isdisjoint, args, nargs, kwnames);
            Ref items = items_of_other(bound[0]);
            return checked(Member<C::isdisjoint, Access::shared, disjoint<Y>>::binary(map_of(self), items.get()));
        });
    }
    template <const CallDescription& D, auto Body>
    static PyObject* forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
        return Member<D, Access::shared, Body>::method(map_of(self), args, nargs, kwnames);
    }
};

// set(left) with the named in-place set method applied to `right`; `left` may be a view
// or, for the reflected operators, any iterable.
template <const char* Method>
PyObject* set_operation(PyObject* left, PyObject* right) noexcept {
    return boundary::object_entry([&] {
        Ref result = checked(PySet_New(left));
        Ref name = checked(PyUnicode_FromString(Method));
        Ref done = checked(PyObject_CallMethodObjArgs(result.get(), name.get(), right, nullptr));
        return result;
    });
}

constexpr char intersection_update[] = "intersection_update";
constexpr char update_method[] = "update";
constexpr char difference_update[] = "difference_update";
constexpr char symmetric_difference_update[] = "symmetric_difference_update";

int view_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(map_of(self));
    return 0;
}

void view_dealloc(PyObject* self) noexcept {
    boundary::release_entry([&] {
        PyObject_GC_UnTrack(self);
        ViewObject& view = ViewObject::of(self);
        std::destroy_at(&view.map);
        free_instance(self);
    });
}

// Interpreters before 3.10 cannot mark a type as not instantiable; there this constructor
// refuses with the same TypeError the later interpreters raise.
template <Yield Y>
PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", view_qualified<Y>);
    return nullptr;
}

template <Yield Y>
PyMethodDef view_methods[] = {
    {"__reversed__", as_method(View<Y>::reversed), METH_NOARGS,
     "__reversed__($self)\n--\n\nReturn a snapshot iterator in descending key order."},
    {"range", as_method(View<Y>::template forward<Calls<Y>::range, range_of<Y>>), with_arguments,
     "range($self, start=None, end=None, *, include_start=True, include_end=False)\n--\n\n"
     "Return a snapshot iterator over the keys between optional endpoints."},
    {"iter_from",
     as_method(View<Y>::template forward<Calls<Y>::iter_from, bounded_of<Y, &tree::Tree::iter_from>>),
     with_arguments,
     "iter_from($self, start, count)\n--\n\n"
     "Return a snapshot iterator over at most `count` keys from `start` up."},
    {"iter_to",
     as_method(View<Y>::template forward<Calls<Y>::iter_to, bounded_of<Y, &tree::Tree::iter_to>>),
     with_arguments,
     "iter_to($self, end, count)\n--\n\n"
     "Return a snapshot iterator over at most `count` keys from `end` down."},
    {"floor",
     as_method(View<Y>::template forward<Calls<Y>::floor, neighbour_of<Y, &tree::Tree::floor, true>>),
     with_arguments, "floor($self, key)\n--\n\nFor the greatest key not greater than `key`, or `None`."},
    {"ceiling",
     as_method(View<Y>::template forward<Calls<Y>::ceiling, neighbour_of<Y, &tree::Tree::ceiling, true>>),
     with_arguments, "ceiling($self, key)\n--\n\nFor the least key not less than `key`, or `None`."},
    {"lower",
     as_method(View<Y>::template forward<Calls<Y>::lower, neighbour_of<Y, &tree::Tree::floor, false>>),
     with_arguments, "lower($self, key)\n--\n\nFor the greatest key less than `key`, or `None`."},
    {"higher",
     as_method(View<Y>::template forward<Calls<Y>::higher, neighbour_of<Y, &tree::Tree::ceiling, false>>),
     with_arguments, "higher($self, key)\n--\n\nFor the least key greater than `key`, or `None`."},
    // The values view is not set-like: its table ends here.
    {Y == Yield::values ? nullptr : "isdisjoint",
     as_method(View<Y>::isdisjoint), with_arguments,
     "isdisjoint($self, other, /)\n--\n\nReturn whether the view and `other` have no item in common."},
    {nullptr, nullptr, 0, nullptr},
};

template <Yield Y>
constexpr const char* view_doc = Y == Yield::keys     ? "A live view of an AVLDict's keys, in key order."
                                 : Y == Yield::values ? "A live view of an AVLDict's values, in key order."
                                                      : "A live view of an AVLDict's items, in key order.";

template <Yield Y>
PyTypeObject* create_view() {
    Vector<PyType_Slot> slots = {
        {Py_tp_doc, const_cast<char*>(view_doc<Y>)},
        {Py_mp_length, slot_function(View<Y>::len)},
        {Py_mp_subscript, slot_function(View<Y>::getitem)},
        {Py_sq_contains, slot_function(View<Y>::contains)},
        {Py_tp_iter, slot_function(View<Y>::iter)},
        {Py_tp_methods, view_methods<Y>},
        {Py_tp_traverse, slot_function(view_traverse)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, slot_function(view_dealloc)},
    };
    if constexpr (Y != Yield::values) {
        slots.insert(slots.end(), {
            {Py_tp_richcompare, slot_function(View<Y>::richcompare)},
            {Py_tp_hash, slot_function(PyObject_HashNotImplemented)},
            {Py_nb_and, slot_function(set_operation<intersection_update>)},
            {Py_nb_or, slot_function(set_operation<update_method>)},
            {Py_nb_subtract, slot_function(set_operation<difference_update>)},
            {Py_nb_xor, slot_function(set_operation<symmetric_difference_update>)},
        });
    }
    if (!running_at_least(3, 10)) {
        slots.push_back({Py_tp_new, slot_function(refuse_new<Y>)});
    }
    slots.push_back({0, nullptr});
    PyType_Spec spec{view_qualified<Y>, spec_basic_size<ViewObject>(), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                     slots.data()};
    return create_dict_class(view_name<Y>, spec);
}

template <Yield Y>
ProcessCell view_cell;

template <Yield Y>
Ref make_view(AVLDictObject& map) {
    PyObject* self = allocate_instance(request_dict_class(view_cell<Y>, create_view<Y>, view_name<Y>));
    ViewObject& view = new_fields<ViewObject>(self);
    new (&view.map) Ref(Ref::borrow(object_of(map)));
    return Ref::steal(self);
}

constexpr CallDescription keys_call = describe_dict("keys");
constexpr CallDescription values_call = describe_dict("values");
constexpr CallDescription items_call = describe_dict("items");

}  // namespace

PyTypeObject* keys_view_type() {
    return request_dict_class(view_cell<Yield::keys>, create_view<Yield::keys>, view_name<Yield::keys>);
}
PyTypeObject* values_view_type() {
    return request_dict_class(view_cell<Yield::values>, create_view<Yield::values>,
                              view_name<Yield::values>);
}
PyTypeObject* items_view_type() {
    return request_dict_class(view_cell<Yield::items>, create_view<Yield::items>, view_name<Yield::items>);
}

namespace entries {

const NoArgs dict_keys = Member<keys_call, Access::shared, make_view<Yield::keys>>::no_arguments;
const NoArgs dict_values = Member<values_call, Access::shared, make_view<Yield::values>>::no_arguments;
const NoArgs dict_items = Member<items_call, Access::shared, make_view<Yield::items>>::no_arguments;

}  // namespace entries
}  // namespace quorel::python
