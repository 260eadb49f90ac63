#include "call_boundary/borrow.hpp"

#include "call_boundary/support/failure.hpp"
#include "call_boundary/wait_queue.hpp"

namespace quorel {
namespace {

// How often a wait on the main thread runs the signal handlers.
constexpr long signal_interval_ms = 20;

[[noreturn]] void refuse(const char* message) { throw_error(PyExc_RuntimeError, message); }

// Counts the calling thread among the writers waiting for a flag while it waits for the
// exclusive borrow; the count goes again on every exit but the take, which turns it into
// the exclusive bit, and the readers waiting behind it are woken.
class WriterCount {
public:
    WriterCount(BorrowState& state, Access access) noexcept
        : state_(access == Access::exclusive ? &state : nullptr) {
        if (state_ != nullptr) {
            state_->change_by(BorrowBits::one_writer);
        }
    }
    ~WriterCount() {
        if (state_ != nullptr) {
            withdraw(*state_);
        }
    }
    void taken() noexcept { state_ = nullptr; }
    WriterCount(const WriterCount&) = delete;
    WriterCount& operator=(const WriterCount&) = delete;

private:
    // Out of line: inlined into the unwinding path, GCC 12 merged this change of a plain
    // word with the wake's and dropped it where no wake followed.
    [[gnu::noinline]] static void withdraw(BorrowState& state) noexcept {
        const std::uint64_t before = state.change_by(std::uint64_t(0) - BorrowBits::one_writer);
        if ((before & BorrowBits::sleeping) != 0) {
            WaitQueue::wake(state);
        }
    }

    BorrowState* state_;
};

// A wait in the queue, left on every exit unless the take left it already.
class Queued {
public:
    explicit Queued(const Waiter& waiter) noexcept : waiter_(&waiter) {}
    ~Queued() {
        if (waiter_ != nullptr) {
            WaitQueue::leave(*waiter_);
        }
    }
    void left() noexcept { waiter_ = nullptr; }
    Queued(const Queued&) = delete;
    Queued& operator=(const Queued&) = delete;

private:
    const Waiter* waiter_;
};

}  // namespace

// A borrow taken that the registry had no room to record goes back: MemoryError.
void BorrowFlag::give_back_unrecorded(Access kind) {
    released_noted(state_.change_by(std::uint64_t(0) - BorrowBits::unit(kind)));
    no_memory();
}

void BorrowFlag::acquire_contended(Access kind) {
    const Holding mine = holders_.holding(state_, BorrowRegistry::this_thread());
    if (mine == Holding::none) {
        acquire_waiting(kind);
        return;
    }
    if (kind == Access::exclusive) {
        refuse("Already borrowed");
    }
    if (mine == Holding::exclusive) {
        refuse("Already mutably borrowed");
    }
    // A read nested in this thread's own read: granted past any waiting writer, which
    // could never proceed before the outer read ends.
    BorrowRegistry::prepare();
    const std::uint64_t seen = state_.change_by(BorrowBits::one_reader);
    if (const std::uint64_t bits = holders_.took(state_, Access::shared, seen)) {
        state_.change_by(bits);
    }
}

// Takes the borrow, the word having been `seen`, unless another thread changed the word
// meanwhile. `counted_writer`: the calling thread is counted among the waiting writers.
bool BorrowFlag::take(Access kind, std::uint64_t seen, bool counted_writer) {
    BorrowRegistry::prepare();  // again: other threads may have used the room while this slept
    const std::uint64_t next = kind == Access::shared
                                   ? seen + BorrowBits::one_reader
                                   : seen + BorrowBits::exclusive -
                                         (counted_writer ? BorrowBits::one_writer : 0);
    if (!state_.replace(seen, next)) {
        return false;
    }
    if (const std::uint64_t bits = holders_.took(state_, kind, seen)) {
        state_.change_by(bits);
    }
    return true;
}

void BorrowFlag::acquire_waiting(Access kind) {
    // A take that only lost a race with another thread's change of the word is retried.
    for (std::uint64_t seen = state_.load(); BorrowBits::admits(kind, seen);) {
        if (take(kind, seen, false)) {
            return;
        }
        seen = state_.load();
    }
    const bool polls = WaitQueue::on_main_thread();
    const Waiter waiter{&state_, &holders_, kind, BorrowRegistry::this_thread()};
    for (;;) {
        {
            WriterCount writer(state_, kind);
            if (!WaitQueue::enter(waiter)) {
                refuse("waiting for this borrow would deadlock");
            }
            Queued queued(waiter);
            const Deadline until = Deadline::after_milliseconds(signal_interval_ms);
            if (wait_round(kind, waiter, polls ? &until : nullptr)) {
                queued.left();
                writer.taken();
                return;
            }
        }
        // Out of the queue, nothing taken: the handlers may run any Python code.
        if (PyErr_CheckSignals() != 0) {
            throw_fetched();
        }
    }
}

// Sleeps until the borrow is taken (true) or the deadline passes (false).
bool BorrowFlag::wait_round(Access kind, const Waiter& waiter, const Deadline* until) {
    for (;;) {
        const std::uint64_t seen = state_.load();
        if (BorrowBits::admits(kind, seen)) {
            if (WaitQueue::leave_taking(waiter, [&] { return take(kind, seen, true); })) {
                return true;
            }
            continue;
        }
        if (!WaitQueue::sleep(state_, seen, until)) {
            return false;
        }
    }
}

void BorrowFlag::released_noted(std::uint64_t before) noexcept {
    if ((before & BorrowBits::several) != 0 && holders_.gave_back_overlapping(state_)) {
        state_.change_by(std::uint64_t(0) - BorrowBits::several);
    }
    if ((before & BorrowBits::sleeping) != 0) {
        WaitQueue::wake(state_);
    }
}

void BorrowFlag::downgrade() noexcept {
    const std::uint64_t seen = state_.change_by(BorrowBits::one_reader - BorrowBits::exclusive);
    if ((seen & BorrowBits::sleeping) != 0) {
        WaitQueue::wake(state_);
    }
}

}  // namespace quorel
