#include "call_boundary/borrow.hpp"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>

#include "call_boundary/failure.hpp"

namespace quorel {
namespace {

// Threads that wait sleep in one of a fixed set of buckets, chosen by the flag's address,
// so an instance carries no lock of its own. A wake bumps the bucket's generation; every
// sleeper of the bucket then looks at its own flag again.
struct Bucket {
    std::mutex mutex;
    std::condition_variable woken;
    std::atomic<std::uint64_t> generation{0};
};

constexpr std::size_t bucket_count = 64;

// Made when the module is loaded and never destroyed: a daemon thread may still sleep in
// a bucket while the process exits.
alignas(Bucket) unsigned char bucket_storage[bucket_count * sizeof(Bucket)];

struct BucketTable {
    BucketTable() {
        for (std::size_t i = 0; i < bucket_count; ++i) {
            new (bucket_storage + i * sizeof(Bucket)) Bucket();
        }
    }
} const bucket_table;

Bucket& bucket_of(const void* flag) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(flag);
    const std::size_t index = std::size_t((address >> 4) * 0x9E3779B97F4A7C15u >> 58);
    return *std::launder(reinterpret_cast<Bucket*>(bucket_storage + index * sizeof(Bucket)));
}

}  // namespace

void BorrowFlag::acquire_contended(Access kind) {
    for (const HeldBorrow* held = innermost_borrow; held != nullptr; held = held->outer) {
        if (held->flag != this) {
            continue;
        }
        if (kind == Access::exclusive) {
            refuse_exclusive();
        }
        if (held->access == Access::exclusive) {
            refuse_shared();
        }
        // A read nested in this thread's own read: granted past any waiting writer, which
        // could never proceed before the outer read ends.
        add(one_reader);
        return;
    }
    if (kind == Access::exclusive) {
        add(one_writer);
    }
    for (;;) {
        std::uint64_t seen = state_.load(std::memory_order_relaxed);
        const bool free = kind == Access::shared
                              ? (seen & (exclusive | writers)) == 0
                              : (seen & exclusive) == 0 && seen < one_reader;
        if (!free) {
            sleep(seen);
            continue;
        }
        const std::uint64_t next =
            kind == Access::shared ? seen + one_reader : seen - one_writer + exclusive;
        if (replace(seen, next)) {
            return;
        }
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
    {
        std::unique_lock<std::mutex> lock(bucket.mutex);
        while (bucket.generation.load(std::memory_order_relaxed) == generation) {
            bucket.woken.wait(lock);
        }
    }
    PyEval_RestoreThread(thread);
}

void BorrowFlag::wake() noexcept {
    std::uint64_t seen = state_.load(std::memory_order_relaxed);
    while (!replace(seen, seen & ~sleeping)) {
    }
    Bucket& bucket = bucket_of(this);
    {
        std::lock_guard<std::mutex> lock(bucket.mutex);
        bucket.generation.fetch_add(1, std::memory_order_release);
    }
    bucket.woken.notify_all();
}

void BorrowFlag::downgrade() noexcept {
    std::uint64_t seen = state_.load(std::memory_order_relaxed);
    while (!replace(seen, seen - exclusive + one_reader)) {
    }
    if ((seen & sleeping) != 0) {
        wake();
    }
}

void BorrowFlag::refuse_shared() { throw_error(PyExc_RuntimeError, "Already mutably borrowed"); }

void BorrowFlag::refuse_exclusive() { throw_error(PyExc_RuntimeError, "Already borrowed"); }

}  // namespace quorel
