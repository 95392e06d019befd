// The library's one lock type: a Windows critical section where the library
// runs as a DLL, a std::mutex elsewhere. Neither is ever held while a host
// callback runs.
#pragma once

#if defined(_WIN32)
// Keep <windows.h> from defining min/max for every file that takes a lock.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <mutex>
#endif

class QmxLock {
public:
    QmxLock();
    // Out of line: on Windows it deletes the critical section.
    ~QmxLock(); // NOLINT(performance-trivially-destructible)
    QmxLock(const QmxLock &) = delete;
    QmxLock &operator=(const QmxLock &) = delete;

    void lock();
    void unlock();

private:
#if defined(_WIN32)
    CRITICAL_SECTION section_;
#else
    std::mutex mutex_;
#endif
};

class QmxLockGuard {
public:
    explicit QmxLockGuard(QmxLock &lock) : lock_(lock) { lock_.lock(); }
    ~QmxLockGuard() { lock_.unlock(); }
    QmxLockGuard(const QmxLockGuard &) = delete;
    QmxLockGuard &operator=(const QmxLockGuard &) = delete;

private:
    QmxLock &lock_;
};
