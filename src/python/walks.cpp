// Walking members of AVLTree: each copies its result into a snapshot under the shared
// borrow and returns an _AVLTreeIterator over it. Endpoints are already-extracted keys.
#include "call_boundary/binding.hpp"
#include "call_boundary/convert.hpp"
#include "call_boundary/entry.hpp"
#include "python/avltree.hpp"
#include "python/avltree_entries.hpp"

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

PyObject* range_walk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return boundary::object_entry([&] {
        const auto bound = bind<4>(range_call, args, nargs, kwnames);
        AVLTreeObject& tree = AVLTreeObject::of(self);
        SharedBorrow borrow(tree.borrow);
        PyObject* start = endpoint(bound[0]);
        PyObject* end = endpoint(bound[1]);
        const bool include_start = flag(bound[2], "include_start", true);
        const bool include_end = flag(bound[3], "include_end", false);
        return make_iterator(tree.tree.range(start, end, include_start, include_end));
    });
}

template <const CallDescription& Description,
          tree::Snapshot (tree::Tree::*Query)(PyObject*, std::uint64_t) const>
PyObject* bounded_walk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return boundary::object_entry([&] {
        const auto bound = bind<2>(Description, args, nargs, kwnames);
        AVLTreeObject& tree = AVLTreeObject::of(self);
        SharedBorrow borrow(tree.borrow);
        const std::uint64_t count = converted("count", [&] { return to_u64(bound[1]); });
        return make_iterator((tree.tree.*Query)(bound[0], count));
    });
}

// A whole walk in key order may first lay the nodes out in key order, unless another
// member is part-way through the tree.
template <tree::Snapshot (tree::Tree::*Walk)() const, bool InKeyOrder = false>
PyObject* whole_walk(PyObject* self, PyObject*) noexcept {
    return boundary::object_entry([&] {
        AVLTreeObject& tree = AVLTreeObject::of(self);
        SharedBorrow borrow(tree.borrow);
        if (InKeyOrder && tree.borrow.sole_shared()) {
            tree.tree.lay_out_before_walk();
        }
        return make_iterator((tree.tree.*Walk)());
    });
}

}  // namespace

namespace entries {

const Fastcall range = range_walk;
const Fastcall iter_from = bounded_walk<iter_from_call, &tree::Tree::iter_from>;
const Fastcall iter_to = bounded_walk<iter_to_call, &tree::Tree::iter_to>;

const NoArgs in_order = whole_walk<&tree::Tree::in_order, true>;
const NoArgs descending = whole_walk<&tree::Tree::descending, true>;
const NoArgs pre_order = whole_walk<&tree::Tree::pre_order>;
const NoArgs post_order = whole_walk<&tree::Tree::post_order>;
const NoArgs level_order = whole_walk<&tree::Tree::level_order>;

PyObject* tree_iter(PyObject* self) noexcept { return in_order(self, nullptr); }

}  // namespace entries
}  // namespace quorel::python
