// BorrowState: the state word of a BorrowFlag.
//
// The word holds the exclusive bit, a "someone sleeps" bit, a "shared borrows of several
// threads" bit, the number of threads waiting for the exclusive borrow and the number of
// shared borrows. Which threads hold the borrows is kept apart (borrow_registry.hpp), and
// so are the threads that wait (wait_queue.hpp).
//
// When threads run free, every change of the word is an atomic read-modify-write. Under an
// interpreter lock the thread holding the lock makes every change, which orders them all:
// plain loads and stores suffice, and the uncontended borrow costs little more than a
// counter. Both variants have the same members; the build picks one, once, below.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "call_boundary/support/compat.hpp"  // Py_GIL_DISABLED

#if defined(Py_GIL_DISABLED) || defined(Py_TARGET_ABI3T)
#define QUOREL_THREADS_RUN_FREE 1
#else
#define QUOREL_THREADS_RUN_FREE 0
#endif

namespace quorel {

enum class Access { shared, exclusive };

struct BorrowBits {
    static constexpr std::uint64_t exclusive = 1;
    static constexpr std::uint64_t sleeping = 2;
    static constexpr std::uint64_t several = 4;  // shared borrows of several threads
    static constexpr std::uint64_t one_writer = 8;
    static constexpr std::uint64_t writers = ((std::uint64_t(1) << 22) - 1) & ~std::uint64_t(7);
    static constexpr std::uint64_t one_reader = std::uint64_t(1) << 22;

    // What one borrow of the kind adds to the word.
    static constexpr std::uint64_t unit(Access access) noexcept {
        return access == Access::shared ? one_reader : exclusive;
    }
    // Whether a thread holding no borrow of the flag may take one of the kind now: a shared
    // borrow waits behind the exclusive one and behind waiting writers.
    static constexpr bool admits(Access access, std::uint64_t seen) noexcept {
        return access == Access::shared ? (seen & (exclusive | writers)) == 0
                                        : (seen & exclusive) == 0 && seen < one_reader;
    }
};

// The word changed by atomic operations.
class AtomicBorrowState : public BorrowBits {
public:
    std::uint64_t load() const noexcept { return word_.load(std::memory_order_relaxed); }

    // Sets the word to `next` if it is still `seen`; otherwise loads the current word into
    // `seen` and returns false.
    bool replace(std::uint64_t& seen, std::uint64_t next) noexcept {
        return word_.compare_exchange_weak(seen, next, std::memory_order_acq_rel,
                                           std::memory_order_relaxed);
    }

    // Changes the word by `change` whatever it holds; returns the word before.
    std::uint64_t change_by(std::uint64_t change) noexcept {
        return word_.fetch_add(change, std::memory_order_acq_rel);
    }

    // The uncontended borrow: taken when nothing excludes it and no other thread changes
    // the word meanwhile.
    template <Access Kind>
    [[gnu::always_inline]] bool try_take() noexcept {
        std::uint64_t seen = load();
        const bool free = Kind == Access::shared ? (seen & (exclusive | writers)) == 0 : seen == 0;
        return free && replace(seen, seen + unit(Kind));
    }

    // Gives back one borrow of the kind; returns the word before.
    template <Access Kind>
    [[gnu::always_inline]] std::uint64_t give_back() noexcept {
        return word_.fetch_sub(unit(Kind), std::memory_order_acq_rel);
    }

private:
    std::atomic<std::uint64_t> word_{0};
};

// The word changed only by the thread that holds the interpreter lock.
class PlainBorrowState : public BorrowBits {
public:
    std::uint64_t load() const noexcept { return word_; }

    // Always succeeds: nothing changes the word between the load and the store.
    bool replace(std::uint64_t& seen, std::uint64_t next) noexcept {
        static_cast<void>(seen);
        word_ = next;
        return true;
    }

    std::uint64_t change_by(std::uint64_t change) noexcept {
        const std::uint64_t before = word_;
        word_ = before + change;
        return before;
    }

    template <Access Kind>
    [[gnu::always_inline]] bool try_take() noexcept {
        if (word_ != 0) {  // the usual call finds nothing held and nobody waiting
            return false;
        }
        word_ = unit(Kind);
        return true;
    }

    template <Access Kind>
    [[gnu::always_inline]] std::uint64_t give_back() noexcept {
        return change_by(std::uint64_t(0) - unit(Kind));
    }

private:
    std::uint64_t word_ = 0;
};

using BorrowState =
    std::conditional_t<QUOREL_THREADS_RUN_FREE != 0, AtomicBorrowState, PlainBorrowState>;

}  // namespace quorel
