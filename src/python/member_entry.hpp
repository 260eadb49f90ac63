// How every member of the module's classes is entered. Member<Description, Kind, Body>
// binds the arguments as the description lays them out, takes the instance's borrow of
// the given kind (waiting while another thread holds one that excludes it, refusing
// re-entry from the same thread) and runs the body inside the call boundary. The borrow is
// given back on every exit path.
//
// A body takes the instance, then one borrowed argument per parameter of the description,
// null when absent. For a module function (a description without a class) whose body
// takes an instance, the instance is the first argument, which must be an AVLTree. A body
// whose first parameter is the object itself (a PyObject* or, for a constructor, the
// PyTypeObject*) has no instance to guard and takes no borrow (Kind no_borrow); so does
// a release, whose body takes the instance. A member of an UnboundDescription binds its
// arguments itself: its body takes them as the interpreter passes them.
//
// A body taking the instance and staged operands (a class satisfying StagedOperands) is a
// bulk member: its operands are staged (iterables consumed) before any borrow, then the
// borrows of every instance involved are taken at once, in address order, by one
// BorrowSet, and the operands, with any tree they replaced, are released after the borrows
// are given back.
//
// Quick, when given to a member of the instance alone, is a noexcept function that may
// produce the result without the borrow: given the instance, it either sets its result
// argument to a new reference and returns true, or returns false (having run nothing) for
// the body to run. It must run no Python code.
//
// Locate, when given, finds the instance a member runs on from the object it is called on,
// for an object that runs its members on another one's instance (a view on its map's).
//
// Each wrapper also describes itself: entry() is the member's PyMethodDef, slot<Id>() its
// PyType_Slot and property() its PyGetSetDef, each pairing the wrapper with the calling
// convention it was written for, under the description's name.
#pragma once

#include <algorithm>
#include <concepts>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "call_boundary/binding.hpp"
#include "call_boundary/borrow.hpp"
#include "call_boundary/convert.hpp"
#include "call_boundary/entry.hpp"
#include "python/avltree.hpp"
#include "python/borrow_set.hpp"
#include "python/type_slots.hpp"

