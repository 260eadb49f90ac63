// Walking members of AVLTree: each copies its result into a snapshot under the shared
// borrow and returns an _AVLTreeIterator over it. Endpoints are already-extracted keys.
#include "python/avltree_entries.hpp"
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
constexpr entries::NoArgs walk =
    Member<Description, Access::shared, whole_walk<Walk, InKeyOrder>>::no_arguments;

}  // namespace

namespace entries {

const Fastcall range = Member<range_call, Access::shared, range_walk>::method;
const Fastcall iter_from =
    Member<iter_from_call, Access::shared, bounded_walk<&tree::Tree::iter_from>>::method;
const Fastcall iter_to =
    Member<iter_to_call, Access::shared, bounded_walk<&tree::Tree::iter_to>>::method;

const NoArgs in_order = walk<in_order_call, &tree::Tree::in_order, true>;
const NoArgs descending = walk<descending_call, &tree::Tree::descending, true>;
const NoArgs pre_order = walk<pre_order_call, &tree::Tree::pre_order>;
const NoArgs post_order = walk<post_order_call, &tree::Tree::post_order>;
const NoArgs level_order = walk<level_order_call, &tree::Tree::level_order>;

PyObject* tree_iter(PyObject* self) noexcept { return in_order(self, nullptr); }

}  // namespace entries
}  // namespace quorel::python
