// Three-way comparison of two keys by Python's rich comparison, in the fixed order
// equality, less-than, greater-than; each result is truth-tested. The operand order is
// part of the behaviour, since a < b may call other methods than b > a.
//
// Keys of exactly int (within 64 bits), float or str are compared natively when both
// operands are of the same such type: those comparisons run no Python code, cannot fail
// (except the float NaN case, which fails as the rich comparisons do) and have no side
// effects, so skipping the calls is not observable. Subclasses and mixed pairs take the
// general road.
#pragma once

#include <cstdint>
#include <cstring>

#include "call_boundary/compat.hpp"

namespace quorel::tree {

enum class Ordering { Less, Equal, Greater };

// What a key's native form holds. Only immutable built-in types get one.
enum class KeyKind : std::uint8_t {
    general,  // compared by rich comparison only
    integer,  // exact int that fits a signed 64-bit integer; bits hold it
    real,     // exact float; bits hold the double
    text,     // exact str whose first code points do not fit the prefix form
    prefixed, // exact str; bits hold its first 8 code points (all below 256), big-endian
};

// A key together with its native form.
struct KeyView {
    PyObject* object;
    std::uint64_t bits;
    KeyKind kind;
};

// Classifies a key; never fails and runs no Python code.
KeyView view_key(PyObject* key) noexcept;

// Where `a` sorts relative to `b` by the rich comparisons alone. Throws the comparison's or
// truth test's exception, or TypeError "PyAny::compare(): All comparisons returned false".
Ordering compare(PyObject* a, PyObject* b);

// Code point order of two exact str, which is what their ==, < and > give.
Ordering compare_text(PyObject* a, PyObject* b) noexcept;

// Throws TypeError "PyAny::compare(): All comparisons returned false".
[[noreturn]] void all_comparisons_false();

// The same answer as compare(a.object, b.object), natively where both sides allow it.

inline Ordering compare(const KeyView& a, const KeyView& b) {
    if (a.kind == KeyKind::integer && b.kind == KeyKind::integer) {  // the most common pair first
        const auto x = std::int64_t(a.bits);
        const auto y = std::int64_t(b.bits);
        return x == y ? Ordering::Equal : (x < y ? Ordering::Less : Ordering::Greater);
    }
    if (a.kind == b.kind) {
        switch (a.kind) {
            case KeyKind::prefixed:
                if (a.bits != b.bits) {
                    return a.bits < b.bits ? Ordering::Less : Ordering::Greater;
                }
                return compare_text(a.object, b.object);
            case KeyKind::real: {
                double x;
                double y;
                std::memcpy(&x, &a.bits, sizeof x);
                std::memcpy(&y, &b.bits, sizeof y);
                if (x == y) {
                    return Ordering::Equal;
                }
                if (x < y) {
                    return Ordering::Less;
                }
                if (x > y) {
                    return Ordering::Greater;
                }
                all_comparisons_false();  // a NaN on either side
            }
            case KeyKind::text:
                return compare_text(a.object, b.object);
            case KeyKind::integer:  // handled above
            case KeyKind::general:
                break;
        }
    } else if ((a.kind == KeyKind::text || a.kind == KeyKind::prefixed) &&
               (b.kind == KeyKind::text || b.kind == KeyKind::prefixed)) {
        return compare_text(a.object, b.object);
    }
    return compare(a.object, b.object);
}

}  // namespace quorel::tree
