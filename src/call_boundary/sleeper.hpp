// Sleeper: a lock and a condition that waiting threads sleep on, with an optional deadline
// on the monotonic clock.
//
// On POSIX systems it is pthread's mutex and condition variable used directly: the
// condition variable of newer C++ runtimes binds waits to a symbol version that older
// systems' runtimes lack, which would tie the wheel to a newer platform than the rest of
// the module needs. Elsewhere the standard library's types serve.
#pragma once

#if defined(_WIN32)
#include <chrono>
#include <condition_variable>
#include <mutex>
#else
#include <errno.h>
#include <pthread.h>
#include <time.h>
#endif

namespace quorel {

#if defined(_WIN32)

class Deadline {
public:
    static Deadline after_milliseconds(long milliseconds) noexcept {
        using std::chrono::steady_clock;
        return Deadline(steady_clock::now() + std::chrono::milliseconds(milliseconds));
    }
    std::chrono::steady_clock::time_point at;

private:
    explicit Deadline(std::chrono::steady_clock::time_point time) noexcept : at(time) {}
};

class Sleeper {
public:
    // Runs `check` under the lock and sleeps until woken while it says to, or until the
    // deadline (if any) passes; returns false when it passed.
    template <class Check>
    bool sleep_while(Check&& check, const Deadline* until) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (check()) {
            if (until == nullptr) {
                woken_.wait(lock);
            } else if (woken_.wait_until(lock, until->at) == std::cv_status::timeout) {
                return !check();
            }
        }
        return true;
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

class Deadline {
public:
    static Deadline after_milliseconds(long milliseconds) noexcept {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        now.tv_nsec += milliseconds % 1000 * 1000000;
        now.tv_sec += milliseconds / 1000 + now.tv_nsec / 1000000000;
        now.tv_nsec %= 1000000000;
        return Deadline(now);
    }
    timespec at;

private:
    explicit Deadline(timespec time) noexcept : at(time) {}
};

class Sleeper {
public:
    Sleeper() noexcept = default;
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;

    template <class Check>
    bool sleep_while(Check&& check, const Deadline* until) {
        pthread_mutex_lock(&mutex_);
        bool in_time = true;
        while (check()) {
            if (until == nullptr) {
                pthread_cond_wait(&woken_, &mutex_);
            } else if (timed_wait(*until) != 0) {
                in_time = !check();
                break;
            }
        }
        pthread_mutex_unlock(&mutex_);
        return in_time;
    }
    template <class Change>
    void wake_all_after(Change&& change) noexcept {
        pthread_mutex_lock(&mutex_);
        change();
        pthread_mutex_unlock(&mutex_);
        pthread_cond_broadcast(&woken_);
    }

private:
    // Zero when woken (or woken spuriously) before the deadline.
    int timed_wait(const Deadline& until) noexcept {
        // The deadline is on the monotonic clock; the condition waits for the span left.
        // Choosing the condition's clock (pthread_condattr_setclock) binds a glibc symbol
        // version newer than manylinux2014 allows, so off macOS the span is put on the
        // wall clock just before the wait: a jump of that clock affects only a wait that
        // is under way, one of a few milliseconds.
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long left = (until.at.tv_sec - now.tv_sec) * 1000000000LL +
                               (until.at.tv_nsec - now.tv_nsec);
        if (left <= 0) {
            return ETIMEDOUT;
        }
#if defined(__APPLE__)
        const timespec span{time_t(left / 1000000000LL), long(left % 1000000000LL)};
        return pthread_cond_timedwait_relative_np(&woken_, &mutex_, &span);
#else
        timespec wall{};
        clock_gettime(CLOCK_REALTIME, &wall);
        const long long end = wall.tv_nsec + left % 1000000000LL;
        wall.tv_sec += time_t(left / 1000000000LL + end / 1000000000LL);
        wall.tv_nsec = long(end % 1000000000LL);
        return pthread_cond_timedwait(&woken_, &mutex_, &wall);
#endif
    }

    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t woken_ = PTHREAD_COND_INITIALIZER;
};

#endif

}  // namespace quorel
