// Argument binding: fits the arguments of one call to the parameters of a CallDescription,
// by position and by name, and raises the exact TypeError texts for a call that does not fit.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "call_boundary/support/compat.hpp"

namespace quorel {

struct KeywordOnlyParameter {
    const char* name;
    bool required;
};

struct CallDescription {
    const char* class_name;  // null for a module-level function
    const char* function_name;
    std::span<const char* const> positional;
    std::size_t positional_only;
    std::size_t required_positional;
    std::span<const KeywordOnlyParameter> keyword_only;

    constexpr std::size_t parameter_count() const {
        return positional.size() + keyword_only.size();
    }
};

// One borrowed slot per parameter, positional parameters first; null means absent.
template <std::size_t N>
struct BoundArguments {
    std::array<PyObject*, N> slot{};
    PyObject* operator[](std::size_t index) const { return slot[index]; }
};

// The fast-call convention: `args` holds the positional arguments followed by the values
// of the keywords named in the tuple `kwnames` (which may be null).
void bind_vector(const CallDescription& description, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots);

// The constructor's convention: a tuple of positional arguments and a dict of keywords
// (or null), whose items are bound in dictionary order.
void bind_tuple(const CallDescription& description, PyObject* args, PyObject* kwargs,
                PyObject** slots);

template <std::size_t N>
BoundArguments<N> bind(const CallDescription& description, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments<N> bound;
    bind_vector(description, args, nargs, kwnames, bound.slot.data());
    return bound;
}

template <std::size_t N>
BoundArguments<N> bind(const CallDescription& description, PyObject* args, PyObject* kwargs) {
    BoundArguments<N> bound;
    bind_tuple(description, args, kwargs, bound.slot.data());
    return bound;
}

}  // namespace quorel
