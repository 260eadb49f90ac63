// Sleeper: a lock and a condition that waiting threads sleep on.
//
// On POSIX systems it is pthread's mutex and condition variable used directly: the
// condition variable of newer C++ runtimes binds waits to a symbol version that older
// systems' runtimes lack, which would tie the wheel to a newer platform than the rest of
// the module needs. Elsewhere the standard library's types serve.
#pragma once

#if defined(_WIN32)
#include <condition_variable>
#include <mutex>
#else
#include <pthread.h>
#endif

namespace quorel {

#if defined(_WIN32)

class Sleeper {
public:
    // Runs `check` under the lock and sleeps until woken while it says to.
    template <class Check>
    void sleep_while(Check&& check) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (check()) {
            woken_.wait(lock);
        }
    }
    // Runs `change` under the lock, then wakes every sleeper.
    template <class Change>
    void wake_all_after(Change&& change) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            change();
        }
        woken_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable woken_;
};

#else

class Sleeper {
public:
    Sleeper() noexcept = default;
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;

    template <class Check>
    void sleep_while(Check&& check) {
        pthread_mutex_lock(&mutex_);
        while (check()) {
            pthread_cond_wait(&woken_, &mutex_);
        }
        pthread_mutex_unlock(&mutex_);
    }
    template <class Change>
    void wake_all_after(Change&& change) noexcept {
        pthread_mutex_lock(&mutex_);
        change();
        pthread_mutex_unlock(&mutex_);
        pthread_cond_broadcast(&woken_);
    }

private:
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t woken_ = PTHREAD_COND_INITIALIZER;
};

#endif

}  // namespace quorel
