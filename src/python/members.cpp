// Lookup and mutation members of AVLTree. Members taking a `value` apply the key rule to
// it exactly once; members taking a `key` use the object unchanged.
#include "python/avltree.hpp"
#include "python/avltree_members.hpp"
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

const PyMethodDef methods[] = {
    Member<insert_call, Access::exclusive, insert_value>::entry(
        "insert($self, value)\n--\n\nInsert `value` and return `True` if its key was not already present."),
    Member<remove_call, Access::exclusive, remove_value>::entry(
        "remove($self, value)\n--\n\nRemove the entry matching `value`'s extracted key."),
    Member<remove_key_call, Access::exclusive, remove_by_key>::entry(
        "remove_key($self, key)\n--\n\nRemove the entry matching an already-extracted key."),
    Member<search_call, Access::shared, search_value>::entry(
        "search($self, value)\n--\n\nReturn the entry matching `value`'s extracted key, or `None`."),
    Member<get_call, Access::shared, search_value>::entry(
        "get($self, value)\n--\n\nAlias for `search`."),
    Member<search_key_call, Access::shared, search_by_key>::entry(
        "search_key($self, key)\n--\n\nReturn the entry matching an already-extracted key, or `None`."),
    Member<contains_call, Access::shared, contains_value>::entry(
        "contains($self, value)\n--\n\nReturn whether an entry matching `value`'s extracted key exists."),
    Member<has_node_call, Access::shared, contains_value>::entry(
        "has_node($self, value)\n--\n\nCompatibility alias for `contains`."),
    Member<contains_key_call, Access::shared, contains_by_key>::entry(
        "contains_key($self, key)\n--\n\nReturn whether an already-extracted key exists."),
    Member<clear_call, Access::exclusive, clear_tree>::entry(
        "clear($self)\n--\n\nRemove every value from the tree."),
    Member<is_empty_call, Access::shared, empty>::entry(
        "is_empty($self)\n--\n\nReturn whether the tree contains no values."),
    Member<first_call, Access::shared, first_value>::entry(
        "first($self)\n--\n\nReturn the value with the smallest key, or `None` when empty."),
    Member<min_call, Access::shared, first_value>::entry("min($self)\n--\n\nAlias for `first`."),
    Member<last_call, Access::shared, last_value>::entry(
        "last($self)\n--\n\nReturn the value with the largest key, or `None` when empty."),
    Member<max_call, Access::shared, last_value>::entry("max($self)\n--\n\nAlias for `last`."),
};

const PyType_Slot slots[] = {
    Member<len_call, Access::shared, length>::slot<Py_mp_length>(),
    Member<bool_call, Access::shared, nonempty>::slot<Py_nb_bool>(),
    Member<in_call, Access::shared, holds>::slot<Py_sq_contains>(),
};

const PyGetSetDef properties[] = {
    Member<height_call, Access::shared, height>::property(
        "The height of the tree; an empty tree has height zero."),
};

}  // namespace

const MemberGroup lookup_members{methods, slots, properties};

}  // namespace quorel::python
