// Set operations between an AVLTree and other trees or iterables, matching values by key.
// Results are new trees with the left tree's key rule, built in the balanced builder's
// shape; the in-place forms replace the tree with such a build. Nothing changes before
// every key is extracted and compared, so a failure leaves every operand as it was.
#include "call_boundary/binding.hpp"
#include "call_boundary/entry.hpp"
#include "python/avltree_entries.hpp"
#include "python/member_entry.hpp"
#include "python/operands.hpp"
#include "python/release.hpp"

namespace quorel::python {
namespace {

constexpr const char* other_parameter[] = {"other"};

constexpr CallDescription symmetric_difference_call =
    describe("symmetric_difference", other_parameter);
constexpr CallDescription symmetric_difference_update_call =
    describe("symmetric_difference_update", other_parameter);
constexpr CallDescription issubset_call = describe("issubset", other_parameter);
constexpr CallDescription issuperset_call = describe("issuperset", other_parameter);
constexpr CallDescription isdisjoint_call = describe("isdisjoint", other_parameter);

Ref new_tree(AVLTreeObject& left, PyObject* const* others, std::size_t count,
             tree::Selection keep) {
    Operands operands(left, others, count);
    Borrows borrows(left, Access::shared, operands);
    return wrap_tree(avltree_type(), tree::tree_of(combined(left, operands, keep)),
                     left.key_rule.copy());
}

void combine_in_place(AVLTreeObject& target, PyObject* const* others, std::size_t count,
                      tree::Selection keep) {
    Operands operands(target, others, count);
    tree::Tree old;
    {
        Borrows borrows(target, Access::exclusive, operands);
        old = replace_tree(target, tree::tree_of(combined(target, operands, keep)));
    }
    release_bounded(std::move(old));
}

template <const tree::Selection& Keep>
PyObject* variadic_new(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return boundary::object_entry(
        [&] { return new_tree(AVLTreeObject::of(self), args, std::size_t(nargs), Keep); });
}

template <const tree::Selection& Keep>
PyObject* variadic_in_place(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return boundary::object_entry([&] {
        combine_in_place(AVLTreeObject::of(self), args, std::size_t(nargs), Keep);
        return Ref::borrow(Py_None);
    });
}

// Members of one parameter, `other`; the body takes its own borrows.
template <const CallDescription& Description, Ref (*Body)(AVLTreeObject&, PyObject*)>
PyObject* with_other(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return boundary::object_entry([&] {
        PyObject* other =
            nargs == 1 && kwnames == nullptr ? args[0] : bind<1>(Description, args, nargs, kwnames)[0];
        return Body(AVLTreeObject::of(self), other);
    });
}

Ref symmetric_difference_of(AVLTreeObject& self, PyObject* other) {
    return new_tree(self, &other, 1, tree::symmetric_difference_selection);
}

Ref symmetric_difference_in_place(AVLTreeObject& self, PyObject* other) {
    combine_in_place(self, &other, 1, tree::symmetric_difference_selection);
    return Ref::borrow(Py_None);
}

// Whether the merge of the tree's keys with the other's meets no key of the sought kind.
template <const tree::Selection& Sought>
Ref meets_none(AVLTreeObject& self, PyObject* other) {
    Operands operands(self, &other, 1);
    Borrows borrows(self, Access::shared, operands);
    return truth(!tree::meets(tree::views_of(self.tree), operands.views(0), Sought));
}

inline constexpr tree::Selection only_in_left{true, false, false};
inline constexpr tree::Selection only_in_other{false, true, false};
inline constexpr tree::Selection in_both{false, false, true};

// The operators apply between two trees only, as set's do between sets.
template <const tree::Selection& Keep>
PyObject* operator_new(PyObject* a, PyObject* b) noexcept {
    if (as_tree(a) == nullptr || as_tree(b) == nullptr) {
        return Ref::borrow(Py_NotImplemented).release();
    }
    return variadic_new<Keep>(a, &b, 1);
}

template <const tree::Selection& Keep>
PyObject* operator_in_place(PyObject* a, PyObject* b) noexcept {
    if (as_tree(a) == nullptr || as_tree(b) == nullptr) {
        return Ref::borrow(Py_NotImplemented).release();
    }
    return boundary::object_entry([&] {
        combine_in_place(AVLTreeObject::of(a), &b, 1, Keep);
        return Ref::borrow(a);
    });
}

}  // namespace

namespace entries {

const Variadic union_of = variadic_new<tree::union_selection>;
const Variadic intersection = variadic_new<tree::intersection_selection>;
const Variadic difference = variadic_new<tree::difference_selection>;
const Variadic intersection_update = variadic_in_place<tree::intersection_selection>;
const Variadic difference_update = variadic_in_place<tree::difference_selection>;

const Fastcall symmetric_difference =
    with_other<symmetric_difference_call, symmetric_difference_of>;
const Fastcall symmetric_difference_update =
    with_other<symmetric_difference_update_call, symmetric_difference_in_place>;
const Fastcall issubset = with_other<issubset_call, meets_none<only_in_left>>;
const Fastcall issuperset = with_other<issuperset_call, meets_none<only_in_other>>;
const Fastcall isdisjoint = with_other<isdisjoint_call, meets_none<in_both>>;

const Binary tree_or = operator_new<tree::union_selection>;
const Binary tree_and = operator_new<tree::intersection_selection>;
const Binary tree_subtract = operator_new<tree::difference_selection>;
const Binary tree_xor = operator_new<tree::symmetric_difference_selection>;
const Binary tree_inplace_and = operator_in_place<tree::intersection_selection>;
const Binary tree_inplace_subtract = operator_in_place<tree::difference_selection>;
const Binary tree_inplace_xor = operator_in_place<tree::symmetric_difference_selection>;

}  // namespace entries
}  // namespace quorel::python
