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

Ref clear_tree(AVLTreeObject& self) {
    self.tree.clear();
    return Ref::borrow(Py_None);
}

Py_ssize_t length(AVLTreeObject& self) { return Py_ssize_t(self.tree.size()); }
int nonempty(AVLTreeObject& self) { return int(self.tree.size() != 0); }
int holds(AVLTreeObject& self, PyObject* value) { return int(holds_value(self, value)); }

Ref height(AVLTreeObject& self) {
    return checked(PyLong_FromUnsignedLongLong(self.tree.height()));
}

constexpr CallDescription clear_call = describe("clear");
constexpr CallDescription is_empty_call = describe("is_empty");
constexpr CallDescription first_call = describe("first");
constexpr CallDescription min_call = describe("min");
constexpr CallDescription last_call = describe("last");
constexpr CallDescription max_call = describe("max");
constexpr CallDescription len_call = describe("__len__");
constexpr CallDescription bool_call = describe("__bool__");
constexpr CallDescription in_call = describe("__contains__", value_parameter);
constexpr CallDescription height_call = describe("height");

}  // namespace

namespace entries {

const Fastcall insert = Member<insert_call, Access::exclusive, insert_value>::method;
const Fastcall remove = Member<remove_call, Access::exclusive, remove_value>::method;
const Fastcall remove_key = Member<remove_key_call, Access::exclusive, remove_by_key>::method;
const Fastcall search = Member<search_call, Access::shared, search_value>::method;
const Fastcall get = Member<get_call, Access::shared, search_value>::method;
const Fastcall search_key = Member<search_key_call, Access::shared, search_by_key>::method;
const Fastcall contains = Member<contains_call, Access::shared, contains_value>::method;
const Fastcall has_node = Member<has_node_call, Access::shared, contains_value>::method;
const Fastcall contains_key = Member<contains_key_call, Access::shared, contains_by_key>::method;

const NoArgs clear = Member<clear_call, Access::exclusive, clear_tree>::no_arguments;
const NoArgs is_empty = Member<is_empty_call, Access::shared, empty>::no_arguments;
const NoArgs first = Member<first_call, Access::shared, first_value>::no_arguments;
const NoArgs min = Member<min_call, Access::shared, first_value>::no_arguments;
const NoArgs last = Member<last_call, Access::shared, last_value>::no_arguments;
const NoArgs max = Member<max_call, Access::shared, last_value>::no_arguments;

Py_ssize_t tree_len(PyObject* self) noexcept {
    return Member<len_call, Access::shared, length>::integer<Py_ssize_t>(self);
}

int tree_bool(PyObject* self) noexcept {
    return Member<bool_call, Access::shared, nonempty>::integer<int>(self);
}

int tree_contains(PyObject* self, PyObject* value) noexcept {
    return Member<in_call, Access::shared, holds>::integer<int>(self, value);
}

PyObject* tree_height(PyObject* self, void* closure) noexcept {
    return Member<height_call, Access::shared, height>::getter(self, closure);
}

}  // namespace entries
}  // namespace quorel::python
