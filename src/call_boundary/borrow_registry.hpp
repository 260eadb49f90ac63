// BorrowRegistry: which thread holds which borrows.
//
// A BorrowFlag asks it whether the calling thread already holds the flag (re-entry is
// refused or, for a read within a read, granted at once; only other threads' borrows are
// waited for), and the wait queue asks it which waiting threads hold a flag, to find waits
// that would close a cycle. Each flag carries one registry object; the build picks one of
// two kinds, once, below:
// - When threads run free, each thread keeps a table of the borrows it holds, in the order
//   taken; the flag's own object is empty. Another thread reads a table only while its
//   owner waits in the wait queue, under the queue's lock, when the table cannot change.
// - Under an interpreter lock, the flag names the one thread that holds its borrows; only
//   while shared borrows of several threads overlap (which needs the lock to pass on
//   inside a callback) are they counted per thread, on the side. Everything is read and
//   changed by the thread holding the lock.
// Coroutines that switch stacks within one thread (greenlets) count as that thread.
#pragma once

#include <cstdint>

#include "call_boundary/borrow_state.hpp"
#include "call_boundary/support/memory.hpp"

// Thread-local variables read on every call. With glibc they are placed at a fixed offset
// from the thread pointer (glibc reserves room for a few bytes of them in every loaded
// module), so reading one is a load instead of a call into the loader.
#if defined(__GLIBC__)
#define QUOREL_FAST_THREAD_LOCAL [[gnu::tls_model("initial-exec")]]
#else
#define QUOREL_FAST_THREAD_LOCAL
#endif

namespace quorel {

enum class Holding { none, shared, exclusive };

// A living thread, as the registry names it.
using ThreadId = std::uintptr_t;

#if QUOREL_THREADS_RUN_FREE

// The borrows one thread holds, in the order taken: first in a table of its own, then, past
// that, in memory allocated when needed.
struct HeldBorrows {
    struct Entry {
        const BorrowState* flag;
        Access access;
    };
    static constexpr std::uint32_t inline_capacity = 64;

    Entry* entry = nullptr;
    std::uint32_t depth = 0;
    std::uint32_t room = 0;
    Entry inline_entry[inline_capacity]{};

    // Records a borrow; false when there was no room and none could be had.
    [[gnu::always_inline]] bool push(const BorrowState* flag, Access access) noexcept {
        if (depth == room && !grow()) [[unlikely]] {
            return false;
        }
        entry[depth++] = {flag, access};
        return true;
    }
    // Forgets one borrow of `flag`; the latest taken, unless coroutines interleaved.
    void pop(const BorrowState* flag, Access access) noexcept {
        if (entry[--depth].flag != flag) [[unlikely]] {
            pop_below(flag, access);
        }
    }
    void pop_below(const BorrowState* flag, Access access) noexcept;
    // Makes room for more entries; false when out of memory.
    bool grow() noexcept;
    Holding holding(const BorrowState* flag) const noexcept;
};

inline constinit thread_local HeldBorrows held_borrows;
inline constinit thread_local HeldBorrows* held_borrows_address QUOREL_FAST_THREAD_LOCAL = nullptr;

HeldBorrows& first_held_borrows() noexcept;

[[gnu::always_inline]] inline HeldBorrows& thread_borrows() noexcept {
    HeldBorrows* held = held_borrows_address;
    if (held == nullptr) [[unlikely]] {
        return first_held_borrows();
    }
    return *held;
}

class BorrowRegistry {
public:
    // The calling thread: the address of its table.
    static ThreadId this_thread() noexcept {
        return reinterpret_cast<ThreadId>(&thread_borrows());
    }

    // Before a borrow is taken on the slow path: room to record it, or MemoryError with
    // nothing taken. Also room for records of shared borrows of several threads (none).
    static void prepare() {
        HeldBorrows& held = thread_borrows();
        if (held.depth == held.room && !held.grow()) {
            no_memory();
        }
    }
    // Records a borrow that the calling thread took while the flag was free; false when
    // it cannot be recorded (out of memory).
    [[gnu::always_inline]] bool took_alone(const BorrowState& flag, Access access) noexcept {
        return thread_borrows().push(&flag, access);
    }
    // Records a borrow that the calling thread has just taken on the slow path (after
    // prepare), the word having been `seen` before; returns bits to add to the word (none
    // here).
    std::uint64_t took(const BorrowState& flag, Access access, std::uint64_t) noexcept {
        thread_borrows().push(&flag, access);
        return 0;
    }
    // Forgets a borrow the calling thread gives back.
    [[gnu::always_inline]] void giving_back(const BorrowState& flag, Access access) noexcept {
        thread_borrows().pop(&flag, access);
    }
    // After a shared borrow of a flag marked `several` was given back: whether the mark
    // may go (never set here).
    bool gave_back_overlapping(const BorrowState&) noexcept { return false; }

    // What `thread` holds of the flag. For another thread, only while it waits in the
    // wait queue and the caller holds the queue's lock.
    Holding holding(const BorrowState& flag, ThreadId thread) const noexcept {
        return reinterpret_cast<const HeldBorrows*>(thread)->holding(&flag);
    }

    // Whether the calling thread's latest borrow is a shared one of the flag.
    bool latest_is_shared(const BorrowState& flag) const noexcept {
        const HeldBorrows& held = thread_borrows();
        return held.depth > 0 && held.entry[held.depth - 1].flag == &flag &&
               held.entry[held.depth - 1].access == Access::shared;
    }
    // Records the calling thread's latest borrow as being of the given kind now.
    void turn_latest(Access access) noexcept {
        HeldBorrows& held = thread_borrows();
        held.entry[held.depth - 1].access = access;
    }
};

#else

inline constinit thread_local char thread_marker QUOREL_FAST_THREAD_LOCAL = 0;

class BorrowRegistry {
public:
    // The calling thread: an address unique to it among the living ones.
    [[gnu::always_inline]] static ThreadId this_thread() noexcept {
        return reinterpret_cast<ThreadId>(&thread_marker);
    }

    // Room for the records of shared borrows of several threads, or MemoryError.
    static void prepare();
    [[gnu::always_inline]] bool took_alone(const BorrowState&, Access) noexcept {
        holder_ = this_thread();
        return true;
    }
    std::uint64_t took(const BorrowState& flag, Access access, std::uint64_t seen) noexcept;
    void giving_back(const BorrowState&, Access) noexcept {}
    bool gave_back_overlapping(const BorrowState& flag) noexcept;

    Holding holding(const BorrowState& flag, ThreadId thread) const noexcept;

    // The one shared borrow of the flag that the calling thread holds is the only one.
    bool latest_is_shared(const BorrowState&) const noexcept { return true; }
    void turn_latest(Access) noexcept {}

private:
    // The thread holding the borrows, unless the word says `several`; meaningless when no
    // borrow is held.
    ThreadId holder_ = 0;
};

#endif

}  // namespace quorel
