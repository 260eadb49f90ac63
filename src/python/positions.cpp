// Positions and neighbours of AVLTree: t[i] and slices, index, the bisections, the four
// neighbours and pop. Positions count from 0 in ascending key order; negative ones count
// from the end. index() applies the key rule; the other key-taking members do not.
#include "call_boundary/convert.hpp"
#include "call_boundary/support/text.hpp"
#include "python/avltree_members.hpp"
#include "python/member_entry.hpp"
#include "python/position_arguments.hpp"

namespace quorel::python {
namespace {

constexpr CallDescription index_call = describe("index", value_parameter);
constexpr CallDescription bisect_left_call = describe("bisect_left", key_parameter);
constexpr CallDescription bisect_right_call = describe("bisect_right", key_parameter);
constexpr CallDescription floor_call = describe("floor", key_parameter);
constexpr CallDescription ceiling_call = describe("ceiling", key_parameter);
constexpr CallDescription lower_call = describe("lower", key_parameter);
constexpr CallDescription higher_call = describe("higher", key_parameter);

constexpr const char* pop_parameter[] = {"index"};
constexpr CallDescription pop_call{"AVLTree", "pop", pop_parameter, 0, 0, {}};

Ref subscript(AVLTreeObject& self, PyObject* item) {
    const std::uint64_t size = self.tree.size();
    if (PySlice_Check(item)) {
        const SlicePositions chosen = slice_positions(item, size);
        return as_list(self.tree.slice(chosen.start, chosen.step, chosen.length));
    }
    if (!PyIndex_Check(item)) {
        throw_error(PyExc_TypeError,
                    "AVLTree indices must be integers or slices, not " +
                        type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(item))));
    }
    std::uint64_t at = 0;
    if (!position(item, size, at)) {
        throw_error(PyExc_IndexError, "AVLTree index out of range");
    }
    return Ref::borrow(self.tree.at(at));
}

Ref index_value(AVLTreeObject& self, PyObject* value) {
    Ref key = self.key_rule.extract(value);
    const std::int64_t found = self.tree.index_of(key.get());
    if (found < 0) {
        // Worded as list.index words it; the message holds the value's repr as a str.
        Ref message = checked(PyUnicode_FromFormat("%R is not in AVLTree", value));
        PyErr_SetObject(PyExc_ValueError, message.get());
        throw_fetched();
    }
    return checked(PyLong_FromLongLong(found));
}

template <bool After>
Ref bisect(AVLTreeObject& self, PyObject* key) {
    return checked(PyLong_FromUnsignedLongLong(self.tree.rank(key, After)));
}

template <PyObject* (tree::Tree::*Side)(PyObject*, bool) const, bool Inclusive>
Ref neighbour(AVLTreeObject& self, PyObject* key) {
    return optional_value((self.tree.*Side)(key, Inclusive));
}

Ref pop_at(AVLTreeObject& self, PyObject* index) {
    Ref number =
        index == nullptr ? Ref() : converted("index", [&] { return checked(PyNumber_Index(index)); });
    const std::uint64_t size = self.tree.size();
    if (size == 0) {
        throw_error(PyExc_IndexError, "pop from empty AVLTree");
    }
    std::uint64_t at = size - 1;
    if (number && !position(number.get(), size, at)) {
        throw_error(PyExc_IndexError, "pop index out of range");
    }
    return self.tree.pop(at);
}

constexpr CallDescription getitem_call = describe("__getitem__", key_parameter);

const PyMethodDef methods[] = {
    Member<index_call, Access::shared, index_value>::entry(
        "index($self, value)\n--\n\n"
        "Return the position, in ascending key order, of the entry matching\n"
        "`value`'s extracted key. Raise `ValueError` when there is none."),
    Member<bisect_left_call, Access::shared, bisect<false>>::entry(
        "bisect_left($self, key)\n--\n\n"
        "Return how many stored keys are less than an already-extracted key."),
    Member<bisect_right_call, Access::shared, bisect<true>>::entry(
        "bisect_right($self, key)\n--\n\n"
        "Return how many stored keys are not greater than an already-extracted key."),
    Member<floor_call, Access::shared, neighbour<&tree::Tree::floor, true>>::entry(
        "floor($self, key)\n--\n\n"
        "Return the value with the greatest key not greater than `key`, or `None`."),
    Member<ceiling_call, Access::shared, neighbour<&tree::Tree::ceiling, true>>::entry(
        "ceiling($self, key)\n--\n\n"
        "Return the value with the least key not less than `key`, or `None`."),
    Member<lower_call, Access::shared, neighbour<&tree::Tree::floor, false>>::entry(
        "lower($self, key)\n--\n\n"
        "Return the value with the greatest key less than `key`, or `None`."),
    Member<higher_call, Access::shared, neighbour<&tree::Tree::ceiling, false>>::entry(
        "higher($self, key)\n--\n\n"
        "Return the value with the least key greater than `key`, or `None`."),
    Member<pop_call, Access::exclusive, pop_at>::entry(
        "pop($self, index=-1)\n--\n\n"
        "Remove and return the value at `index` in ascending key order (the last\n"
        "by default). Raise `IndexError` when the tree is empty or `index` is out\n"
        "of range."),
};

const PyType_Slot slots[] = {
    Member<getitem_call, Access::shared, subscript>::slot<Py_mp_subscript>(),
};

}  // namespace

const MemberGroup position_members{methods, slots, {}};

}  // namespace quorel::python
