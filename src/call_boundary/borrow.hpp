// BorrowFlag: the per-instance guard that orders the calls made on one tree or iterator.
//
// A member holds a shared borrow (readers may hold several at once) or the exclusive one
// (nothing else at the same time) for its whole run. Between threads the guard is a lock
// that prefers writers: a borrow another thread's borrow excludes is waited for, with the
// interpreter released meanwhile, and while a thread waits for the exclusive borrow new
// readers from other threads wait behind it. Within one thread it is a re-entry check:
// Python code that a member calls back (a key callable, a comparison, __repr__, a
// finaliser) may take a shared borrow beside the thread's own shared one, at once even
// when a writer waits; anything else is refused with RuntimeError, never waited for.
//
// Each thread keeps the borrows it holds as a chain of HeldBorrow records, innermost
// first, living in the frames of the members that took them. The chain is only read when
// the state word refuses a borrow, to tell re-entry from a call of another thread.
//
// The state word holds the exclusive bit, a "someone sleeps" bit, the number of threads
// waiting for the exclusive borrow and the number of shared borrows. When threads run
// free, it changes by atomic read-modify-write only. Under an interpreter lock every
// change is made by the thread holding it, which orders them all: plain loads and stores
// suffice and the uncontended path costs what a counter does.
#pragma once

#include <atomic>
#include <cstdint>

#include "call_boundary/compat.hpp"

#if defined(Py_GIL_DISABLED) || defined(Py_TARGET_ABI3T)
#define QUOREL_THREADS_RUN_FREE 1
#else
#define QUOREL_THREADS_RUN_FREE 0
#endif

namespace quorel {

enum class Access { shared, exclusive };

class BorrowFlag;

// One borrow the current thread holds.
struct HeldBorrow {
    const BorrowFlag* flag;
    Access access;
    HeldBorrow* outer;
};

// The innermost borrow the current thread holds, or null.
inline constinit thread_local HeldBorrow* innermost_borrow = nullptr;

class BorrowFlag {
public:
    // Takes a borrow of the given kind for the calling thread and records it in `held`,
    // waiting while another thread's borrow excludes it; throws RuntimeError when the
    // calling thread's own borrow does.
    template <Access Kind>
    void acquire(HeldBorrow& held) {
        std::uint64_t seen = state_.load(std::memory_order_relaxed);
        const bool free = Kind == Access::shared ? (seen & (exclusive | writers)) == 0 : seen == 0;
        if (!free || !replace(seen, seen + (Kind == Access::shared ? one_reader : exclusive))) {
            acquire_contended(Kind);
        }
        held = HeldBorrow{this, Kind, innermost_borrow};
        innermost_borrow = &held;
    }

    // Gives back the innermost borrow of the calling thread, which `held` records.
    void release(const HeldBorrow& held) noexcept {
        innermost_borrow = held.outer;
        const std::uint64_t before =
            subtract(held.access == Access::shared ? one_reader : exclusive);
        if ((before & sleeping) != 0) {
            wake();
        }
    }

    // Runs `work` with the instance to itself when the calling thread's innermost borrow
    // is a shared one of this flag and the only borrow, and nobody waits: the borrow turns
    // exclusive for that time and shared again after. Otherwise `work` does not run.
    template <class Work>
    void alone(Work&& work) {
        HeldBorrow* held = innermost_borrow;
        std::uint64_t seen = one_reader;
        if (held == nullptr || held->flag != this || held->access != Access::shared ||
            state_.load(std::memory_order_relaxed) != one_reader || !replace(seen, exclusive)) {
            return;
        }
        held->access = Access::exclusive;
        struct Downgrade {
            BorrowFlag& flag;
            HeldBorrow& held;
            ~Downgrade() {
                held.access = Access::shared;
                flag.downgrade();
            }
        } downgrade{*this, *held};
        work();
    }

private:
    static constexpr std::uint64_t exclusive = 1;
    static constexpr std::uint64_t sleeping = 2;
    static constexpr std::uint64_t one_writer = 4;
    static constexpr std::uint64_t writers = ((std::uint64_t(1) << 20) - 1) * one_writer;
    static constexpr std::uint64_t one_reader = std::uint64_t(1) << 22;

    // Sets the state to `next` if it is still `seen`; otherwise loads the current state
    // into `seen` and returns false.
    bool replace(std::uint64_t& seen, std::uint64_t next) noexcept {
#if QUOREL_THREADS_RUN_FREE
        return state_.compare_exchange_weak(seen, next, std::memory_order_acq_rel,
                                            std::memory_order_relaxed);
#else
        static_cast<void>(seen);  // always current: nothing changes the state meanwhile
        state_.store(next, std::memory_order_relaxed);
        return true;
#endif
    }

    // Takes `amount` off the state; returns the state before.
    std::uint64_t subtract(std::uint64_t amount) noexcept {
#if QUOREL_THREADS_RUN_FREE
        return state_.fetch_sub(amount, std::memory_order_acq_rel);
#else
        const std::uint64_t before = state_.load(std::memory_order_relaxed);
        state_.store(before - amount, std::memory_order_relaxed);
        return before;
#endif
    }

    // Adds `amount` to the state whatever it holds.
    void add(std::uint64_t amount) noexcept {
        std::uint64_t seen = state_.load(std::memory_order_relaxed);
        while (!replace(seen, seen + amount)) {
        }
    }

    void acquire_contended(Access kind);
    void sleep(std::uint64_t seen);
    void wake() noexcept;
    void downgrade() noexcept;
    [[noreturn]] static void refuse_shared();
    [[noreturn]] static void refuse_exclusive();

    std::atomic<std::uint64_t> state_{0};
};

// A scoped borrow: taken in the constructor, given back on every exit path.
template <Access Kind>
class Borrow {
public:
    explicit Borrow(BorrowFlag& flag) : flag_(flag) { flag_.acquire<Kind>(held_); }
    ~Borrow() { flag_.release(held_); }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

private:
    BorrowFlag& flag_;
    HeldBorrow held_;
};

using SharedBorrow = Borrow<Access::shared>;
using ExclusiveBorrow = Borrow<Access::exclusive>;

}  // namespace quorel
