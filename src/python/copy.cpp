// Copies of a tree. __copy__ and copy() share the stored values and keys; __deepcopy__
// copies them with copy.deepcopy and the caller's memo. Both keep the tree's shape, node
// by node in linear time, and make no comparisons.
#include "python/avltree_entries.hpp"
#include "python/member_entry.hpp"

namespace quorel::python {
namespace {

constexpr const char* memo_parameter[] = {"memo"};
constexpr CallDescription deepcopy_call{"AVLTree", "__deepcopy__", memo_parameter, 0, 1, {}};

constexpr CallDescription copy_call = describe("copy");

Ref shallow_copy(AVLTreeObject& source) {
    auto same = [](PyObject* value, PyObject* key) {
        return tree::Entry(Ref::borrow(value), Ref::borrow(key));
    };
    return wrap_tree(avltree_type(), source.tree.clone(same), source.key_rule.copy());
}

// The new tree enters the memo before anything is copied, so that values referring back
// to this tree get the copy, as they would in a list. Until it is filled it is empty and
// exclusively borrowed: code run by a value's __deepcopy__ that finds it is refused.
Ref deep_copy(AVLTreeObject& source, PyObject* memo) {
    Ref module = checked(PyImport_ImportModule("copy"));
    Ref deepcopy = checked(PyObject_GetAttrString(module.get(), "deepcopy"));
    Ref own_memo;
    if (memo == Py_None) {
        own_memo = checked(PyDict_New());
        memo = own_memo.get();
    }
    auto copied = [&](PyObject* object) {
        return checked(PyObject_CallFunctionObjArgs(deepcopy.get(), object, memo, nullptr));
    };
    Ref result = wrap_tree(avltree_type(), tree::Tree(), KeyExtractor());
    Ref id = checked(PyLong_FromVoidPtr(object_of(source)));
    check_status(PyObject_SetItem(memo, id.get(), result.get()));
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

}  // namespace

namespace entries {

PyObject* tree_copy(PyObject* self, PyObject* unused) noexcept {
    return Member<copy_call, Access::shared, shallow_copy>::no_arguments(self, unused);
}

PyObject* tree_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return Member<deepcopy_call, Access::shared, deep_copy>::method(self, args, nargs, kwnames);
}

}  // namespace entries
}  // namespace quorel::python
