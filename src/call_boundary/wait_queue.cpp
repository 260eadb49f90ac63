#include "call_boundary/wait_queue.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>

#include "call_boundary/support/failure.hpp"
#include "call_boundary/immortal.hpp"
#include "call_boundary/support/memory.hpp"

namespace quorel {
namespace {

// A wake bumps the bucket's generation; every sleeper of the bucket then looks at its own
// flag again.
struct Bucket {
    Sleeper sleeper;
    std::atomic<std::uint64_t> generation{0};
};

Immortal<std::array<Bucket, 64>> buckets;

Bucket& bucket_of(const void* flag) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(flag);
    return (*buckets)[std::size_t((address >> 4) * 0x9E3779B97F4A7C15u >> 58)];
}

Immortal<std::mutex> queue_lock;
Immortal<Vector<Waiter>> waiters;  // under queue_lock

// Whether `waiting` cannot go on while `other` waits: `other` holds a borrow of the flag
// that excludes the one waited for, or waits for that flag's exclusive borrow, which a
// shared one waits behind.
bool waits_for(const Waiter& waiting, const Waiter& other) noexcept {
    if (other.thread == waiting.thread) {
        return false;
    }
    const Holding held = waiting.holders->holding(*waiting.flag, other.thread);
    if (waiting.access == Access::exclusive) {
        return held != Holding::none;
    }
    return held == Holding::exclusive ||
           (other.flag == waiting.flag && other.access == Access::exclusive);
}

// Whether the waits of `queued` lead from `mine` back to it.
bool closes_cycle(const Vector<Waiter>& queued, const Waiter& mine) {
    Vector<bool> reached(queued.size(), false);
    Vector<const Waiter*> pending{&mine};
    while (!pending.empty()) {
        const Waiter& waiting = *pending.back();
        pending.pop_back();
        if (&waiting != &mine && waits_for(waiting, mine)) {
            return true;
        }
        for (std::size_t i = 0; i < queued.size(); ++i) {
            if (!reached[i] && waits_for(waiting, queued[i])) {
                reached[i] = true;
                pending.push_back(&queued[i]);
            }
        }
    }
    return false;
}

}  // namespace

WaitQueue::Lock::Lock() noexcept { queue_lock->lock(); }
WaitQueue::Lock::~Lock() { queue_lock->unlock(); }

bool WaitQueue::enter(const Waiter& waiter) {
    Lock lock;
    if (closes_cycle(*waiters, waiter)) {
        return false;
    }
    waiters->push_back(waiter);
    return true;
}

void WaitQueue::remove(const Waiter& waiter) noexcept {
    for (Waiter& queued : *waiters) {
        if (queued.thread == waiter.thread) {
            queued = waiters->back();
            waiters->pop_back();
            return;
        }
    }
}

void WaitQueue::leave(const Waiter& waiter) noexcept {
    Lock lock;
    remove(waiter);
}

bool WaitQueue::sleep(BorrowState& flag, std::uint64_t seen, const Deadline* until) {
    Bucket& bucket = bucket_of(&flag);
    // Read before the mark: a wake that clears the mark bumps the generation after it.
    const std::uint64_t generation = bucket.generation.load(std::memory_order_acquire);
    if (!flag.replace(seen, seen | BorrowBits::sleeping)) {
        return true;
    }
    PyThreadState* thread = PyEval_SaveThread();
    const bool in_time = bucket.sleeper.sleep_while(
        [&] { return bucket.generation.load(std::memory_order_relaxed) == generation; }, until);
    PyEval_RestoreThread(thread);
    return in_time;
}

void WaitQueue::wake(BorrowState& flag) noexcept {
    std::uint64_t seen = flag.load();
    while (!flag.replace(seen, seen & ~BorrowBits::sleeping)) {
    }
    Bucket& bucket = bucket_of(&flag);
    bucket.sleeper.wake_all_after(
        [&] { bucket.generation.fetch_add(1, std::memory_order_release); });
}

bool WaitQueue::on_main_thread() {
    Ref threading = checked(PyImport_ImportModule("threading"));
    Ref main = checked(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    Ref ident = checked(PyObject_GetAttrString(main.get(), "ident"));
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
        throw_fetched();
    }
    return main_ident == PyThread_get_thread_ident();
}

}  // namespace quorel
