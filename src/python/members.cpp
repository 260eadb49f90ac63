// Lookup and mutation members of AVLTree. Members taking a `value` apply the key rule to
// it exactly once; members taking a `key` use the object unchanged.
#include "python/avltree.hpp"
#include "python/avltree_entries.hpp"
#include "python/member_entry.hpp"

namespace quorel::python {
namespace {

constexpr CallDescription insert_call = describe("insert", value_parameter);
constexpr CallDescription remove_call = describe("remove", value_parameter);
constexpr CallDescription remove_key_call = describe("remove_key", key_parameter);
constexpr CallDescription search_call = describe("search", value_parameter);
constexpr CallDescription get_call = describe("get", value_parameter);
constexpr CallDescription search_key_call = describe("search_key", key_parameter);
constexpr CallDescription contains_call = describe("contains", value_parameter);
constexpr CallDescription has_node_call = describe("has_node", value_parameter);
constexpr CallDescription contains_key_call = describe("contains_key", key_parameter);

Ref insert_value(AVLTreeObject& self, PyObject* value) {
    Ref key = self.key_rule.extract(value);
    return truth(self.tree.insert(tree::Entry(Ref::borrow(value), std::move(key))));
}

Ref remove_value(AVLTreeObject& self, PyObject* value) {
    Ref key = self.key_rule.extract(value);
    return truth(self.tree.remove(key.get()));
}

Ref remove_by_key(AVLTreeObject& self, PyObject* key) { return truth(self.tree.remove(key)); }

Ref search_value(AVLTreeObject& self, PyObject* value) {
    Ref key = self.key_rule.extract(value);
    PyObject* found = self.tree.search(key.get());
    return Ref::borrow(found != nullptr ? found : Py_None);
}

Ref search_by_key(AVLTreeObject& self, PyObject* key) {
    PyObject* found = self.tree.search(key);
    return Ref::borrow(found != nullptr ? found : Py_None);
}

bool holds_value(AVLTreeObject& self, PyObject* value) {
    Ref key = self.key_rule.extract(value);
    return self.tree.search(key.get()) != nullptr;
}

Ref contains_value(AVLTreeObject& self, PyObject* value) { return truth(holds_value(self, value)); }

Ref contains_by_key(AVLTreeObject& self, PyObject* key) {
    return truth(self.tree.search(key) != nullptr);
}

Ref first_value(AVLTreeObject& self) { return optional_value(self.tree.first()); }
Ref last_value(AVLTreeObject& self) { return optional_value(self.tree.last()); }
Ref empty(AVLTreeObject& self) { return truth(self.tree.size() == 0); }

PyObject* clear_tree(PyObject* self, PyObject*) noexcept {
    return boundary::object_entry([&] {
        AVLTreeObject& tree = AVLTreeObject::of(self);
        ExclusiveBorrow borrow(tree.borrow);
        tree.tree.clear();
        return Ref::borrow(Py_None);
    });
}

}  // namespace

namespace entries {

const Fastcall insert = one_parameter<insert_call, ExclusiveBorrow, insert_value>;
const Fastcall remove = one_parameter<remove_call, ExclusiveBorrow, remove_value>;
const Fastcall remove_key = one_parameter<remove_key_call, ExclusiveBorrow, remove_by_key>;
const Fastcall search = one_parameter<search_call, SharedBorrow, search_value>;
const Fastcall get = one_parameter<get_call, SharedBorrow, search_value>;
const Fastcall search_key = one_parameter<search_key_call, SharedBorrow, search_by_key>;
const Fastcall contains = one_parameter<contains_call, SharedBorrow, contains_value>;
const Fastcall has_node = one_parameter<has_node_call, SharedBorrow, contains_value>;
const Fastcall contains_key = one_parameter<contains_key_call, SharedBorrow, contains_by_key>;

const NoArgs clear = clear_tree;
const NoArgs is_empty = reader<empty>;
const NoArgs first = reader<first_value>;
const NoArgs min = reader<first_value>;
const NoArgs last = reader<last_value>;
const NoArgs max = reader<last_value>;

Py_ssize_t tree_len(PyObject* self) noexcept {
    return boundary::integer_entry<Py_ssize_t>([&] {
        AVLTreeObject& tree = AVLTreeObject::of(self);
        SharedBorrow borrow(tree.borrow);
        return Py_ssize_t(tree.tree.size());
    });
}

int tree_bool(PyObject* self) noexcept {
    return boundary::integer_entry<int>([&] {
        AVLTreeObject& tree = AVLTreeObject::of(self);
        SharedBorrow borrow(tree.borrow);
        return int(tree.tree.size() != 0);
    });
}

int tree_contains(PyObject* self, PyObject* value) noexcept {
    return boundary::integer_entry<int>([&] {
        AVLTreeObject& tree = AVLTreeObject::of(self);
        SharedBorrow borrow(tree.borrow);
        return int(holds_value(tree, value));
    });
}

PyObject* tree_height(PyObject* self, void*) noexcept {
    return boundary::object_entry([&] {
        AVLTreeObject& tree = AVLTreeObject::of(self);
        SharedBorrow borrow(tree.borrow);
        return checked(PyLong_FromUnsignedLongLong(tree.tree.height()));
    });
}

}  // namespace entries
}  // namespace quorel::python
