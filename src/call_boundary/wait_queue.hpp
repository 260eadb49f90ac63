// WaitQueue: the threads that wait for a borrow, and where they sleep.
//
// A thread that must wait for a borrow another thread's borrow excludes enters the queue
// first. Entering looks for a cycle: when the threads it would wait for wait themselves,
// directly or through other flags and threads, for a borrow it holds, nobody in the cycle
// could ever go on, and the wait is refused instead. The search reads the waits and the
// holders of the flags they are for under one process-wide lock, which every entry and
// exit of the queue takes; a waiting thread changes none of its borrows, so the last
// thread to close a cycle always sees all of it, and a wait that is over (its borrow
// taken) has left the queue in the same step.
//
// Waiting threads sleep detached from the interpreter in one of a fixed set of buckets,
// chosen by the flag's address, so an instance carries no lock of its own.
#pragma once

#include <cstdint>

#include "call_boundary/borrow_registry.hpp"
#include "call_boundary/borrow_state.hpp"
#include "call_boundary/sleeper.hpp"

namespace quorel {

// One thread's wait for a borrow of a flag.
struct Waiter {
    const BorrowState* flag;
    const BorrowRegistry* holders;  // the flag's registry object
    Access access;
    ThreadId thread;
};

class WaitQueue {
public:
    // Adds the calling thread's wait, or returns false, adding nothing, when it would close
    // a cycle of waits. May throw MemoryError.
    static bool enter(const Waiter& waiter);
    static void leave(const Waiter& waiter) noexcept;

    // Runs `take` under the queue's lock; when it took the borrow, the waiter leaves the
    // queue in the same step.
    template <class Take>
    static bool leave_taking(const Waiter& waiter, Take&& take) {
        Lock lock;
        if (!take()) {
            return false;
        }
        remove(waiter);
        return true;
    }

    // Marks the flag as slept on, unless its word is no longer `seen`, and sleeps detached
    // from the interpreter until a wake of the flag's bucket or the deadline, if any;
    // returns false when the deadline passed.
    static bool sleep(BorrowState& flag, std::uint64_t seen, const Deadline* until);
    // Clears the flag's "sleeping" mark and wakes every thread that sleeps in its bucket.
    [[gnu::noinline]] static void wake(BorrowState& flag) noexcept;

    // Whether the calling thread is the interpreter's main thread, whose waits run the
    // signal handlers every so often. Runs Python code; may throw.
    static bool on_main_thread();

private:
    class Lock {
    public:
        Lock() noexcept;
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
    };
    static void remove(const Waiter& waiter) noexcept;
};

}  // namespace quorel
