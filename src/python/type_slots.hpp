// Type slots checked against the functions they hold: type_slot<Id>(function) takes only a
// function of the signature that slot `Id` calls, so a slot cannot be paired with the
// wrong kind of function. Only the slots the module's classes fill are listed.
#pragma once

#include "call_boundary/support/compat.hpp"

namespace quorel::python {

template <int Id>
struct SlotFunction;
template <> struct SlotFunction<Py_tp_new> { using type = newfunc; };
template <> struct SlotFunction<Py_tp_dealloc> { using type = destructor; };
template <> struct SlotFunction<Py_tp_traverse> { using type = traverseproc; };
template <> struct SlotFunction<Py_tp_clear> { using type = inquiry; };
template <> struct SlotFunction<Py_tp_hash> { using type = hashfunc; };
template <> struct SlotFunction<Py_tp_richcompare> { using type = richcmpfunc; };
template <> struct SlotFunction<Py_tp_repr> { using type = reprfunc; };
template <> struct SlotFunction<Py_tp_iter> { using type = getiterfunc; };
template <> struct SlotFunction<Py_tp_iternext> { using type = iternextfunc; };
template <> struct SlotFunction<Py_mp_length> { using type = lenfunc; };
template <> struct SlotFunction<Py_mp_subscript> { using type = binaryfunc; };
template <> struct SlotFunction<Py_mp_ass_subscript> { using type = objobjargproc; };
template <> struct SlotFunction<Py_sq_contains> { using type = objobjproc; };
template <> struct SlotFunction<Py_nb_bool> { using type = inquiry; };
template <> struct SlotFunction<Py_nb_or> { using type = binaryfunc; };
template <> struct SlotFunction<Py_nb_and> { using type = binaryfunc; };
template <> struct SlotFunction<Py_nb_subtract> { using type = binaryfunc; };
template <> struct SlotFunction<Py_nb_xor> { using type = binaryfunc; };
template <> struct SlotFunction<Py_nb_inplace_or> { using type = binaryfunc; };
template <> struct SlotFunction<Py_nb_inplace_and> { using type = binaryfunc; };
template <> struct SlotFunction<Py_nb_inplace_subtract> { using type = binaryfunc; };
template <> struct SlotFunction<Py_nb_inplace_xor> { using type = binaryfunc; };

template <int Id>
PyType_Slot type_slot(typename SlotFunction<Id>::type function) noexcept {
    return {Id, reinterpret_cast<void*>(function)};
}

constexpr bool binary_operator_slot(int id) noexcept {
    return id == Py_nb_or || id == Py_nb_and || id == Py_nb_subtract || id == Py_nb_xor;
}

constexpr bool in_place_operator_slot(int id) noexcept {
    return id == Py_nb_inplace_or || id == Py_nb_inplace_and || id == Py_nb_inplace_subtract ||
           id == Py_nb_inplace_xor;
}

}  // namespace quorel::python
