#include "call_boundary/borrow.hpp"

#include <array>
#include <cstddef>
#include <new>

#include "call_boundary/support/failure.hpp"
#include "call_boundary/support/memory.hpp"
#include "call_boundary/sleeper.hpp"

namespace quorel {
namespace {

// Threads that wait sleep in one of a fixed set of buckets, chosen by the flag's address,
// so an instance carries no lock of its own. A wake bumps the bucket's generation; every
// sleeper of the bucket then looks at its own flag again.
struct Bucket {
    Sleeper sleeper;
    std::atomic<std::uint64_t> generation{0};
};

// An object made when the module is loaded and never destroyed: a daemon thread may still
// use it while the process exits.
template <class T>
class Immortal {
public:
    Immortal() { new (storage_) T(); }
    T& operator*() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
    T* operator->() noexcept { return &**this; }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

Immortal<std::array<Bucket, 64>> buckets;

Bucket& bucket_of(const void* flag) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(flag);
    return (*buckets)[std::size_t((address >> 4) * 0x9E3779B97F4A7C15u >> 58)];
}

}  // namespace

#if QUOREL_THREADS_RUN_FREE

void HeldBorrows::forget_below(const BorrowFlag* flag, Access access) noexcept {
    for (std::uint32_t i = depth; i-- > 0;) {
        if (entry[i].flag == flag && entry[i].access == access) {
            for (; i < depth; ++i) {
                entry[i] = entry[i + 1];
            }
            return;
        }
    }
}

BorrowFlag::Holding BorrowFlag::holding() const noexcept {
    const HeldBorrows& held = thread_borrows();
    Holding found = Holding::none;
    for (std::uint32_t i = 0; i < held.depth && i < HeldBorrows::capacity; ++i) {
        if (held.entry[i].flag == this) {
            found = held.entry[i].access == Access::exclusive ? Holding::exclusive : Holding::shared;
        }
    }
    if (found == Holding::none && held.depth > HeldBorrows::capacity) {
        // Borrows too deep to be recorded might be of this flag.
        const bool excluded = (current() & exclusive) != 0;
        found = excluded ? Holding::exclusive : Holding::shared;
    }
    return found;
}

#else

namespace {

// Shared borrows of several threads at once, counted per thread: (flag, thread, count)
// records, changed only by the thread holding the interpreter lock.
struct Overlap {
    const BorrowFlag* flag;
    std::uintptr_t thread;
    std::uint64_t count;
};
Immortal<Vector<Overlap>> overlaps;

Overlap* overlap_of(const BorrowFlag* flag, std::uintptr_t thread) noexcept {
    for (Overlap& record : *overlaps) {
        if (record.flag == flag && record.thread == thread) {
            return &record;
        }
    }
    return nullptr;
}

}  // namespace

BorrowFlag::Holding BorrowFlag::holding() const noexcept {
    const std::uint64_t seen = current();
    const std::uintptr_t thread = this_thread();
    if ((seen & exclusive) != 0) {
        return holder_ == thread ? Holding::exclusive : Holding::none;
    }
    if (seen < one_reader) {
        return Holding::none;
    }
    if ((seen & several) != 0) {
        return overlap_of(this, thread) != nullptr ? Holding::shared : Holding::none;
    }
    return holder_ == thread ? Holding::shared : Holding::none;
}

// Counts a shared borrow of the calling thread beside those the state shows.
void BorrowFlag::take_shared(std::uint64_t seen) {
    const std::uintptr_t thread = this_thread();
    if (seen < one_reader) {
        holder_ = thread;
    } else if ((seen & several) != 0) {
        if (Overlap* record = overlap_of(this, thread)) {
            ++record->count;
        } else {
            overlaps->push_back({this, thread, 1});
        }
    } else if (holder_ != thread) {
        overlaps->reserve(overlaps->size() + 2);
        overlaps->push_back({this, holder_, seen / one_reader});
        overlaps->push_back({this, thread, 1});
        seen |= several;
    }
    state_ = seen + one_reader;
}

void BorrowFlag::take(Access kind, std::uint64_t seen) {
    if (kind == Access::shared) {
        take_shared(seen);
    } else {
        holder_ = this_thread();
        state_ = seen - one_writer + exclusive;
    }
}

// Gives back a borrow while threads sleep on the flag or shared borrows of several
// threads overlap.
void BorrowFlag::release_noted(Access kind) noexcept {
    const std::uint64_t before = current();
    if (kind == Access::shared && (before & several) != 0) {
        release_overlapping();
        return;
    }
    state_ = before - (kind == Access::shared ? one_reader : exclusive);
    if ((before & sleeping) != 0) {
        wake();
    }
}

// Gives back a shared borrow while several threads hold them. When one thread is left, it
// is named by the flag again and its count leaves the side.
void BorrowFlag::release_overlapping() noexcept {
    std::uint64_t seen = current() - one_reader;
    const std::uintptr_t thread = this_thread();
    Overlap* left = nullptr;
    std::size_t threads = 0;
    for (std::size_t i = 0; i < overlaps->size();) {
        Overlap& record = (*overlaps)[i];
        if (record.flag == this && record.thread == thread && --record.count == 0) {
            record = overlaps->back();
            overlaps->pop_back();
            continue;
        }
        if (record.flag == this) {
            left = &record;
            ++threads;
        }
        ++i;
    }
    if (threads <= 1) {
        if (left != nullptr) {
            holder_ = left->thread;
            *left = overlaps->back();
            overlaps->pop_back();
        }
        seen &= ~several;
    }
    state_ = seen;
    if ((seen & sleeping) != 0) {
        wake();
    }
}

#endif

void BorrowFlag::acquire_contended(Access kind) {
    const Holding mine = holding();
    if (mine == Holding::none) {
        acquire_waiting(kind);
        return;
    }
    if (kind == Access::exclusive) {
        refuse_exclusive();
    }
    if (mine == Holding::exclusive) {
        refuse_shared();
    }
    // A read nested in this thread's own read: granted past any waiting writer, which
    // could never proceed before the outer read ends.
#if QUOREL_THREADS_RUN_FREE
    change_by(one_reader);
#else
    take_shared(current());
#endif
}

void BorrowFlag::acquire_waiting(Access kind) {
    if (kind == Access::exclusive) {
        change_by(one_writer);
    }
    for (;;) {
        const std::uint64_t seen = current();
        const bool free = kind == Access::shared
                              ? (seen & (exclusive | writers)) == 0
                              : (seen & exclusive) == 0 && seen < one_reader;
        if (!free) {
            sleep(seen);
            continue;
        }
#if QUOREL_THREADS_RUN_FREE
        std::uint64_t expected = seen;
        const std::uint64_t next =
            kind == Access::shared ? seen + one_reader : seen - one_writer + exclusive;
        if (replace(expected, next)) {
            return;
        }
#else
        take(kind, seen);
        return;
#endif
    }
}

// Marks the flag as slept on, unless its state is no longer `seen`, and sleeps detached
// from the interpreter until a wake in its bucket.
void BorrowFlag::sleep(std::uint64_t seen) {
    Bucket& bucket = bucket_of(this);
    // Read before the mark: a wake that clears the mark bumps the generation after it.
    const std::uint64_t generation = bucket.generation.load(std::memory_order_acquire);
    if (!replace(seen, seen | sleeping)) {
        return;
    }
    PyThreadState* thread = PyEval_SaveThread();
    bucket.sleeper.sleep_while(
        [&] { return bucket.generation.load(std::memory_order_relaxed) == generation; });
    PyEval_RestoreThread(thread);
}

void BorrowFlag::wake() noexcept {
    std::uint64_t seen = current();
    while (!replace(seen, seen & ~sleeping)) {
    }
    Bucket& bucket = bucket_of(this);
    bucket.sleeper.wake_all_after(
        [&] { bucket.generation.fetch_add(1, std::memory_order_release); });
}

void BorrowFlag::downgrade() noexcept {
    const std::uint64_t seen = change_by(one_reader - exclusive);
    if ((seen & sleeping) != 0) {
        wake();
    }
}

void BorrowFlag::refuse_shared() { throw_error(PyExc_RuntimeError, "Already mutably borrowed"); }

void BorrowFlag::refuse_exclusive() { throw_error(PyExc_RuntimeError, "Already borrowed"); }

}  // namespace quorel
