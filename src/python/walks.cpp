// Walking members of AVLTree: each copies its result into a snapshot under the shared
// borrow and returns an _AVLTreeIterator over it. Endpoints are already-extracted keys.
#include "python/avltree_members.hpp"
#include "python/member_entry.hpp"

namespace quorel::python {
namespace {

constexpr const char* range_positional[] = {"start", "end"};
constexpr KeywordOnlyParameter range_keywords[] = {{"include_start", false},
                                                   {"include_end", false}};
constexpr CallDescription range_call{"AVLTree", "range", range_positional, 0, 0, range_keywords};

constexpr const char* iter_from_positional[] = {"start", "count"};
constexpr CallDescription iter_from_call{"AVLTree", "iter_from", iter_from_positional, 0, 2, {}};

constexpr const char* iter_to_positional[] = {"end", "count"};
constexpr CallDescription iter_to_call{"AVLTree", "iter_to", iter_to_positional, 0, 2, {}};

// An absent endpoint or None leaves that side unbounded.
PyObject* endpoint(PyObject* argument) { return argument == Py_None ? nullptr : argument; }

bool flag(PyObject* argument, const char* parameter, bool absent) {
    if (argument == nullptr) {
        return absent;
    }
    return converted(parameter, [&] { return to_bool(argument); });
}

Ref range_walk(AVLTreeObject& self, PyObject* start, PyObject* end, PyObject* include_start,
               PyObject* include_end) {
    const bool from_start = flag(include_start, "include_start", true);
    const bool to_end = flag(include_end, "include_end", false);
    return make_iterator(self.tree.range(endpoint(start), endpoint(end), from_start, to_end));
}

template <tree::Snapshot (tree::Tree::*Query)(PyObject*, std::uint64_t) const>
Ref bounded_walk(AVLTreeObject& self, PyObject* bound, PyObject* count) {
    const std::uint64_t n = converted("count", [&] { return to_u64(count); });
    return make_iterator((self.tree.*Query)(bound, n));
}

// A whole walk in key order may first lay the nodes out in key order, when no other
// member is part-way through the tree.
template <tree::Snapshot (tree::Tree::*Walk)() const, bool InKeyOrder = false>
Ref whole_walk(AVLTreeObject& self) {
    if constexpr (InKeyOrder) {
        self.borrow.alone([&] { self.tree.lay_out_before_walk(); });
    }
    return make_iterator((self.tree.*Walk)());
}

constexpr CallDescription in_order_call = describe("in_order");
constexpr CallDescription descending_call = describe("descending");
constexpr CallDescription pre_order_call = describe("pre_order");
constexpr CallDescription post_order_call = describe("post_order");
constexpr CallDescription level_order_call = describe("level_order");

template <const CallDescription& Description, tree::Snapshot (tree::Tree::*Walk)() const,
          bool InKeyOrder = false>
using WholeWalk = Member<Description, Access::shared, whole_walk<Walk, InKeyOrder>>;

using Ascending = WholeWalk<in_order_call, &tree::Tree::in_order, true>;

const PyMethodDef methods[] = {
    Member<range_call, Access::shared, range_walk>::entry(
        "range($self, start=None, end=None, *, include_start=True, include_end=False)\n--\n\n"
        "Return values whose extracted keys fall between optional endpoints.\n\n"
        "Endpoints are already-extracted keys. The start is inclusive and the\n"
        "end is exclusive by default. Invalid or incomparable keys raise."),
    Member<iter_from_call, Access::shared, bounded_walk<&tree::Tree::iter_from>>::entry(
        "iter_from($self, start, count)\n--\n\n"
        "Return at most `count` values from an inclusive lower-bound key.\n"
        "`start` is an already-extracted key. If it is absent from the tree,\n"
        "iteration begins at the first greater key."),
    Member<iter_to_call, Access::shared, bounded_walk<&tree::Tree::iter_to>>::entry(
        "iter_to($self, end, count)\n--\n\n"
        "Return at most `count` values from an inclusive upper-bound key.\n"
        "Values are returned in descending order. `end` is an already-\n"
        "extracted key; if absent, iteration begins at the first smaller key."),
    Ascending::entry("in_order($self)\n--\n\nReturn a snapshot iterator in ascending key order."),
    WholeWalk<descending_call, &tree::Tree::descending, true>::entry(
        "descending($self)\n--\n\nReturn a snapshot iterator in descending key order."),
    WholeWalk<pre_order_call, &tree::Tree::pre_order>::entry(
        "pre_order($self)\n--\n\nReturn a snapshot iterator in root-left-right order."),
    WholeWalk<post_order_call, &tree::Tree::post_order>::entry(
        "post_order($self)\n--\n\nReturn a snapshot iterator in left-right-root order."),
    WholeWalk<level_order_call, &tree::Tree::level_order>::entry(
        "level_order($self)\n--\n\nReturn a breadth-first snapshot iterator, level by level."),
};

const PyType_Slot slots[] = {
    Ascending::slot<Py_tp_iter>(),
};

}  // namespace

Ref descending_walk(AVLTreeObject& tree) {
    return whole_walk<&tree::Tree::descending, true>(tree);
}

const MemberGroup walk_members{methods, slots, {}};

}  // namespace quorel::python
