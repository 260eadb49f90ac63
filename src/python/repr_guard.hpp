// The guard of the text forms against a container that holds itself.
#pragma once

#include "call_boundary/support/failure.hpp"

namespace quorel::python {

// Marks a container whose text form is being built on this thread, as Python's own
// containers do, so that one holding itself shows the inner occurrence abridged.
class ReprGuard {
public:
    explicit ReprGuard(PyObject* self) : self_(self) {
        const int status = Py_ReprEnter(self);
        check_status(status);
        nested_ = status > 0;
    }
    ~ReprGuard() {
        if (!nested_) {
            Py_ReprLeave(self_);
        }
    }
    ReprGuard(const ReprGuard&) = delete;
    ReprGuard& operator=(const ReprGuard&) = delete;

    bool nested() const noexcept { return nested_; }

private:
    PyObject* self_;
    bool nested_ = false;
};

}  // namespace quorel::python
