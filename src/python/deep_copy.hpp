// What the deep copies of AVLTree and AVLDict share: copy.deepcopy called with the
// caller's memo (or a dict of the copy's own when the caller gives None), and the new
// container entered in that memo before anything is copied, so that objects referring
// back to the original get the copy, as they would in a list.
#pragma once

#include "call_boundary/support/ref.hpp"

namespace quorel::python {

class DeepCopier {
public:
    explicit DeepCopier(PyObject* memo);

    // Records `copy` in the memo as the copy of `original`.
    void remember(PyObject* original, PyObject* copy) const;

    // copy.deepcopy(object, memo).
    Ref operator()(PyObject* object) const;

private:
    Ref deepcopy_;
    Ref own_memo_;
    PyObject* memo_;
};

}  // namespace quorel::python
