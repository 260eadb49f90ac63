// The shapes shared by AVLTree's members: binding one parameter, taking the borrow and
// running the body inside the call boundary.
#pragma once

#include <span>

#include "call_boundary/binding.hpp"
#include "call_boundary/entry.hpp"
#include "python/avltree.hpp"

namespace quorel::python {

inline constexpr const char* value_parameter[] = {"value"};
inline constexpr const char* key_parameter[] = {"key"};

constexpr CallDescription describe(const char* name, std::span<const char* const> parameter) {
    return CallDescription{"AVLTree", name, parameter, 0, 1, {}};
}

// Py_True or Py_False as a new reference.
inline Ref truth(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

// A borrowed result, or None for null, as a new reference.
inline Ref optional_value(PyObject* value) noexcept {
    return Ref::borrow(value != nullptr ? value : Py_None);
}

// One-parameter members: bind, take the borrow, run the body. The usual call, one
// positional argument and no keywords, fits without the general binding.
template <const CallDescription& Description, class Borrow, Ref (*Body)(AVLTreeObject&, PyObject*)>
PyObject* one_parameter(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return boundary::object_entry([&] {
        PyObject* argument = nargs == 1 && kwnames == nullptr
                                 ? args[0]
                                 : bind<1>(Description, args, nargs, kwnames)[0];
        AVLTreeObject& tree = AVLTreeObject::of(self);
        Borrow borrow(tree.borrow);
        return Body(tree, argument);
    });
}

// Members without parameters that only read the tree.
template <Ref (*Body)(AVLTreeObject&)>
PyObject* reader(PyObject* self, PyObject*) noexcept {
    return boundary::object_entry([&] {
        AVLTreeObject& tree = AVLTreeObject::of(self);
        SharedBorrow borrow(tree.borrow);
        return Body(tree);
    });
}

}  // namespace quorel::python
