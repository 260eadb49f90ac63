// The ordered queries of AVLDict, written once for the map and its three views: the tree
// finds the keys, and each one yields what its caller holds (the key, its value, or the
// (key, value) item). Values are looked up in the index by the stored key object.
#pragma once

#include <cstdint>

#include "call_boundary/convert.hpp"
#include "python/avldict.hpp"
#include "python/avltree.hpp"
#include "python/position_arguments.hpp"

namespace quorel::python {

enum class Yield { keys, values, items };

// What a stored key yields; a new reference.
template <Yield Y>
Ref yielded(const AVLDictObject& map, PyObject* key) {
    if constexpr (Y == Yield::keys) {
        return Ref::borrow(key);
    } else if constexpr (Y == Yield::values) {
        return Ref::borrow(stored_value(map, key));
    } else {
        return checked(PyTuple_Pack(2, key, stored_value(map, key)));
    }
}

template <Yield Y>
tree::Snapshot yielded_all(const AVLDictObject& map, tree::Snapshot keys) {
    if constexpr (Y == Yield::keys) {
        return keys;
    } else if constexpr (Y == Yield::values) {
        return values_of(map, keys);
    } else {
        return items_of(map, keys);
    }
}

template <Yield Y>
Ref yield_iterator(const AVLDictObject& map, tree::Snapshot keys) {
    return make_iterator(yielded_all<Y>(map, std::move(keys)));
}

// Whole walks; the first may lay the nodes out in key order when nothing else is
// part-way through the tree.
template <Yield Y>
Ref ascending(AVLDictObject& map) {
    map.borrow.alone([&] { map.tree.lay_out_before_walk(); });
    if constexpr (Y == Yield::keys) {
        return make_iterator(map.tree.in_order());
    } else {
        return make_iterator(Y == Yield::values ? values_in_order(map) : items_in_order(map));
    }
}

template <Yield Y>
Ref descending(AVLDictObject& map) {
    map.borrow.alone([&] { map.tree.lay_out_before_walk(); });
    return yield_iterator<Y>(map, map.tree.descending());
}

// range(start=None, end=None, *, include_start=True, include_end=False): None or an absent
// endpoint leaves that side open.
template <Yield Y>
Ref range_of(AVLDictObject& map, PyObject* start, PyObject* end, PyObject* include_start,
             PyObject* include_end) {
    auto flag = [](PyObject* argument, const char* parameter, bool absent) {
        return argument == nullptr ? absent : converted(parameter, [&] { return to_bool(argument); });
    };
    const bool from_start = flag(include_start, "include_start", true);
    const bool to_end = flag(include_end, "include_end", false);
    PyObject* low = start == Py_None ? nullptr : start;
    PyObject* high = end == Py_None ? nullptr : end;
    return yield_iterator<Y>(map, map.tree.range(low, high, from_start, to_end));
}

template <Yield Y, tree::Snapshot (tree::Tree::*Query)(PyObject*, std::uint64_t) const>
Ref bounded_of(AVLDictObject& map, PyObject* bound, PyObject* count) {
    const std::uint64_t n = converted("count", [&] { return to_u64(count); });
    return yield_iterator<Y>(map, (map.tree.*Query)(bound, n));
}

// floor, ceiling, lower, higher: what the neighbouring key yields, or None.
template <Yield Y, PyObject* (tree::Tree::*Side)(PyObject*, bool) const, bool Inclusive>
Ref neighbour_of(AVLDictObject& map, PyObject* key) {
    PyObject* found = (map.tree.*Side)(key, Inclusive);
    return found == nullptr ? Ref::borrow(Py_None) : yielded<Y>(map, found);
}

// view[i] and view[slice]: what the key at a position yields, or a list for a slice.
template <Yield Y>
Ref at_position(AVLDictObject& map, PyObject* item) {
    const std::uint64_t size = map.tree.size();
    if (PySlice_Check(item)) {
        const SlicePositions chosen = slice_positions(item, size);
        return as_list(yielded_all<Y>(map, map.tree.slice(chosen.start, chosen.step, chosen.length)));
    }
    std::uint64_t at = 0;
    if (!PyIndex_Check(item)) {
        throw_error(PyExc_TypeError, "view indices must be integers or slices");
    }
    if (!position(item, size, at)) {
        throw_error(PyExc_IndexError, "list index out of range");
    }
    return yielded<Y>(map, map.tree.at(at));
}

}  // namespace quorel::python
