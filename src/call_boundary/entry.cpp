#include "call_boundary/entry.hpp"

#include <new>

namespace quorel::boundary {

void translate_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (Failure& failure) {
            failure.restore();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (...) {
            Failure::internal("unexpected C++ exception in native code").restore();
        }
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace quorel::boundary
