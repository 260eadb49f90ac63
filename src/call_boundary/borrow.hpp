// BorrowFlag: the per-instance guard that orders the calls made on one tree or iterator.
//
// A member holds a shared borrow (several may be held at once) or the exclusive one
// (nothing else at the same time) for its whole run. Between threads the guard is a lock
// that prefers writers: a borrow that another thread's borrow excludes is waited for,
// detached from the interpreter, and while a thread waits for the exclusive borrow, new
// readers from other threads wait behind it. Within one thread it is a re-entry check:
// Python code that a member calls back (a key callable, a comparison, __repr__, a
// finaliser) may take a shared borrow beside the thread's own shared one, at once even
// when a writer waits; anything else is refused with RuntimeError, never waited for.
// Coroutines that switch stacks within one thread (greenlets) count as that thread.
//
// The state word holds the exclusive bit, a "someone sleeps" bit, the number of threads
// waiting for the exclusive borrow and the number of shared borrows. Which threads hold
// the borrows is only read when the state word refuses one, to tell re-entry from a call
// of another thread:
// - When threads run free, every change of the state word is an atomic read-modify-write,
//   and each thread keeps a table of the borrows it holds.
// - Under an interpreter lock, the thread holding the lock makes every change, which
//   orders them all: plain loads and stores suffice. The flag names the one thread that
//   holds its borrows; only while shared borrows of several threads overlap (which needs
//   the lock to pass on inside a callback) are they counted per thread, on the side.
//   The uncontended path thus costs little more than a counter.
#pragma once

#include <atomic>
#include <cstdint>

#include "call_boundary/support/compat.hpp"

#if defined(Py_GIL_DISABLED) || defined(Py_TARGET_ABI3T)
#define QUOREL_THREADS_RUN_FREE 1
#else
#define QUOREL_THREADS_RUN_FREE 0
#endif

// Thread-local variables read on every call. With glibc they are placed at a fixed offset
// from the thread pointer (glibc reserves room for a few bytes of them in every loaded
// module), so reading one is a load instead of a call into the loader.
#if defined(__GLIBC__)
#define QUOREL_FAST_THREAD_LOCAL [[gnu::tls_model("initial-exec")]]
#else
#define QUOREL_FAST_THREAD_LOCAL
#endif

namespace quorel {

enum class Access { shared, exclusive };

class BorrowFlag;

inline constinit thread_local char thread_marker QUOREL_FAST_THREAD_LOCAL = 0;

// An address unique to the calling thread among the living ones.
[[gnu::always_inline]] inline std::uintptr_t this_thread() noexcept {
    return reinterpret_cast<std::uintptr_t>(&thread_marker);
}

#if QUOREL_THREADS_RUN_FREE
// The borrows the current thread holds, in the order taken. Past `capacity` they are only
// counted; a thread that deep is then assumed to hold any borrow it cannot rule out.
struct HeldBorrows {
    static constexpr std::uint32_t capacity = 64;
    struct Entry {
        const BorrowFlag* flag;
        Access access;
    };
    std::uint32_t depth = 0;
    Entry entry[capacity]{};

    void remember(const BorrowFlag* flag, Access access) noexcept {
        const std::uint32_t at = depth++;
        if (at < capacity) [[likely]] {
            entry[at] = {flag, access};
        }
    }
    // Forgets one borrow of `flag`; the latest taken, unless coroutines interleaved.
    void forget(const BorrowFlag* flag, Access access) noexcept {
        const std::uint32_t top = --depth;
        if (top < capacity && entry[top].flag != flag) [[unlikely]] {
            forget_below(flag, access);
        }
    }
    void forget_below(const BorrowFlag* flag, Access access) noexcept;
    // The latest borrow, when it is recorded.
    Entry* latest() noexcept { return depth - 1 < capacity ? &entry[depth - 1] : nullptr; }
};

inline constinit thread_local HeldBorrows held_borrows;
inline constinit thread_local HeldBorrows* held_borrows_address QUOREL_FAST_THREAD_LOCAL = nullptr;

inline HeldBorrows& thread_borrows() noexcept {
    HeldBorrows* held = held_borrows_address;
    if (held == nullptr) [[unlikely]] {
        held = held_borrows_address = &held_borrows;
    }
    return *held;
}
#endif

class BorrowFlag {
public:
    // Takes a borrow of the given kind for the calling thread, waiting while another
    // thread's borrow excludes it; throws RuntimeError when the calling thread's own
    // borrow does.
    template <Access Kind>
    [[gnu::always_inline]] void acquire() {
        std::uint64_t seen = current();
#if QUOREL_THREADS_RUN_FREE
        const bool free = Kind == Access::shared ? (seen & (exclusive | writers)) == 0 : seen == 0;
        if (!free || !replace(seen, seen + (Kind == Access::shared ? one_reader : exclusive)))
            [[unlikely]] {
            acquire_contended(Kind);
        }
        thread_borrows().remember(this, Kind);
#else
        const std::uintptr_t thread = this_thread();
        if constexpr (Kind == Access::shared) {
            if (seen == 0) [[likely]] {  // the usual call: nothing held, nobody waiting
                holder_ = thread;
                state_ = one_reader;
                return;
            }
            if ((seen & (exclusive | writers | several)) != 0 ||
                (seen >= one_reader && holder_ != thread)) [[unlikely]] {
                acquire_contended(Kind);
                return;
            }
            holder_ = thread;
            state_ = seen + one_reader;
        } else {
            if (seen != 0) [[unlikely]] {
                acquire_contended(Kind);
                return;
            }
            holder_ = thread;
            state_ = exclusive;
        }
#endif
    }

