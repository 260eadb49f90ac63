// Three-way comparison of two keys by Python's rich comparison, in the fixed order
// equality, less-than, greater-than; each result is truth-tested. The operand order is
// part of the behaviour, since a < b may call other methods than b > a.
//
// Keys of exactly int (within 64 bits), float or str are compared natively when both
// operands are of the same such type and no float is a NaN (a NaN is left to the rich
// comparisons, which fail on it): those comparisons run no Python code, cannot fail and
// have no side effects, so skipping the calls is not observable. So are exact tuples whose
// items are all such values (floats other than NaN) or such tuples, as long as the items
// met at each position are of one type. Subclasses, mixed pairs and anything else take the general road.
#pragma once

#include <cstdint>
#include <bit>
#include <optional>

#include "call_boundary/support/compat.hpp"

namespace quorel::tree {

enum class Ordering { Less, Equal, Greater };

// What a key's native form holds. Only immutable built-in types get one. This is the one
// classification of native keys: the key structure below, the native classes of the
// range queries and the ranked build's sort keys all name their forms by these kinds.
enum class KeyKind : std::uint8_t {
    general,  // compared by rich comparison only
    integer,  // exact int that fits a signed 64-bit integer; bits hold it
    real,     // exact float; bits hold the double
    text,     // exact str whose first code points do not fit the prefix form
    prefixed, // exact str; bits hold its first 8 code points (all below 256), big-endian
    // Composite: an exact, non-empty tuple of natively comparable items (see above). The
    // kind names the first item's native form, and bits hold it (nothing for a tuple).
    tuple_integer,
    tuple_real,
    tuple_text,
    tuple_prefixed,
    tuple_tuple,
    // An exact (int, int) whose items fit 64 bits together: the kind is pair + s, the low s
    // bits hold the second item and the high 64 - s bits the first, both two's complement.
    pair = 64,  // s runs from 1 to 63
};

constexpr bool is_composite(KeyKind kind) noexcept { return kind >= KeyKind::tuple_integer; }
constexpr bool is_pair(KeyKind kind) noexcept { return kind > KeyKind::pair; }

// The two items of a pair.
inline std::int64_t pair_first(std::uint64_t bits, KeyKind kind) noexcept {
    return std::int64_t(bits) >> (unsigned(kind) - unsigned(KeyKind::pair));
}
inline std::int64_t pair_second(std::uint64_t bits, KeyKind kind) noexcept {
    const unsigned unused = 128u - unsigned(kind);  // 64 - s
    return std::int64_t(bits << unused) >> unused;
}

// A key together with its native form.
struct KeyView {
    PyObject* object;
    std::uint64_t bits;
    KeyKind kind;
};

// The key structure: the recursive type structure of a natively comparable key, coded as
// a leading 1 bit, then one 3-bit token for each int, str or float (its kind: integer,
// real or text) and for the start and end of each tuple, in reading order. Two keys of one
// structure compare natively, totally and without Python code. no_structure stands for
// every other key, and for structures too long for the code.
using KeyStructure = std::uint64_t;
constexpr KeyStructure no_structure = 0;
constexpr KeyStructure structure_start = 1;  // before the first token

// The structure with one more token; no_structure once the code is full. The tokens of
// a tuple's start and end are coded above those of the three item kinds.
constexpr KeyStructure extend_structure(KeyStructure structure, unsigned token) noexcept {
    return structure == no_structure || structure >> 61 != 0
               ? no_structure
               : structure << 3 | token;
}
constexpr KeyStructure extend_structure(KeyStructure structure, KeyKind item) noexcept {
    return extend_structure(structure, unsigned(item));  // integer, real or text
}
constexpr KeyStructure open_tuple(KeyStructure structure) noexcept {
    return extend_structure(structure, 6u);
}
constexpr KeyStructure close_tuple(KeyStructure structure) noexcept {
    return extend_structure(structure, 7u);
}

// The structure a set of keys shares, one key after another: no_structure once two differ.
class StructureTally {
public:
    void add(KeyStructure added) noexcept {
        shared_ = empty_ || added == shared_ ? added : no_structure;
        empty_ = false;
    }
    KeyStructure shared() const noexcept { return shared_; }

private:
    KeyStructure shared_ = no_structure;
    bool empty_ = true;
};

// Classifies a key; never fails and runs no Python code.
KeyView view_key(PyObject* key, KeyStructure& structure) noexcept;
inline KeyView view_key(PyObject* key) noexcept {
    KeyStructure unused;
    return view_key(key, unused);
}

// view_key of an exact tuple.
KeyView view_composite(PyObject* key, KeyStructure& structure) noexcept;

// Two names for the comparisons below: compare* may run Python code and throw; *_order
// answers natively, runs no Python code and cannot fail (an optional answer is nothing
// where only the rich comparison can answer).

// Where `a` sorts relative to `b` by the rich comparisons alone. Throws the comparison's or
// truth test's exception, or TypeError "PyAny::compare(): All comparisons returned false".
Ordering compare(PyObject* a, PyObject* b);

// Code point order of two exact str, which is what their ==, < and > give.
Ordering text_order(PyObject* a, PyObject* b) noexcept;

// The order of two composite keys, or nothing when the items met at one position differ
// in type and only the rich comparison of the whole keys can answer.
std::optional<Ordering> composite_order(const KeyView& a, const KeyView& b) noexcept;

// Two plain values.
template <typename T>
Ordering order_of(T x, T y) noexcept {
    return x == y ? Ordering::Equal : (x < y ? Ordering::Less : Ordering::Greater);
}

// Two (int, int) pairs held whole: by the first items, then the second.
inline Ordering pair_order(const KeyView& a, const KeyView& b) noexcept {
    const Ordering first = order_of(pair_first(a.bits, a.kind), pair_first(b.bits, b.kind));
    return first != Ordering::Equal
               ? first
               : order_of(pair_second(a.bits, a.kind), pair_second(b.bits, b.kind));
}

// The answer compare(a.object, b.object) gives, where it can be had natively; what
// `otherwise()` gives where the rich comparison is needed (including a float NaN on either
// side, where it fails). Runs no Python code itself.
template <class Otherwise>
inline auto native_order_or(const KeyView& a, const KeyView& b, Otherwise otherwise)
    -> decltype(otherwise()) {
    if (a.kind == KeyKind::integer && b.kind == KeyKind::integer) {  // the most common pair first
        return order_of(std::int64_t(a.bits), std::int64_t(b.bits));
    }
    if (is_pair(a.kind) && is_pair(b.kind)) {
        return pair_order(a, b);
    }
    if (a.kind == b.kind) {
        switch (a.kind) {
            case KeyKind::prefixed:
                if (a.bits != b.bits) {
                    return a.bits < b.bits ? Ordering::Less : Ordering::Greater;
                }
                return text_order(a.object, b.object);
            case KeyKind::real: {
                const auto x = std::bit_cast<double>(a.bits);
                const auto y = std::bit_cast<double>(b.bits);
                if (x == y) {
                    return Ordering::Equal;
                }
                if (x < y) {
                    return Ordering::Less;
                }
                if (x > y) {
                    return Ordering::Greater;
                }
                return otherwise();  // a NaN on either side
            }
            case KeyKind::text:
                return text_order(a.object, b.object);
            default:  // integers are handled above, composites below
                break;
        }
    } else if ((a.kind == KeyKind::text || a.kind == KeyKind::prefixed) &&
               (b.kind == KeyKind::text || b.kind == KeyKind::prefixed)) {
        return text_order(a.object, b.object);
    }
    if (is_composite(a.kind) && is_composite(b.kind)) {
        if (const std::optional<Ordering> order = composite_order(a, b)) {
            return *order;
        }
    }
    return otherwise();
}

// Natively where it can; nothing where the rich comparison is needed. Cannot fail.
inline std::optional<Ordering> native_order(const KeyView& a, const KeyView& b) noexcept {
    return native_order_or(a, b, [] { return std::optional<Ordering>(); });
}

// The class of keys that compare natively with every key of the same class, named by a
// kind: integer, real (no NaN), text (either form of str), pair (every pair), or general
// for the keys of no such class. Such comparisons always answer, run no Python code and
// cannot fail.
inline KeyKind native_class(const KeyView& key) noexcept {
    switch (key.kind) {
        case KeyKind::integer:
            return KeyKind::integer;
        case KeyKind::text:
        case KeyKind::prefixed:
            return KeyKind::text;
        case KeyKind::real: {
            const auto value = std::bit_cast<double>(key.bits);
            return value == value ? KeyKind::real : KeyKind::general;
        }
        default:
            return is_pair(key.kind) ? KeyKind::pair : KeyKind::general;
    }
}

// native_order of two keys of the one class `shared` (see native_class).
inline Ordering class_order(const KeyView& a, const KeyView& b, KeyKind shared) noexcept {
    switch (shared) {
        case KeyKind::integer:
            return order_of(std::int64_t(a.bits), std::int64_t(b.bits));
        case KeyKind::pair:
            return pair_order(a, b);
        default:
            return *native_order(a, b);
    }
}

// compare_views(a, b) below for all but two int keys: natively where both sides allow it,
// by the rich comparison otherwise.
Ordering compare_other_views(const KeyView& a, const KeyView& b);

// The same answer as compare(a.object, b.object), natively where both sides allow it.
inline Ordering compare_views(const KeyView& a, const KeyView& b) {
    if (a.kind == KeyKind::integer && b.kind == KeyKind::integer) {  // the most common pair
        return order_of(std::int64_t(a.bits), std::int64_t(b.bits));
    }
    return compare_other_views(a, b);
}

}  // namespace quorel::tree
