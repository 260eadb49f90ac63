// Hints to the processor and the operating system about memory the engine is about to use.
// They never change results: where a compiler or system offers no such hint, it does nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__GNUC__)
// __builtin_prefetch, in GCC and clang
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quorel::tree {

// Starts loading the cache line at `address` (null is allowed), for reading only.
inline void prefetch_read(const void* address) noexcept {
#if defined(__GNUC__)
    __builtin_prefetch(address, 0);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
    (void)address;
#endif
}

// The same for a line about to be written, such as an object whose reference count changes.
inline void prefetch_write(const void* address) noexcept {
#if defined(__GNUC__)
    __builtin_prefetch(address, 1);
#else
    prefetch_read(address);
#endif
}

constexpr std::size_t huge_page_bytes = std::size_t(2) << 20;

// Asks for the pages of [memory, memory + bytes) to be backed by huge pages where they can,
// where the system takes such advice (Linux). Node memory of a large tree is touched at
// random by every descent; huge pages keep the address translations of the path cached.
// The advice covers every page the block touches, not only its whole huge pages: a large
// block is a mapping of its own, and advice for part of a mapping splits it in pieces,
// which a later realloc cannot move or grow in place (mremap refuses a range over several
// pieces), so it would copy the whole block to new memory instead.
inline void advise_huge_pages(void* memory, std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
    static const auto page = std::uintptr_t(sysconf(_SC_PAGESIZE));
    const auto first = std::uintptr_t(memory) & ~(page - 1);
    const auto last = (std::uintptr_t(memory) + bytes + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)memory;
    (void)bytes;
#endif
}

}  // namespace quorel::tree
