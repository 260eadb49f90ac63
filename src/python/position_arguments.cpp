#include "python/position_arguments.hpp"

#include "call_boundary/support/failure.hpp"

namespace quorel::python {

bool position(PyObject* index, std::uint64_t size, std::uint64_t& out) {
    Ref number = checked(PyNumber_Index(index));
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        throw_fetched();
    }
    if (overflow != 0) {
        return false;
    }
    if (value < 0) {
        value += static_cast<long long>(size);
    }
    if (value < 0 || std::uint64_t(value) >= size) {
        return false;
    }
    out = std::uint64_t(value);
    return true;
}

SlicePositions slice_positions(PyObject* slice, std::uint64_t size) {
    Py_ssize_t start = 0;
    Py_ssize_t stop = 0;
    Py_ssize_t step = 0;
    check_status(PySlice_Unpack(slice, &start, &stop, &step));
    const Py_ssize_t length = PySlice_AdjustIndices(Py_ssize_t(size), &start, &stop, step);
    return {std::uint64_t(start), step, std::uint64_t(length)};
}

Ref as_list(tree::Snapshot snapshot) {
    Ref list = checked(PyList_New(Py_ssize_t(snapshot.size())));
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        PyList_SetItem(list.get(), Py_ssize_t(i), snapshot[i].release());
    }
    return list;
}

}  // namespace quorel::python