    // Gives back a borrow of the given kind that the calling thread holds.
    template <Access Kind>
    [[gnu::always_inline]] void release() noexcept {
#if QUOREL_THREADS_RUN_FREE
        thread_borrows().forget(this, Kind);
        const std::uint64_t before =
            state_.fetch_sub(Kind == Access::shared ? one_reader : exclusive,
                             std::memory_order_acq_rel);
        if ((before & sleeping) != 0) [[unlikely]] {
            wake();
        }
#else
        // One test leaves the usual release a single store: nobody sleeps and, for a
        // shared borrow, no other thread's shared borrows overlap it.
        const std::uint64_t before = state_;
        const std::uint64_t noted = Kind == Access::shared ? several | sleeping : sleeping;
        if ((before & noted) != 0) [[unlikely]] {
            release_noted(Kind);
            return;
        }
        state_ = before - (Kind == Access::shared ? one_reader : exclusive);
#endif
    }

    // Whether no borrow of the flag is held or waited for.
    bool idle() const noexcept { return current() == 0; }

    // Runs `work` with the instance to itself when the calling thread's latest borrow is a
    // shared one of this flag and the only borrow of it, and nobody waits: the borrow turns
    // exclusive for that time and shared again after. Otherwise `work` does not run.
    template <class Work>
    void alone(Work&& work) {
        std::uint64_t seen = one_reader;
        if (current() != one_reader) {
            return;
        }
#if QUOREL_THREADS_RUN_FREE
        HeldBorrows::Entry* latest = thread_borrows().latest();
        if (latest == nullptr || latest->flag != this || latest->access != Access::shared ||
            !replace(seen, exclusive)) {
            return;
        }
        latest->access = Access::exclusive;
        struct Downgrade {
            BorrowFlag& flag;
            HeldBorrows::Entry& latest;
            ~Downgrade() {
                latest.access = Access::shared;
                flag.downgrade();
            }
        } downgrade{*this, *latest};
#else
        // The one shared borrow is the calling thread's own.
        replace(seen, exclusive);
        struct Downgrade {
            BorrowFlag& flag;
            ~Downgrade() { flag.downgrade(); }
        } downgrade{*this};
#endif
        work();
    }

private:
    static constexpr std::uint64_t exclusive = 1;
    static constexpr std::uint64_t sleeping = 2;
    static constexpr std::uint64_t several = 4;  // shared borrows of several threads
    static constexpr std::uint64_t one_writer = 8;
    static constexpr std::uint64_t writers = ((std::uint64_t(1) << 22) - 1) & ~std::uint64_t(7);
    static constexpr std::uint64_t one_reader = std::uint64_t(1) << 22;

    enum class Holding { none, shared, exclusive };

    std::uint64_t current() const noexcept {
#if QUOREL_THREADS_RUN_FREE
        return state_.load(std::memory_order_relaxed);
#else
        return state_;
#endif
    }

    // Sets the state to `next` if it is still `seen`; otherwise loads the current state
    // into `seen` and returns false.
    bool replace(std::uint64_t& seen, std::uint64_t next) noexcept {
#if QUOREL_THREADS_RUN_FREE
        return state_.compare_exchange_weak(seen, next, std::memory_order_acq_rel,
                                            std::memory_order_relaxed);
#else
        static_cast<void>(seen);  // always current: nothing changes the state meanwhile
        state_ = next;
        return true;
#endif
    }

    // Changes the state by `change` whatever it holds; returns the state before.
    std::uint64_t change_by(std::uint64_t change) noexcept {
        std::uint64_t seen = current();
        while (!replace(seen, seen + change)) {
        }
        return seen;
    }

    Holding holding() const noexcept;
    void acquire_contended(Access kind);
    void acquire_waiting(Access kind);
    void sleep(std::uint64_t seen);
    void wake() noexcept;
    void downgrade() noexcept;
    [[noreturn]] static void refuse_shared();
    [[noreturn]] static void refuse_exclusive();

#if !QUOREL_THREADS_RUN_FREE
    void take(Access kind, std::uint64_t seen);
    void take_shared(std::uint64_t seen);
    void release_noted(Access kind) noexcept;
    void release_overlapping() noexcept;
    // The thread holding the borrows, unless the state says `several`; meaningless when
    // no borrow is held.
    std::uintptr_t holder_ = 0;
#endif
#if QUOREL_THREADS_RUN_FREE
    std::atomic<std::uint64_t> state_{0};
#else
    std::uint64_t state_ = 0;
#endif
};

// A scoped borrow: taken in the constructor, given back on every exit path.
template <Access Kind>
class Borrow {
public:
    [[gnu::always_inline]] explicit Borrow(BorrowFlag& flag) : flag_(flag) {
        flag_.acquire<Kind>();
    }
    [[gnu::always_inline]] ~Borrow() { flag_.release<Kind>(); }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

private:
    BorrowFlag& flag_;
};

using SharedBorrow = Borrow<Access::shared>;
using ExclusiveBorrow = Borrow<Access::exclusive>;

}  // namespace quorel
