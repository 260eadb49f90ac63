// The ordered members of the map itself (yielding keys) and its positions: index, the
// bisections, peekitem and popitem. Positions count from 0 in ascending key order;
// negative ones count from the end.
#include "python/avldict_entries.hpp"
#include "python/avldict_ordered.hpp"
#include "python/member_entry.hpp"
#include "python/position_arguments.hpp"

namespace quorel::python {

namespace {

constexpr const char* range_positional[] = {"start", "end"};
constexpr KeywordOnlyParameter range_keywords[] = {{"include_start", false},
                                                   {"include_end", false}};
constexpr CallDescription range_call{"AVLDict", "range", range_positional, 0, 0, range_keywords};
constexpr const char* iter_from_positional[] = {"start", "count"};
constexpr CallDescription iter_from_call{"AVLDict", "iter_from", iter_from_positional, 0, 2, {}};
constexpr const char* iter_to_positional[] = {"end", "count"};
constexpr CallDescription iter_to_call{"AVLDict", "iter_to", iter_to_positional, 0, 2, {}};
constexpr CallDescription floor_call = describe_dict("floor", key_parameter);
constexpr CallDescription ceiling_call = describe_dict("ceiling", key_parameter);
constexpr CallDescription lower_call = describe_dict("lower", key_parameter);
constexpr CallDescription higher_call = describe_dict("higher", key_parameter);
constexpr CallDescription index_call = describe_dict("index", key_parameter);
constexpr CallDescription bisect_left_call = describe_dict("bisect_left", key_parameter);
constexpr CallDescription bisect_right_call = describe_dict("bisect_right", key_parameter);
constexpr const char* index_parameter[] = {"index"};
constexpr CallDescription peekitem_call{"AVLDict", "peekitem", index_parameter, 0, 0, {}};
constexpr CallDescription popitem_call{"AVLDict", "popitem", index_parameter, 0, 0, {}};

Ref index_of_key(AVLDictObject& map, PyObject* key) {
    const std::int64_t found = map.tree.index_of(key);
    if (found < 0) {
        Ref message = checked(PyUnicode_FromFormat("%R is not in AVLDict", key));
        PyErr_SetObject(PyExc_ValueError, message.get());
        throw_fetched();
    }
    return checked(PyLong_FromLongLong(found));
}

template <bool After>
Ref bisect(AVLDictObject& map, PyObject* key) {
    return checked(PyLong_FromUnsignedLongLong(map.tree.rank(key, After)));
}

// The position `index` names (the last one when absent), converted with its note; false
// when it lies outside the map.
bool chosen_position(AVLDictObject& map, PyObject* index, std::uint64_t& at) {
    Ref number =
        index == nullptr ? Ref() : converted("index", [&] { return checked(PyNumber_Index(index)); });
    const std::uint64_t size = map.tree.size();
    if (size == 0) {
        return false;
    }
    at = size - 1;
    return !number || position(number.get(), size, at);
}

Ref peek_item(AVLDictObject& map, PyObject* index) {
    std::uint64_t at = 0;
    if (!chosen_position(map, index, at)) {
        throw_error(PyExc_IndexError, "list index out of range");
    }
    return yielded<Yield::items>(map, map.tree.at(at));
}

Ref pop_item(AVLDictObject& map, PyObject* index) {
    std::uint64_t at = 0;
    const bool inside = chosen_position(map, index, at);
    if (map.tree.size() == 0) {
        throw_error(PyExc_KeyError, "popitem(): dictionary is empty");
    }
    if (!inside) {
        throw_error(PyExc_IndexError, "list index out of range");
    }
    tree::Entry removed = take_at(map, at);
    return checked(PyTuple_Pack(2, removed.key.get(), removed.value.get()));
}

const PyMethodDef methods[] = {
    Member<range_call, Access::shared, range_of<Yield::keys>>::entry(
        "range($self, start=None, end=None, *, include_start=True, include_end=False)\n--\n\n"
        "Return a snapshot iterator over the keys between optional endpoints.\n\n"
        "The start is inclusive and the end is exclusive by default; `None` leaves\n"
        "a side open."),
    Member<iter_from_call, Access::shared, bounded_of<Yield::keys, &tree::Tree::iter_from>>::entry(
        "iter_from($self, start, count)\n--\n\n"
        "Return a snapshot iterator over at most `count` keys, ascending from the\n"
        "first key not less than `start`."),
    Member<iter_to_call, Access::shared, bounded_of<Yield::keys, &tree::Tree::iter_to>>::entry(
        "iter_to($self, end, count)\n--\n\n"
        "Return a snapshot iterator over at most `count` keys, descending from the\n"
        "first key not greater than `end`."),
    Member<floor_call, Access::shared, neighbour_of<Yield::keys, &tree::Tree::floor, true>>::entry(
        "floor($self, key)\n--\n\nReturn the greatest key not greater than `key`, or `None`."),
    Member<ceiling_call, Access::shared, neighbour_of<Yield::keys, &tree::Tree::ceiling, true>>::entry(
        "ceiling($self, key)\n--\n\nReturn the least key not less than `key`, or `None`."),
    Member<lower_call, Access::shared, neighbour_of<Yield::keys, &tree::Tree::floor, false>>::entry(
        "lower($self, key)\n--\n\nReturn the greatest key less than `key`, or `None`."),
    Member<higher_call, Access::shared, neighbour_of<Yield::keys, &tree::Tree::ceiling, false>>::entry(
        "higher($self, key)\n--\n\nReturn the least key greater than `key`, or `None`."),
    Member<index_call, Access::shared, index_of_key>::entry(
        "index($self, key)\n--\n\n"
        "Return the position of `key` in ascending key order; raise `ValueError`\n"
        "when it is absent."),
    Member<bisect_left_call, Access::shared, bisect<false>>::entry(
        "bisect_left($self, key)\n--\n\nReturn how many stored keys are less than `key`."),
    Member<bisect_right_call, Access::shared, bisect<true>>::entry(
        "bisect_right($self, key)\n--\n\nReturn how many stored keys are not greater than `key`."),
    Member<peekitem_call, Access::shared, peek_item>::entry(
        "peekitem($self, index=-1)\n--\n\n"
        "Return the (key, value) item at `index` in ascending key order (the last\n"
        "by default); raise `IndexError` when `index` is out of range."),
    Member<popitem_call, Access::exclusive, pop_item>::entry(
        "popitem($self, index=-1)\n--\n\n"
        "Remove and return the (key, value) item at `index` in ascending key order\n"
        "(the largest key by default). Raise `KeyError` when the map is empty and\n"
        "`IndexError` when `index` is out of range."),
};

}  // namespace

const MemberGroup dict_position_members{methods, {}, {}};

}  // namespace quorel::python
