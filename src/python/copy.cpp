// Copies of a tree. __copy__ and copy() share the stored values and keys; __deepcopy__
// copies them with copy.deepcopy and the caller's memo. Both keep the tree's shape, node
// by node in linear time, and make no comparisons. The group of these members also holds
// the two protocol members that the published order places among them: __reversed__ and
// __class_getitem__.
#include "python/avltree_members.hpp"
#include "python/deep_copy.hpp"
#include "python/member_entry.hpp"

namespace quorel::python {
namespace {

constexpr const char* memo_parameter[] = {"memo"};
constexpr CallDescription deepcopy_call{"AVLTree", "__deepcopy__", memo_parameter, 0, 1, {}};

constexpr CallDescription copy_call = describe("copy");
constexpr CallDescription dunder_copy_call = describe("__copy__");

Ref shallow_copy(AVLTreeObject& source) {
    auto same = [](PyObject* value, PyObject* key) {
        return tree::Entry(Ref::borrow(value), Ref::borrow(key));
    };
    return wrap_tree(avltree_type(), source.tree.clone(same), source.key_rule.copy());
}

// The new tree is remembered before anything is copied. Until it is filled it is empty and
// exclusively borrowed: code run by a value's __deepcopy__ that finds it is refused.
Ref deep_copy(AVLTreeObject& source, PyObject* memo) {
    const DeepCopier copied(memo);
    Ref result = wrap_tree(avltree_type(), tree::Tree(), KeyExtractor());
    copied.remember(object_of(source), result.get());
    AVLTreeObject& target = AVLTreeObject::of(result.get());
    ExclusiveBorrow filling(target.borrow);
    auto copy_entry = [&](PyObject* value, PyObject* key) {
        Ref value_copy = copied(value);
        // With the identity rule the key is the value: one copy serves both, as the memo
        // would give.
        Ref key_copy = key == value ? value_copy.new_ref() : copied(key);
        return tree::Entry(std::move(value_copy), std::move(key_copy));
    };
    tree::Tree filled = source.tree.clone(copy_entry);
    Ref spec = copied(source.key_rule.to_argument().get());
    KeyExtractor rule = spec.get() == Py_None ? KeyExtractor() : KeyExtractor::classify(spec.get());
    target.tree = std::move(filled);
    target.key_rule = std::move(rule);
    return result;
}

constexpr CallDescription reversed_call = describe("__reversed__");

constexpr const char* item_parameter[] = {"item"};
constexpr CallDescription class_getitem_call = describe("__class_getitem__", item_parameter);

// AVLTree[int] and the like: a runtime generic alias, as list[int] is.
Ref generic_alias(PyObject* type, PyObject* item) { return checked(Py_GenericAlias(type, item)); }

const PyMethodDef methods[] = {
    Member<reversed_call, Access::shared, descending_walk>::entry(
        "__reversed__($self)\n--\n\nReturn a snapshot iterator in descending key order."),
    Member<copy_call, Access::shared, shallow_copy>::entry(
        "copy($self)\n--\n\n"
        "Return a new tree with the same key rule, values and keys, built in\n"
        "O(n) time without comparisons."),
    Member<class_getitem_call, no_borrow, generic_alias>::class_entry(
        "__class_getitem__($cls, item, /)\n--\n\nSee PEP 585"),
    Member<dunder_copy_call, Access::shared, shallow_copy>::entry(
        "__copy__($self)\n--\n\nReturn a shallow copy, as `copy` does."),
    Member<deepcopy_call, Access::shared, deep_copy>::entry(
        "__deepcopy__($self, memo)\n--\n\n"
        "Return a deep copy: the values and keys are copied with `copy.deepcopy`\n"
        "and `memo`, in ascending key order, after the new tree has entered\n"
        "`memo`, so values that refer back to this tree refer to the copy. The\n"
        "copy has the same shape; no keys are compared."),
};

}  // namespace

const MemberGroup copy_members{methods, {}, {}};

}  // namespace quorel::python
