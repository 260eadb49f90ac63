#include "python/release.hpp"

#include <vector>

namespace quorel::python {
namespace {

// Each level costs a few hundred bytes of stack (our frames plus the interpreter's
// deallocation frames), so this keeps nested releases within a few tens of kilobytes.
constexpr int max_depth = 64;

thread_local int depth = 0;
thread_local std::vector<Parcel> parked;

}  // namespace

void release_bounded(Parcel parcel) noexcept {
    if (depth >= max_depth) {
        parked.push_back(std::move(parcel));
        return;
    }
    ++depth;
    parcel = std::monostate{};
    if (depth == 1) {
        while (!parked.empty()) {
            Parcel next = std::move(parked.back());
            parked.pop_back();
        }
    }
    --depth;
}

}  // namespace quorel::python
