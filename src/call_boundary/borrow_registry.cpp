#include "call_boundary/borrow_registry.hpp"

#include <cstdlib>
#include <cstring>

#include "call_boundary/immortal.hpp"
#include "call_boundary/support/memory.hpp"

namespace quorel {

#if QUOREL_THREADS_RUN_FREE

HeldBorrows& first_held_borrows() noexcept {
    HeldBorrows& held = held_borrows;
    held.entry = held.inline_entry;
    held.room = HeldBorrows::inline_capacity;
    held_borrows_address = &held;
    return held;
}

bool HeldBorrows::grow() noexcept {
    // The larger table outlives any one call: it is freed when the thread ends (the
    // interpreter may be gone then, so it comes from the C allocator, not the interpreter's).
    static thread_local struct FreeAtExit {
        ~FreeAtExit() {
            HeldBorrows& held = held_borrows;
            if (held.entry != held.inline_entry) {
                std::free(held.entry);
                held.entry = held.inline_entry;
                held.room = inline_capacity;
            }
        }
    } free_at_exit;
    static_cast<void>(free_at_exit);

    const std::size_t larger = std::size_t(room) * 2;
    auto* moved = larger <= UINT32_MAX
                      ? static_cast<Entry*>(std::malloc(larger * sizeof(Entry)))
                      : nullptr;
    if (moved == nullptr) {
        return false;
    }
    std::memcpy(moved, entry, std::size_t(depth) * sizeof(Entry));
    if (entry != inline_entry) {
        std::free(entry);
    }
    entry = moved;
    room = std::uint32_t(larger);
    return true;
}

void HeldBorrows::pop_below(const BorrowState* flag, Access access) noexcept {
    for (std::uint32_t i = depth; i-- > 0;) {
        if (entry[i].flag == flag && entry[i].access == access) {
            for (; i < depth; ++i) {
                entry[i] = entry[i + 1];
            }
            return;
        }
    }
}

Holding HeldBorrows::holding(const BorrowState* flag) const noexcept {
    Holding found = Holding::none;
    for (std::uint32_t i = 0; i < depth; ++i) {
        if (entry[i].flag == flag) {
            if (entry[i].access == Access::exclusive) {
                return Holding::exclusive;
            }
            found = Holding::shared;
        }
    }
    return found;
}

#else

namespace {

// Shared borrows of several threads at once, counted per thread.
struct Overlap {
    const BorrowState* flag;
    ThreadId thread;
    std::uint64_t count;
};
Immortal<Vector<Overlap>> overlaps;

Overlap* overlap_of(const BorrowState* flag, ThreadId thread) noexcept {
    for (Overlap& record : *overlaps) {
        if (record.flag == flag && record.thread == thread) {
            return &record;
        }
    }
    return nullptr;
}

}  // namespace

void BorrowRegistry::prepare() { overlaps->reserve(overlaps->size() + 2); }

std::uint64_t BorrowRegistry::took(const BorrowState& flag, Access access,
                                   std::uint64_t seen) noexcept {
    const ThreadId thread = this_thread();
    if (access == Access::exclusive || seen < BorrowBits::one_reader) {
        holder_ = thread;
        return 0;
    }
    if ((seen & BorrowBits::several) != 0) {
        if (Overlap* record = overlap_of(&flag, thread)) {
            ++record->count;
        } else {
            overlaps->push_back({&flag, thread, 1});
        }
        return 0;
    }
    if (holder_ == thread) {
        return 0;
    }
    overlaps->push_back({&flag, holder_, seen / BorrowBits::one_reader});
    overlaps->push_back({&flag, thread, 1});
    return BorrowBits::several;
}

// When one thread is left, it is named by the flag again and its count leaves the side.
bool BorrowRegistry::gave_back_overlapping(const BorrowState& flag) noexcept {
    const ThreadId thread = this_thread();
    Overlap* left = nullptr;
    std::size_t threads = 0;
    for (std::size_t i = 0; i < overlaps->size();) {
        Overlap& record = (*overlaps)[i];
        if (record.flag == &flag && record.thread == thread && --record.count == 0) {
            record = overlaps->back();
            overlaps->pop_back();
            continue;
        }
        if (record.flag == &flag) {
            left = &record;
            ++threads;
        }
        ++i;
    }
    if (threads > 1) {
        return false;
    }
    if (left != nullptr) {
        holder_ = left->thread;
        *left = overlaps->back();
        overlaps->pop_back();
    }
    return true;
}

Holding BorrowRegistry::holding(const BorrowState& flag, ThreadId thread) const noexcept {
    const std::uint64_t seen = flag.load();
    if ((seen & BorrowBits::exclusive) != 0) {
        return holder_ == thread ? Holding::exclusive : Holding::none;
    }
    if (seen < BorrowBits::one_reader) {
        return Holding::none;
    }
    if ((seen & BorrowBits::several) != 0) {
        return overlap_of(&flag, thread) != nullptr ? Holding::shared : Holding::none;
    }
    return holder_ == thread ? Holding::shared : Holding::none;
}

#endif

}  // namespace quorel
