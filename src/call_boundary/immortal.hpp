// Immortal: an object made when the module is loaded and never destroyed, for process-wide
// state that a daemon thread may still use while the process exits.
#pragma once

#include <new>

namespace quorel {

template <class T>
class Immortal {
public:
    Immortal() { new (storage_) T(); }
    T& operator*() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
    T* operator->() noexcept { return &**this; }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace quorel
