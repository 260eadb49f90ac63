// Three-way comparison of two keys by Python's rich comparison, in the fixed order
// equality, less-than, greater-than; each result is truth-tested. The operand order is
// part of the behaviour, since a < b may call other methods than b > a.
#pragma once

#include "call_boundary/compat.hpp"

namespace quorel::tree {

enum class Ordering { Less, Equal, Greater };

// Where `a` sorts relative to `b`. Throws the comparison's or truth test's exception, or
// TypeError "PyAny::compare(): All comparisons returned false".
Ordering compare(PyObject* a, PyObject* b);

}  // namespace quorel::tree
