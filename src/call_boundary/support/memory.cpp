#include "call_boundary/support/memory.hpp"

#include <charconv>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include "call_boundary/support/failure.hpp"

namespace quorel {

void no_memory() {
    PyErr_NoMemory();
    throw_fetched();
}

void* allocate_bytes(std::size_t bytes) {
    void* memory = PyMem_Malloc(bytes);
    if (memory == nullptr) {
        no_memory();
    }
    return memory;
}

#if __has_include(<sys/mman.h>)

namespace {

// Below this, a mapping's system calls and whole pages cost more than a heap block.
constexpr std::size_t min_mapped = std::size_t(1) << 20;

}  // namespace

void* allocate_temporary(std::size_t bytes) {
    if (bytes < min_mapped) {
        return allocate_bytes(bytes);
    }
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        no_memory();
    }
    return memory;
}

void free_temporary(void* memory, std::size_t bytes) noexcept {
    if (bytes < min_mapped) {
        PyMem_Free(memory);
    } else {
        munmap(memory, bytes);
    }
}

#else

void* allocate_temporary(std::size_t bytes) { return allocate_bytes(bytes); }
void free_temporary(void* memory, std::size_t) noexcept { PyMem_Free(memory); }

#endif

namespace {

template <class Number>
String digits(Number number) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, number).ptr;
    return String(text, end);
}

}  // namespace

String decimal(std::uint64_t number) { return digits(number); }
String decimal(std::int64_t number) { return digits(number); }

}  // namespace quorel
