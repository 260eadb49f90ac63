// Native memory of the module: every container and text buffer allocates through the
// interpreter's allocator (PyMem_Malloc), so that running out of memory raises the ordinary
// MemoryError through the one failure path, as the interpreter's own containers do, and
// tracemalloc and the interpreter's fault injection see every allocation.
//
// PyMem_Malloc needs a thread attached to the interpreter (holding its lock, where it has
// one), as every body is. Nothing may allocate while detached (the waits of
// process_cell.hpp and borrow.cpp allocate nothing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "call_boundary/support/compat.hpp"

namespace quorel {

// Throws MemoryError, the interpreter's own exception object.
[[noreturn]] void no_memory();

// Memory for `bytes` bytes from the interpreter's allocator, or MemoryError.
void* allocate_bytes(std::size_t bytes);

// Memory for a temporary that is given back before its owner returns. A large one comes
// from a mapping of its own where the system has them, so that giving it back returns its
// pages to the system at once, whatever was allocated after it (the interpreter's
// allocator would keep them wherever a longer-lived block sits above them in its heap).
// The mapping is not seen by tracemalloc. Small ones, and every one on other systems,
// come from allocate_bytes.
void* allocate_temporary(std::size_t bytes);
void free_temporary(void* memory, std::size_t bytes) noexcept;

struct InterpreterMemory {
    static void* allocate(std::size_t bytes) { return allocate_bytes(bytes); }
    static void free(void* memory, std::size_t) noexcept { PyMem_Free(memory); }
};

struct TemporaryMemory {
    static void* allocate(std::size_t bytes) { return allocate_temporary(bytes); }
    static void free(void* memory, std::size_t bytes) noexcept { free_temporary(memory, bytes); }
};

// The standard containers' allocator over one of the sources above.
template <class T, class Source>
class SourceAllocator {
public:
    using value_type = T;

    SourceAllocator() noexcept = default;
    template <class U>
    SourceAllocator(const SourceAllocator<U, Source>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > PY_SSIZE_T_MAX / sizeof(T)) {
            no_memory();
        }
        return static_cast<T*>(Source::allocate(n * sizeof(T)));
    }
    void deallocate(T* memory, std::size_t n) noexcept { Source::free(memory, n * sizeof(T)); }

    friend bool operator==(const SourceAllocator&, const SourceAllocator&) noexcept {
        return true;
    }
};

template <class T>
using Allocator = SourceAllocator<T, InterpreterMemory>;
template <class T>
using TemporaryAllocator = SourceAllocator<T, TemporaryMemory>;

template <class T>
using Vector = std::vector<T, Allocator<T>>;
template <class T>
using TemporaryVector = std::vector<T, TemporaryAllocator<T>>;

template <class T>
using Deque = std::deque<T, Allocator<T>>;

using String = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

// The decimal digits of a number.
String decimal(std::uint64_t number);
String decimal(std::int64_t number);

}  // namespace quorel
