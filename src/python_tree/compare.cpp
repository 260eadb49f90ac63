#include "python_tree/compare.hpp"

#include "call_boundary/support/failure.hpp"

namespace quorel::tree {
namespace {

// Whether the rich comparison `a op b` gives a true result; throws what it or the truth
// test raises.
bool comparison_true(PyObject* a, PyObject* b, int op) {
    Ref result = checked(PyObject_RichCompare(a, b, op));
    const int truth = PyObject_IsTrue(result.get());
    if (truth < 0) {
        // The pending exception is taken before the result object is released.
        throw_fetched();
    }
    return truth != 0;
}

// Packs the first 8 code points of a str, big-endian, one byte each, zero-padded. Strings
// whose packed prefixes differ compare as the prefixes do: a padding zero stands below any
// code point a longer string has there, and equal prefixes decide nothing.
// One copy of the first 8 units as wide characters costs a fraction of eight reads of
// single code points. Where wchar_t has 16 bits, a code point above the first plane comes
// as two surrogates, both above 0xFF: such a str is not packed either way.
KeyView view_text(PyObject* key) noexcept {
    wchar_t units[8];
    const Py_ssize_t packed = PyUnicode_AsWideChar(key, units, 8);
    if (packed < 0) {
        PyErr_Clear();  // only a non-str fails, and the caller checked the type
        return {key, 0, KeyKind::text};
    }
    std::uint64_t bits = 0;
    for (Py_ssize_t i = 0; i < packed; ++i) {
        const auto c = std::uint32_t(units[i]);
        if (c > 0xFF) {
            return {key, 0, KeyKind::text};
        }
        bits |= std::uint64_t(c) << (56 - 8 * i);
    }
    return {key, bits, KeyKind::prefixed};
}

}  // namespace

KeyView view_key(PyObject* key, KeyStructure& structure) noexcept {
    if (PyLong_CheckExact(key)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(key, &overflow);
        if (overflow == 0) {
            structure = extend_structure(structure_start, KeyKind::integer);
            return {key, std::uint64_t(value), KeyKind::integer};
        }
    } else if (PyUnicode_CheckExact(key)) {
        structure = extend_structure(structure_start, KeyKind::text);
        return view_text(key);
    } else if (PyFloat_CheckExact(key)) {
        const double value = PyFloat_AsDouble(key);
        const auto bits = std::bit_cast<std::uint64_t>(value);
        structure =
            value == value ? extend_structure(structure_start, KeyKind::real) : no_structure;
        return {key, bits, KeyKind::real};
    } else if (PyTuple_CheckExact(key)) {
        return view_composite(key, structure);
    }
    structure = no_structure;
    return {key, 0, KeyKind::general};
}

// Code point order, which is what ==, < and > of two str give; cannot fail for exact str.
Ordering text_order(PyObject* a, PyObject* b) noexcept {
    const int order = PyUnicode_Compare(a, b);
    return order == 0 ? Ordering::Equal : (order < 0 ? Ordering::Less : Ordering::Greater);
}

Ordering compare_other_views(const KeyView& a, const KeyView& b) {
    return native_order_or(a, b, [&] { return compare(a.object, b.object); });
}

Ordering compare(PyObject* a, PyObject* b) {
    if (comparison_true(a, b, Py_EQ)) {
        return Ordering::Equal;
    }
    if (comparison_true(a, b, Py_LT)) {
        return Ordering::Less;
    }
    if (comparison_true(a, b, Py_GT)) {
        return Ordering::Greater;
    }
    throw_error(PyExc_TypeError, "PyAny::compare(): All comparisons returned false");
}

}  // namespace quorel::tree
