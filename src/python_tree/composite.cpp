// Native forms and comparison of composite keys: exact tuples of natively comparable items.
//
// Python compares two tuples item by item: the first position whose items are not identical
// and not == decides with the items' own < (or >), and when one tuple runs out first, the
// shorter one is less. For exact int, str and non-NaN float items identity implies ==, and
// none of ==, < and > runs Python code or can fail when both items have the same of these
// types, so computing that answer natively is not observable.
#include <bit>
#include <optional>

#include "python_tree/compare.hpp"

namespace quorel::tree {
namespace {

// Nesting deeper than this is left to the rich comparison rather than recursed into.
constexpr int max_depth = 16;

bool native_int(PyObject* item, std::int64_t& value) noexcept {
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(item, &overflow);
    return overflow == 0;
}

double real_of(PyObject* item) noexcept { return PyFloat_AsDouble(item); }

// Whether every item of the exact tuple is natively comparable; adds the tuple's tokens
// to `structure` on the way.
bool native_items(PyObject* tuple, int depth, KeyStructure& structure) noexcept {
    const Py_ssize_t length = PyTuple_Size(tuple);
    if (length == 0 || depth > max_depth) {
        return false;
    }
    structure = open_tuple(structure);
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject* item = PyTuple_GetItem(tuple, i);
        std::int64_t ignored;
        bool native = true;
        if (PyLong_CheckExact(item)) {
            native = native_int(item, ignored);
            structure = extend_structure(structure, KeyKind::integer);
        } else if (PyUnicode_CheckExact(item)) {
            structure = extend_structure(structure, KeyKind::text);
        } else if (PyFloat_CheckExact(item)) {
            native = real_of(item) == real_of(item);
            structure = extend_structure(structure, KeyKind::real);
        } else {
            native = PyTuple_CheckExact(item) && native_items(item, depth + 1, structure);
        }
        if (!native) {
            return false;
        }
    }
    structure = close_tuple(structure);
    return true;
}

// Bits needed for a value in two's complement.
unsigned width(std::int64_t value) noexcept {
    return 65u - unsigned(std::countl_zero(std::uint64_t(value < 0 ? ~value : value)));
}

// Item by item as Python does, or nothing when the items at one position differ in type;
// the items before `from` are known to be equal. Both tuples hold natively comparable
// items only.
std::optional<Ordering> items_order(PyObject* a, PyObject* b, Py_ssize_t from = 0) noexcept {
    const Py_ssize_t na = PyTuple_Size(a);
    const Py_ssize_t nb = PyTuple_Size(b);
    const Py_ssize_t n = na < nb ? na : nb;
    for (Py_ssize_t i = from; i < n; ++i) {
        PyObject* x = PyTuple_GetItem(a, i);
        PyObject* y = PyTuple_GetItem(b, i);
        if (x == y) {
            continue;
        }
        std::optional<Ordering> order;
        if (Py_TYPE(x) != Py_TYPE(y)) {
            return std::nullopt;
        }
        if (PyLong_CheckExact(x)) {
            std::int64_t u;
            std::int64_t v;
            native_int(x, u);
            native_int(y, v);
            order = order_of(u, v);
        } else if (PyUnicode_CheckExact(x)) {
            order = text_order(x, y);
        } else if (PyFloat_CheckExact(x)) {
            order = order_of(real_of(x), real_of(y));
        } else {
            order = items_order(x, y);
            if (!order) {
                return std::nullopt;
            }
        }
        if (*order != Ordering::Equal) {
            return order;
        }
    }
    return order_of(na, nb);
}

// The first item's native form, as the kind and bits of a plain key (general for a tuple).
KeyView head(const KeyView& key) noexcept {
    if (is_pair(key.kind)) {
        return {nullptr, std::uint64_t(pair_first(key.bits, key.kind)), KeyKind::integer};
    }
    if (key.kind == KeyKind::tuple_tuple) {
        return {nullptr, 0, KeyKind::general};
    }
    const auto kind = KeyKind(unsigned(key.kind) - unsigned(KeyKind::tuple_integer) +
                              unsigned(KeyKind::integer));
    return {nullptr, key.bits, kind};
}

}  // namespace

KeyView view_composite(PyObject* key, KeyStructure& structure) noexcept {
    structure = structure_start;
    if (!native_items(key, 0, structure)) {
        structure = no_structure;
        return {key, 0, KeyKind::general};
    }
    PyObject* first = PyTuple_GetItem(key, 0);
    if (PyLong_CheckExact(first)) {
        std::int64_t x;
        std::int64_t y;
        PyObject* second = PyTuple_Size(key) == 2 ? PyTuple_GetItem(key, 1) : nullptr;
        native_int(first, x);
        if (second != nullptr && PyLong_CheckExact(second) && native_int(second, y)) {
            const unsigned s = width(y);
            if (s < 64 && width(x) <= 64 - s) {
                const std::uint64_t low = std::uint64_t(y) & ((std::uint64_t(1) << s) - 1);
                return {key, (std::uint64_t(x) << s) | low,
                        KeyKind(unsigned(KeyKind::pair) + s)};
            }
        }
        return {key, std::uint64_t(x), KeyKind::tuple_integer};
    }
    if (PyTuple_CheckExact(first)) {
        return {key, 0, KeyKind::tuple_tuple};
    }
    const KeyView item = view_key(first);
    const auto kind = KeyKind(unsigned(item.kind) - unsigned(KeyKind::integer) +
                              unsigned(KeyKind::tuple_integer));
    return {key, item.bits, kind};
}

std::optional<Ordering> composite_order(const KeyView& a, const KeyView& b) noexcept {
    // Distinct int first items, the common case, decide at once.
    const bool int_heads = (a.kind == KeyKind::tuple_integer || is_pair(a.kind)) &&
                           (b.kind == KeyKind::tuple_integer || is_pair(b.kind));
    if (int_heads) {
        const std::int64_t x = is_pair(a.kind) ? pair_first(a.bits, a.kind) : std::int64_t(a.bits);
        const std::int64_t y = is_pair(b.kind) ? pair_first(b.bits, b.kind) : std::int64_t(b.bits);
        if (x != y) {
            return x < y ? Ordering::Less : Ordering::Greater;
        }
    }
    // Distinct first items of one type decide without touching the tuples.
    const KeyView x = head(a);
    const KeyView y = head(b);
    if (x.kind == y.kind && x.bits != y.bits) {
        if (x.kind == KeyKind::integer) {
            return order_of(std::int64_t(x.bits), std::int64_t(y.bits));
        }
        if (x.kind == KeyKind::prefixed) {
            return order_of(x.bits, y.bits);
        }
        if (x.kind == KeyKind::real) {
            const auto u = std::bit_cast<double>(x.bits);
            const auto v = std::bit_cast<double>(y.bits);
            if (u != v) {  // 0.0 and -0.0 are equal
                return order_of(u, v);
            }
        }
    }
    // Equal int or float first items (no NaN is native) leave the rest to decide.
    const bool equal_heads =
        x.kind == y.kind && x.bits == y.bits && (x.kind == KeyKind::integer || x.kind == KeyKind::real);
    return items_order(a.object, b.object, equal_heads ? 1 : 0);
}

}  // namespace quorel::tree
