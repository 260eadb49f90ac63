// Set operations between an AVLTree and other trees or iterables, matching values by key.
// Results are new trees with the left tree's key rule, built in the balanced builder's
// shape; the in-place forms replace the tree with such a build. Nothing changes before
// every key is extracted and compared, so a failure leaves every operand as it was.
#include "python/avltree_members.hpp"
#include "python/member_entry.hpp"
#include "python/operands.hpp"

namespace quorel::python {
namespace {

template <const tree::Selection& Keep>
Ref new_tree(AVLTreeObject& left, Operands& operands) {
    return wrap_tree(avltree_type(), tree::tree_of(combined(left, operands, Keep)),
                     left.key_rule.copy());
}

template <const tree::Selection& Keep>
Ref combine_in_place(AVLTreeObject& target, Operands& operands) {
    operands.replace_left(tree::tree_of(combined(target, operands, Keep)));
    return Ref::borrow(Py_None);
}

// Whether the merge of the tree's keys with the other's meets no key of the sought kind.
template <const tree::Selection& Sought>
Ref meets_none(AVLTreeObject& self, Operands& operands) {
    return truth(!tree::meets(tree::views_of(self.tree), operands.views(0), Sought));
}

inline constexpr tree::Selection only_in_left{true, false, false};
inline constexpr tree::Selection only_in_other{false, true, false};
inline constexpr tree::Selection in_both{false, false, true};

constexpr VariadicDescription union_call{"AVLTree", "union"};
constexpr VariadicDescription intersection_call{"AVLTree", "intersection"};
constexpr VariadicDescription difference_call{"AVLTree", "difference"};
constexpr VariadicDescription intersection_update_call{"AVLTree", "intersection_update"};
constexpr VariadicDescription difference_update_call{"AVLTree", "difference_update"};

constexpr const char* other_parameter[] = {"other"};
constexpr CallDescription symmetric_difference_call =
    describe("symmetric_difference", other_parameter);
constexpr CallDescription symmetric_difference_update_call =
    describe("symmetric_difference_update", other_parameter);
constexpr CallDescription issubset_call = describe("issubset", other_parameter);
constexpr CallDescription issuperset_call = describe("issuperset", other_parameter);
constexpr CallDescription isdisjoint_call = describe("isdisjoint", other_parameter);

using Union = Member<union_call, Access::shared, new_tree<tree::union_selection>>;
using Intersection =
    Member<intersection_call, Access::shared, new_tree<tree::intersection_selection>>;
using Difference = Member<difference_call, Access::shared, new_tree<tree::difference_selection>>;
using SymmetricDifference = Member<symmetric_difference_call, Access::shared,
                                   new_tree<tree::symmetric_difference_selection>>;
using IntersectionUpdate = Member<intersection_update_call, Access::exclusive,
                                  combine_in_place<tree::intersection_selection>>;
using DifferenceUpdate = Member<difference_update_call, Access::exclusive,
                                combine_in_place<tree::difference_selection>>;
using SymmetricDifferenceUpdate =
    Member<symmetric_difference_update_call, Access::exclusive,
           combine_in_place<tree::symmetric_difference_selection>>;

const PyMethodDef methods[] = {
    Union::entry("union($self, *others)\n--\n\n"
                 "Return a new tree with the values of the tree and of every other.\n\n"
                 "For a key present in several operands, the leftmost value is kept."),
    Intersection::entry("intersection($self, *others)\n--\n\n"
                        "Return a new tree with the values whose keys every other also has."),
    Difference::entry("difference($self, *others)\n--\n\n"
                      "Return a new tree with the values whose keys no other has."),
    SymmetricDifference::entry(
        "symmetric_difference($self, other)\n--\n\n"
        "Return a new tree with the values whose keys exactly one operand has."),
    IntersectionUpdate::entry("intersection_update($self, *others)\n--\n\n"
                              "Keep only the values whose keys every other also has."),
    DifferenceUpdate::entry("difference_update($self, *others)\n--\n\n"
                            "Remove the values whose keys any other has."),
    SymmetricDifferenceUpdate::entry(
        "symmetric_difference_update($self, other)\n--\n\n"
        "Keep the values whose keys exactly one of the tree and `other` has."),
    Member<issubset_call, Access::shared, meets_none<only_in_left>>::entry(
        "issubset($self, other)\n--\n\n"
        "Return whether `other` has the key of every value in the tree."),
    Member<issuperset_call, Access::shared, meets_none<only_in_other>>::entry(
        "issuperset($self, other)\n--\n\n"
        "Return whether the tree has the key of every value in `other`."),
    Member<isdisjoint_call, Access::shared, meets_none<in_both>>::entry(
        "isdisjoint($self, other)\n--\n\n"
        "Return whether the tree and `other` have no key in common."),
};

// The operators are the members above, between two trees only; |= is update's.
const PyType_Slot slots[] = {
    Union::slot<Py_nb_or>(),
    Intersection::slot<Py_nb_and>(),
    Difference::slot<Py_nb_subtract>(),
    SymmetricDifference::slot<Py_nb_xor>(),
    IntersectionUpdate::slot<Py_nb_inplace_and>(),
    DifferenceUpdate::slot<Py_nb_inplace_subtract>(),
    SymmetricDifferenceUpdate::slot<Py_nb_inplace_xor>(),
};

}  // namespace

const MemberGroup set_members{methods, slots, {}};

}  // namespace quorel::python
