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

template <class T>
class Allocator {
public:
    using value_type = T;

    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > PY_SSIZE_T_MAX / sizeof(T)) {
            no_memory();
        }
        return static_cast<T*>(allocate_bytes(n * sizeof(T)));
    }
    void deallocate(T* memory, std::size_t) noexcept { PyMem_Free(memory); }

    friend bool operator==(const Allocator&, const Allocator&) noexcept { return true; }
};

template <class T>
using Vector = std::vector<T, Allocator<T>>;

// Memory for a temporary that is given back before its owner returns. A large one comes
// from a mapping of its own where the system has them, so that giving it back returns its
// pages to the system at once, whatever was allocated after it (the interpreter's
// allocator would keep them wherever a longer-lived block sits above them in its heap).
// The mapping is not seen by tracemalloc. Small ones, and every one on other systems,
// come from allocate_bytes.
void* allocate_temporary(std::size_t bytes);
void free_temporary(void* memory, std::size_t bytes) noexcept;

template <class T>
class TemporaryAllocator {
public:
    using value_type = T;

    TemporaryAllocator() noexcept = default;
    template <class U>
    TemporaryAllocator(const TemporaryAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > PY_SSIZE_T_MAX / sizeof(T)) {
            no_memory();
        }
        return static_cast<T*>(allocate_temporary(n * sizeof(T)));
    }
    void deallocate(T* memory, std::size_t n) noexcept { free_temporary(memory, n * sizeof(T)); }

    friend bool operator==(const TemporaryAllocator&, const TemporaryAllocator&) noexcept {
        return true;
    }
};

template <class T>
using TemporaryVector = std::vector<T, TemporaryAllocator<T>>;

template <class T>
using Deque = std::deque<T, Allocator<T>>;

using String = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

// The decimal digits of a number.
String decimal(std::uint64_t number);
String decimal(std::int64_t number);

}  // namespace quorel
