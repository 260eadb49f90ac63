// BorrowFlag: the per-instance guard that orders the calls made on one tree or iterator.
//
// A member holds a shared borrow (several may be held at once) or the exclusive one
// (nothing else at the same time) for its whole run. Between threads the guard is a lock
// that prefers writers: a borrow that another thread's borrow excludes is waited for,
// detached from the interpreter, and while a thread waits for the exclusive borrow, new
// readers from other threads wait behind it. A wait that would never end, because the
// threads waited for wait themselves for a borrow the calling thread holds, is refused
// with RuntimeError; a wait on the main thread runs the signal handlers every few
// milliseconds, and an exception from one ends it. Within one thread the guard is a
// re-entry check: Python code that a member calls back (a key callable, a comparison,
// __repr__, a finaliser) may take a shared borrow beside the thread's own shared one, at
// once even when a writer waits; anything else is refused with RuntimeError, never waited
// for.
//
// Three parts serve it: the state word (borrow_state.hpp), the registry of which thread
// holds what (borrow_registry.hpp), read only when the word refuses a borrow, and the
// queue of waiting threads (wait_queue.hpp).
#pragma once

#include <cstdint>

#include "call_boundary/borrow_registry.hpp"
#include "call_boundary/borrow_state.hpp"
#include "call_boundary/support/compat.hpp"

namespace quorel {

struct Waiter;
class Deadline;

class BorrowFlag {
public:
    // Takes a borrow of the given kind for the calling thread, waiting while another
    // thread's borrow excludes it; throws RuntimeError when the calling thread's own
    // borrow does, or when the wait would never end.
    template <Access Kind>
    [[gnu::always_inline]] void acquire() {
        if (!state_.template try_take<Kind>()) [[unlikely]] {
            acquire_contended(Kind);
            return;
        }
        if (!holders_.took_alone(state_, Kind)) [[unlikely]] {
            give_back_unrecorded(Kind);
        }
    }

    // Gives back a borrow of the given kind that the calling thread holds.
    template <Access Kind>
    [[gnu::always_inline]] void release() noexcept {
        holders_.giving_back(state_, Kind);
        // One test leaves the usual release a single change of the word: nobody sleeps
        // and, for a shared borrow, no other thread's shared borrows overlap it.
        const std::uint64_t before = state_.template give_back<Kind>();
        constexpr std::uint64_t noted = Kind == Access::shared
                                            ? BorrowState::several | BorrowState::sleeping
                                            : BorrowState::sleeping;
        if ((before & noted) != 0) [[unlikely]] {
            released_noted(before);
        }
    }

    // Whether no borrow of the flag is held or waited for.
    bool idle() const noexcept { return state_.load() == 0; }

    // Runs `work` with the instance to itself when the calling thread's latest borrow is a
    // shared one of this flag and the only borrow of it, and nobody waits: the borrow turns
    // exclusive for that time and shared again after. Otherwise `work` does not run.
    template <class Work>
    void alone(Work&& work) {
        std::uint64_t seen = BorrowState::one_reader;
        if (state_.load() != seen || !holders_.latest_is_shared(state_) ||
            !state_.replace(seen, BorrowState::exclusive)) {
            return;
        }
        holders_.turn_latest(Access::exclusive);
        struct Downgrade {
            BorrowFlag& flag;
            ~Downgrade() {
                flag.holders_.turn_latest(Access::shared);
                flag.downgrade();
            }
        } downgrade{*this};
        work();
    }

private:
    void acquire_contended(Access kind);
    [[noreturn]] void give_back_unrecorded(Access kind);
    void acquire_waiting(Access kind);
    bool wait_round(Access kind, const Waiter& waiter, const Deadline* until);
    bool take(Access kind, std::uint64_t seen, bool counted_writer);
    // Out of line, so that a release on an unwinding path keeps its own change of the word
    // (see WriterCount in borrow.cpp).
    [[gnu::noinline]] void released_noted(std::uint64_t before) noexcept;
    [[gnu::noinline]] void downgrade() noexcept;

    BorrowRegistry holders_;
    BorrowState state_;
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
