#include "call_boundary/support/memory.hpp"

#include <charconv>

#include "call_boundary/support/failure.hpp"
#include "call_boundary/support/page_mapping.hpp"

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

namespace {

// Below this, a mapping's system calls and whole pages cost more than a heap block.
constexpr std::size_t min_mapped = std::size_t(1) << 20;

bool mapped(std::size_t bytes) noexcept { return pages_can_be_mapped && bytes >= min_mapped; }

}  // namespace

void* allocate_temporary(std::size_t bytes) {
    if (!mapped(bytes)) {
        return allocate_bytes(bytes);
    }
    void* memory = map_pages(bytes);
    if (memory == nullptr) {
        no_memory();
    }
    return memory;
}

void free_temporary(void* memory, std::size_t bytes) noexcept {
    if (mapped(bytes)) {
        unmap_pages(memory, bytes);
    } else {
        PyMem_Free(memory);
    }
}

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
