// How every member of AVLTree and _AVLTreeIterator is entered: Member binds the arguments
// as the call description lays them out, takes the instance's borrow of the given kind
// (waiting while another thread holds one that excludes it, refusing re-entry from the
// same thread) and runs the body inside the call boundary. The borrow is given back on
// every exit path.
//
// A body takes the instance, then one borrowed argument per parameter of the description,
// null when absent. For a module function (a description without a class) the instance is
// the first argument, which must be an AVLTree.
#pragma once

#include <algorithm>
#include <span>
#include <type_traits>
#include <utility>

#include "call_boundary/binding.hpp"
#include "call_boundary/borrow.hpp"
#include "call_boundary/convert.hpp"
#include "call_boundary/entry.hpp"
#include "python/avltree.hpp"

namespace quorel::python {

inline constexpr const char* value_parameter[] = {"value"};
inline constexpr const char* key_parameter[] = {"key"};

// A method of AVLTree whose parameters are all positional and required.
constexpr CallDescription describe(const char* name, std::span<const char* const> parameter = {}) {
    return CallDescription{"AVLTree", name, parameter, 0, parameter.size(), {}};
}

// Py_True or Py_False as a new reference.
inline Ref truth(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

// A borrowed result, or None for null, as a new reference.
inline Ref optional_value(PyObject* value) noexcept {
    return Ref::borrow(value != nullptr ? value : Py_None);
}

namespace detail {

template <class Function>
struct FirstParameter;
template <class Result, class First, class... Rest>
struct FirstParameter<Result (*)(First, Rest...)> {
    using type = std::remove_cvref_t<First>;
};

// The instance argument of a module function.
inline AVLTreeObject& tree_argument(PyObject* argument, const char* parameter) {
    converted(parameter, [&] {
        if (!PyObject_TypeCheck(argument, avltree_type())) {
            not_an_instance(argument, "AVLTree");
        }
    });
    return AVLTreeObject::of(argument);
}

}  // namespace detail

template <const CallDescription& Description, Access Kind, auto Body>
struct Member {
    static constexpr std::size_t arity = Description.parameter_count();
    static constexpr bool function = Description.class_name == nullptr;
    using Instance = typename detail::FirstParameter<decltype(Body)>::type;

    // METH_FASTCALL | METH_KEYWORDS. The usual call, every positional argument and no
    // keyword, fits without the general binding.
    static PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
        return boundary::object_entry([&] {
            BoundArguments<arity> bound;
            if (positional_fits && kwnames == nullptr &&
                nargs == Py_ssize_t(Description.positional.size())) {
                std::copy(args, args + nargs, bound.slot.begin());
            } else {
                bound = bind<arity>(Description, args, nargs, kwnames);
            }
            if constexpr (function) {
                return run(detail::tree_argument(bound[0], Description.positional[0]), bound,
                           std::make_index_sequence<arity - 1>(), 1);
            } else {
                return run(Instance::of(self), bound, std::make_index_sequence<arity>(), 0);
            }
        });
    }

    // METH_NOARGS methods.
    static PyObject* no_arguments(PyObject* self, PyObject*) noexcept { return unary(self); }

    // Slots of the instance alone (tp_repr, tp_iter, tp_iternext).
    static PyObject* unary(PyObject* self) noexcept {
        static_assert(arity == 0);
        return boundary::object_entry([&] { return run_body(Instance::of(self)); });
    }

    // Slots of the instance and one object (mp_subscript).
    static PyObject* binary(PyObject* self, PyObject* argument) noexcept {
        static_assert(arity == 1);
        return boundary::object_entry([&] { return run_body(Instance::of(self), argument); });
    }

    // Attribute getters.
    static PyObject* getter(PyObject* self, void*) noexcept { return unary(self); }

    // Slots returning an integer, -1 on failure (mp_length, nb_bool, sq_contains).
    template <class Result>
    static Result integer(PyObject* self) noexcept {
        static_assert(arity == 0);
        return boundary::integer_entry<Result>([&] { return run_body(Instance::of(self)); });
    }
    template <class Result>
    static Result integer(PyObject* self, PyObject* argument) noexcept {
        static_assert(arity == 1);
        return boundary::integer_entry<Result>(
            [&] { return run_body(Instance::of(self), argument); });
    }

private:
    static constexpr bool positional_fits =
        std::none_of(Description.keyword_only.begin(), Description.keyword_only.end(),
                     [](const KeywordOnlyParameter& parameter) { return parameter.required; });

    template <class... Arguments>
    static auto run_body(Instance& instance, Arguments... arguments) {
        Borrow<Kind> borrow(instance.borrow);
        return Body(instance, arguments...);
    }

    template <std::size_t... I>
    static Ref run(Instance& instance, const BoundArguments<arity>& bound,
                   std::index_sequence<I...>, std::size_t first) {
        return run_body(instance, bound[first + I]...);
    }
};

}  // namespace quorel::python
