#include "call_boundary/support/memory.hpp"

#include <charconv>

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
