#include "python/release.hpp"

#include "call_boundary/support/memory.hpp"

namespace quorel::python {
namespace {

// Each level costs a few hundred bytes of stack (our frames plus the interpreter's
// deallocation frames), so this keeps nested releases within a few tens of kilobytes.
constexpr int max_depth = 64;

thread_local int depth = 0;
thread_local Vector<Parcel> parked;  // empty, without a buffer, whenever depth is 0

// Parks a parcel for the outermost release; false when there is no memory for it. A
// release may run while an exception is pending, which the attempt must leave alone.
bool park(Parcel& parcel) noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    compat::stash_error(&type, &value, &traceback);
    bool done = true;
    try {
        parked.push_back(std::move(parcel));
    } catch (...) {
        done = false;
    }
    compat::restore_error(type, value, traceback);
    return done;
}

}  // namespace

void release_bounded(Parcel parcel) noexcept {
    // Without memory to park it, the parcel is released here, a little past the bound.
    if (depth >= max_depth && park(parcel)) {
        return;
    }
    ++depth;
    parcel = std::monostate{};
    if (depth == 1) {
        while (!parked.empty()) {
            Parcel next = std::move(parked.back());
            parked.pop_back();
        }
        Vector<Parcel>().swap(parked);
    }
    --depth;
}

}  // namespace quorel::python