namespace quorel::python {

inline constexpr const char* value_parameter[] = {"value"};
inline constexpr const char* key_parameter[] = {"key"};

// A method of AVLTree whose parameters are all positional and required.
constexpr CallDescription describe(const char* name, std::span<const char* const> parameter = {}) {
    return CallDescription{"AVLTree", name, parameter, 0, parameter.size(), {}};
}

// A method taking any number of positional operands (`*others`); the interpreter itself
// refuses keywords for it.
struct VariadicDescription {
    const char* class_name;
    const char* function_name;
};

// A member whose body binds its arguments itself, from the object and the arguments as
// the interpreter passes them: (type, args, kwargs) for a constructor, (self, args, nargs,
// kwnames) for a method.
struct UnboundDescription {
    const char* class_name;
    const char* function_name;
};

// The kind of borrow of an entry that has no instance to guard: constructors, class
// methods, module functions and releases.
struct NoBorrow {};
inline constexpr NoBorrow no_borrow{};

// Operands of a bulk member, staged from the arguments before any borrow: the instances
// among them give the flags that the member's BorrowSet takes besides its own.
template <class Staged, class Instance>
concept StagedOperands = requires(Staged& staged, Instance& instance, PyObject* const* others,
                                  std::size_t count) {
    Staged(instance, others, count);
    { std::as_const(staged).flags() } -> std::same_as<Vector<BorrowFlag*>>;
};

// A method's doc string, which begins with its text signature: the member's name and an
// opening parenthesis. A doc string written for another member fails to compile.
template <const auto& Description>
struct MethodDoc {
    consteval MethodDoc(const char* doc) : text(doc) {
        const char* name = Description.function_name;
        while (*name != '\0' && *name == *doc) {
            ++name;
            ++doc;
        }
        if (*name != '\0' || *doc != '(') {
            throw "the doc string does not begin with the member's text signature";
        }
    }
    const char* text;
};

// Py_True or Py_False as a new reference.
inline Ref truth(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

// A borrowed result, or None for null, as a new reference.
inline Ref optional_value(PyObject* value) noexcept {
    return Ref::borrow(value != nullptr ? value : Py_None);
}

namespace detail {

template <class Function>
struct Parameters;
template <class Result, class... Arguments>
struct Parameters<Result (*)(Arguments...)> {
    using first = std::remove_cvref_t<std::tuple_element_t<0, std::tuple<Arguments...>>>;
    using second = std::remove_cvref_t<
        std::tuple_element_t<(sizeof...(Arguments) > 1 ? 1 : 0), std::tuple<Arguments...>>>;
    static constexpr std::size_t count = sizeof...(Arguments);
};
template <class Result, class... Arguments>
struct Parameters<Result (*)(Arguments...) noexcept> : Parameters<Result (*)(Arguments...)> {};

// The instance argument of a module function.
inline AVLTreeObject& tree_argument(PyObject* argument, const char* parameter) {
    converted(parameter, [&] {
        if (!PyObject_TypeCheck(argument, avltree_type())) {
            not_an_instance(argument, "AVLTree");
        }
    });
    return AVLTreeObject::of(argument);
}

// Whether a member of this Kind takes a borrow (Access::shared or Access::exclusive).
template <auto Kind>
constexpr bool borrows = std::is_same_v<std::remove_cv_t<decltype(Kind)>, Access>;

}  // namespace detail

template <const auto& Description, auto Kind, auto Body, auto Quick = nullptr,
          auto Locate = nullptr>
struct Member {
private:
    using Signature = detail::Parameters<decltype(Body)>;
    using First = typename Signature::first;

public:
    static constexpr bool variadic =
        std::is_same_v<std::remove_cvref_t<decltype(Description)>, VariadicDescription>;
    static constexpr bool unbound =
        std::is_same_v<std::remove_cvref_t<decltype(Description)>, UnboundDescription>;
    // An entry of the object itself (module, type or instance), guarding nothing.
    static constexpr bool raw =
        std::is_same_v<First, PyObject*> || std::is_same_v<First, PyTypeObject*>;
    using Instance = std::conditional_t<raw, AVLTreeObject, First>;
    static constexpr bool bulk =
        !raw && Signature::count == 2 &&
        StagedOperands<typename Signature::second, Instance>;
    static constexpr std::size_t arity = [] {
        if constexpr (variadic || unbound) {
            return std::size_t(0);
        } else {
            return Description.parameter_count();
        }
    }();
    static constexpr bool function = [] {
        if constexpr (variadic || unbound) {
            return false;
        } else {
            return Description.class_name == nullptr && !raw;
        }
    }();
    static_assert(!raw || !detail::borrows<Kind>, "an entry without an instance takes no borrow");

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
            if constexpr (bulk) {
                return run_bulk(instance_of(self), bound.slot.data(), arity);
            } else if constexpr (raw) {
                return run_raw(self, bound, std::make_index_sequence<arity>());
            } else if constexpr (function) {
                return run(detail::tree_argument(bound[0], Description.positional[0]), bound,
                           std::make_index_sequence<arity - 1>(), 1);
            } else {
                return run(instance_of(self), bound, std::make_index_sequence<arity>(), 0);
            }
        });
    }

    // METH_FASTCALL: any number of positional operands.
    static PyObject* operands(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
        static_assert(bulk);
        return boundary::object_entry(
            [&] { return run_bulk(instance_of(self), args, std::size_t(nargs)); });
    }

    // METH_FASTCALL | METH_KEYWORDS, bound by the body.
    static PyObject* unbound_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
        static_assert(unbound && raw);
        return boundary::object_entry([&] { return Body(self, args, nargs, kwnames); });
    }

    // METH_NOARGS methods.
    static PyObject* no_arguments(PyObject* self, PyObject*) noexcept { return unary(self); }

    // Slots of the instance alone (tp_repr, tp_iter, tp_iternext).
    static PyObject* unary(PyObject* self) noexcept {
        static_assert(arity == 0);
        if constexpr (!std::is_same_v<decltype(Quick), std::nullptr_t> &&
                      !QUOREL_THREADS_RUN_FREE) {
            // Under the interpreter lock no other call starts before Quick returns, as it
            // runs no Python code: when the borrow is idle, seeing so is as good as taking
            // it. Re-entry and waits (the borrow not idle) go through the borrow.
            Instance& instance = instance_of(self);
            PyObject* result = nullptr;
            if (instance.borrow.idle() && Quick(instance, result)) [[likely]] {
                return result;
            }
            return unary_borrowed(self);
        } else {
            return unary_entry(self);
        }
    }

    // Slots of the instance and one object (mp_subscript), METH_O class methods, whose
    // `self` is the class, and operators whose body takes both operands as they are.
    static PyObject* binary(PyObject* self, PyObject* argument) noexcept {
        static_assert(arity == 1);
        return boundary::object_entry([&] {
            if constexpr (raw) {
                return Body(self, argument);
            } else {
                return run_body(instance_of(self), argument);
            }
        });
    }

    // The comparison slot (tp_richcompare) of an object that compares itself.
    static PyObject* compare(PyObject* self, PyObject* other, int op) noexcept {
        static_assert(raw);
        return boundary::object_entry([&] { return Body(self, other, op); });
    }

    // Binary operators (nb_or, ...) apply between two instances only, as set's do between
    // sets; any other operand gets NotImplemented. The in-place forms return the left one.
    static PyObject* binary_operator(PyObject* a, PyObject* b) noexcept {
        return operator_entry<false>(a, b);
    }
    static PyObject* in_place_operator(PyObject* a, PyObject* b) noexcept {
        return operator_entry<true>(a, b);
    }

    // Attribute getters.
    static PyObject* getter(PyObject* self, void*) noexcept { return unary(self); }

    // Slots returning an integer, -1 on failure (mp_length, nb_bool, sq_contains).
    template <class Result>
    static Result integer(PyObject* self) noexcept {
        static_assert(arity == 0);
        return boundary::integer_entry<Result>([&] { return run_body(instance_of(self)); });
    }
    template <class Result>
    static Result integer(PyObject* self, PyObject* argument) noexcept {
        static_assert(arity == 1);
        return boundary::integer_entry<Result>(
            [&] { return run_body(instance_of(self), argument); });
    }

    // Slots of the instance and two objects returning 0, or -1 on failure
    // (mp_ass_subscript, whose second object is null for a deletion).
    template <class Result>
    static Result integer(PyObject* self, PyObject* first, PyObject* second) noexcept {
        static_assert(arity == 2);
        return boundary::integer_entry<Result>(
            [&] { return run_body(instance_of(self), first, second); });
    }

    // The constructor slot: positional arguments as a tuple, keywords as a dict or null.
    static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
        return boundary::object_entry([&] {
            if constexpr (unbound) {
                return Body(type, args, kwargs);
            } else {
                const auto bound = bind<arity>(Description, args, kwargs);
                return run_raw(type, bound, std::make_index_sequence<arity>());
            }
        });
    }

    // The release slot: a failure goes to the unraisable hook.
    static void release(PyObject* self) noexcept {
        boundary::release_entry([&] { Body(instance_of(self)); });
    }

    // The collector's slots, which run no Python code of their own and raise nothing:
    // tp_traverse visits what the object holds, tp_clear empties the instance.
    static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
        static_assert(raw);
        return Body(self, visit, arg);
    }
    static int clear(PyObject* self) noexcept {
        Body(instance_of(self));
        return 0;
    }

    // The method-table entry: the name of the description, the calling convention of the
    // wrapper that suits it, and `doc`.
    static PyMethodDef entry(MethodDoc<Description> doc) noexcept {
        if constexpr (variadic) {
            return {Description.function_name, as_method(operands), METH_FASTCALL, doc.text};
        } else if constexpr (unbound) {
            return {Description.function_name, as_method(unbound_method),
                    METH_FASTCALL | METH_KEYWORDS, doc.text};
        } else if constexpr (arity == 0) {
            return {Description.function_name, no_arguments, METH_NOARGS, doc.text};
        } else {
            return {Description.function_name, as_method(method), METH_FASTCALL | METH_KEYWORDS,
                    doc.text};
        }
    }

    // A class method: one of a single argument gets it as it is, any other a fast call
    // bound as the description says.
    static PyMethodDef class_entry(MethodDoc<Description> doc) noexcept {
        static_assert(raw && !variadic && !unbound);
        if constexpr (arity == 1) {
            return {Description.function_name, binary, METH_O | METH_CLASS, doc.text};
        } else {
            return {Description.function_name, as_method(method),
                    METH_FASTCALL | METH_KEYWORDS | METH_CLASS, doc.text};
        }
    }

    // The read-only property entry.
    static PyGetSetDef property(const char* doc) noexcept {
        return {Description.function_name, getter, nullptr, doc, nullptr};
    }

    // The type slot `Id`, filled by the wrapper that its signature asks for.
    template <int Id>
    static PyType_Slot slot() noexcept {
        if constexpr (Id == Py_tp_new) {
            return type_slot<Id>(construct);
        } else if constexpr (Id == Py_tp_dealloc) {
            return type_slot<Id>(release);
        } else if constexpr (Id == Py_tp_traverse) {
            return type_slot<Id>(traverse);
        } else if constexpr (Id == Py_tp_clear) {
            return type_slot<Id>(clear);
        } else if constexpr (Id == Py_tp_richcompare) {
            return type_slot<Id>(compare);
        } else if constexpr (Id == Py_mp_ass_subscript) {
            return type_slot<Id>(integer<int>);
        } else if constexpr (Id == Py_mp_length) {
            return type_slot<Id>(integer<Py_ssize_t>);
        } else if constexpr (Id == Py_nb_bool || Id == Py_sq_contains) {
            return type_slot<Id>(integer<int>);
        } else if constexpr (Id == Py_mp_subscript) {
            return type_slot<Id>(binary);
        } else if constexpr (binary_operator_slot(Id) || in_place_operator_slot(Id)) {
            // An operator whose body takes both operands as they are chooses its own.
            if constexpr (raw) {
                return type_slot<Id>(binary);
            } else if constexpr (binary_operator_slot(Id)) {
                return type_slot<Id>(binary_operator);
            } else {
                return type_slot<Id>(in_place_operator);
            }
        } else {
            return type_slot<Id>(unary);
        }
    }

