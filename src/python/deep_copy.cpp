#include "python/deep_copy.hpp"

#include "call_boundary/support/failure.hpp"

namespace quorel::python {

DeepCopier::DeepCopier(PyObject* memo) : memo_(memo) {
    Ref module = checked(PyImport_ImportModule("copy"));
    deepcopy_ = checked(PyObject_GetAttrString(module.get(), "deepcopy"));
    if (memo_ == Py_None) {
        own_memo_ = checked(PyDict_New());
        memo_ = own_memo_.get();
    }
}

void DeepCopier::remember(PyObject* original, PyObject* copy) const {
    Ref id = checked(PyLong_FromVoidPtr(original));
    check_status(PyObject_SetItem(memo_, id.get(), copy));
}

Ref DeepCopier::operator()(PyObject* object) const {
    return checked(PyObject_CallFunctionObjArgs(deepcopy_.get(), object, memo_, nullptr));
}

}  // namespace quorel::python
