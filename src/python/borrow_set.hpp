// BorrowSet: the borrows of one bulk member, taken at once: its own instance's (shared, or
// exclusive for an in-place form) and a shared one of each other instance it reads. They
// are taken in the order of the flags' addresses, so members that hold several borrows at
// once in different threads never wait for each other in a cycle, and given back in the
// reverse order, on every exit path; a refusal gives back those already taken.
#pragma once

#include "call_boundary/borrow.hpp"
#include "call_boundary/support/memory.hpp"

namespace quorel::python {

class BorrowSet {
public:
    BorrowSet(BorrowFlag& own, Access access, Vector<BorrowFlag*> others);
    BorrowSet(const BorrowSet&) = delete;
    BorrowSet& operator=(const BorrowSet&) = delete;
    ~BorrowSet() { release(); }

private:
    void release() noexcept;

    Vector<BorrowFlag*> flags_;
    BorrowFlag* exclusive_ = nullptr;  // the one flag taken exclusively, if any
    std::size_t taken_ = 0;
};

}  // namespace quorel::python