private:
    static Instance& instance_of(PyObject* self) noexcept {
        if constexpr (std::is_same_v<decltype(Locate), std::nullptr_t>) {
            return Instance::of(self);
        } else {
            return Locate(self);
        }
    }

    static PyObject* unary_entry(PyObject* self) noexcept {
        return boundary::object_entry([&] {
            if constexpr (raw) {
                return Body(self);
            } else {
                return run_body(instance_of(self));
            }
        });
    }

    // Kept out of line, so that the quick path saves no registers.
    [[gnu::noinline]] static PyObject* unary_borrowed(PyObject* self) noexcept {
        return unary_entry(self);
    }

    static constexpr bool positional_fits = [] {
        if constexpr (variadic || unbound) {
            return false;
        } else {
            return std::none_of(
                Description.keyword_only.begin(), Description.keyword_only.end(),
                [](const KeywordOnlyParameter& parameter) { return parameter.required; });
        }
    }();

    // The one cast of a fast-call wrapper to the type the method table stores.
    template <class Function>
    static PyCFunction as_method(Function function) noexcept {
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(function));
    }

    template <bool InPlace>
    static PyObject* operator_entry(PyObject* a, PyObject* b) noexcept {
        static_assert(bulk);
        return boundary::object_entry([&] {
            if (!Instance::is(a) || !Instance::is(b)) {
                return Ref::borrow(Py_NotImplemented);
            }
            Ref result = run_bulk(instance_of(a), &b, 1);
            if constexpr (InPlace) {
                return Ref::borrow(a);
            } else {
                return result;
            }
        });
    }

    template <class... Arguments>
    static auto run_body(Instance& instance, Arguments... arguments) {
        if constexpr (detail::borrows<Kind>) {
            Borrow<Kind> borrow(instance.borrow);
            return Body(instance, arguments...);
        } else {
            return Body(instance, arguments...);
        }
    }

    template <std::size_t... I>
    static Ref run(Instance& instance, const BoundArguments<arity>& bound,
                   std::index_sequence<I...>, std::size_t first) {
        return run_body(instance, bound[first + I]...);
    }

    template <class Self, std::size_t... I>
    static Ref run_raw(Self self, const BoundArguments<arity>& bound, std::index_sequence<I...>) {
        return Body(self, bound[I]...);
    }

    // Declared first, the operands outlive the borrows: staged values and replaced trees
    // are released once every borrow is given back.
    static Ref run_bulk(Instance& instance, PyObject* const* others, std::size_t count) {
        static_assert(detail::borrows<Kind>);
        typename Signature::second staged(instance, others, count);
        BorrowSet borrows(instance.borrow, Kind, staged.flags());
        return Body(instance, staged);
    }
};

}  // namespace quorel::python
