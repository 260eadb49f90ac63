// Whole pages mapped from the operating system, apart from every heap: memory that goes
// back to the system the moment it is unmapped, wherever the heap's other blocks sit.
// Where the system offers no such mapping (no <sys/mman.h>), map_pages() gives null and
// callers take heap memory instead.
#pragma once

#include <cstddef>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace quorel {

// `bytes` of fresh zeroed pages, or null when the system has no memory or no mappings.
inline void* map_pages(std::size_t bytes) noexcept {
#if __has_include(<sys/mman.h>)
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
#else
    (void)bytes;
    return nullptr;
#endif
}

// Gives back pages that map_pages(bytes) gave.
inline void unmap_pages(void* memory, std::size_t bytes) noexcept {
#if __has_include(<sys/mman.h>)
    munmap(memory, bytes);
#else
    (void)memory;
    (void)bytes;
#endif
}

// Whether map_pages() can ever give memory here.
#if __has_include(<sys/mman.h>)
constexpr bool pages_can_be_mapped = true;
#else
constexpr bool pages_can_be_mapped = false;
#endif

}  // namespace quorel
