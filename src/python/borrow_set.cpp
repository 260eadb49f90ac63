#include "python/borrow_set.hpp"

#include <algorithm>
#include <functional>
#include <utility>

namespace quorel::python {

BorrowSet::BorrowSet(BorrowFlag& own, Access access, Vector<BorrowFlag*> others)
    : flags_(std::move(others)) {
    flags_.push_back(&own);
    std::sort(flags_.begin(), flags_.end(), std::less<>());
    flags_.erase(std::unique(flags_.begin(), flags_.end()), flags_.end());
    if (access == Access::exclusive) {
        exclusive_ = &own;
    }
    try {
        for (; taken_ < flags_.size(); ++taken_) {
            if (flags_[taken_] == exclusive_) {
                flags_[taken_]->acquire<Access::exclusive>();
            } else {
                flags_[taken_]->acquire<Access::shared>();
            }
        }
    } catch (...) {
        release();
        throw;
    }
}

void BorrowSet::release() noexcept {
    while (taken_ > 0) {
        BorrowFlag* flag = flags_[--taken_];
        if (flag == exclusive_) {
            flag->release<Access::exclusive>();
        } else {
            flag->release<Access::shared>();
        }
    }
}

}  // namespace quorel::python
