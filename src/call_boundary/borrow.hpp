// BorrowFlag: the per-instance guard against re-entrant use from Python code that the
// module calls back (key callables, comparison methods, finalisers, __repr__).
//
// 0 is free, n > 0 counts shared borrows, -1 marks one exclusive borrow. Shared borrows
// nest; an exclusive borrow excludes every other use. A refused borrow is never waited
// for: the caller gets RuntimeError at once.
//
// Every use happens under the interpreter lock, which orders all accesses to the flag, so
// plain loads and stores suffice: no atomic read-modify-write is needed on hot paths.
#pragma once

#include <cstdint>

#include "call_boundary/failure.hpp"

namespace quorel {

class BorrowFlag {
public:
    void acquire_shared() {
        if (state_ == exclusive) {
            refuse_shared();
        }
        ++state_;
    }
    void release_shared() noexcept { --state_; }
    // Whether one shared borrow is all there is: no other member is part-way through.
    bool sole_shared() const noexcept { return state_ == 1; }

    void acquire_exclusive() {
        if (state_ != 0) {
            refuse_exclusive();
        }
        state_ = exclusive;
    }
    void release_exclusive() noexcept { state_ = 0; }

private:
    static constexpr std::int64_t exclusive = -1;
    [[noreturn]] static void refuse_shared();
    [[noreturn]] static void refuse_exclusive();

    std::int64_t state_ = 0;
};

// Scoped borrows: taken in the constructor, given back on every exit path.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) { flag_.acquire_shared(); }
    ~SharedBorrow() { flag_.release_shared(); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) { flag_.acquire_exclusive(); }
    ~ExclusiveBorrow() { flag_.release_exclusive(); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

}  // namespace quorel
