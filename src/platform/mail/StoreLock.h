#pragma once
// The mail store's writer lock: one process at a time writes a user's store, so that what
// a writer checked (is there an item with this "FaxID"?) still holds when it writes. A
// lock on an open file (flock): the system lets it go when its process ends, killed or not.
#include "platform/AutomationError.h"

#include <QString>
#include <chrono>
#include <optional>

namespace sendmere::mail {

class StoreLock {
public:
    explicit StoreLock(QString path);
    ~StoreLock();
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;

    // Takes the lock, waiting at most for wait while another process holds it; nested
    // calls in one process count. Raises when the lock cannot be had.
    void acquire(std::chrono::milliseconds wait);
    // As acquire(), with the failure returned instead of raised: a staging keeps it, and
    // each of its saves fails with it.
    std::optional<AutomationError> tryAcquire(std::chrono::milliseconds wait);
    void release();
    bool held() const { return m_depth > 0; }

private:
    QString m_path;
    int m_fd = -1;
    int m_depth = 0;
};

// Holds the lock for its lifetime.
class StoreLockGuard {
public:
    StoreLockGuard(StoreLock &lock, std::chrono::milliseconds wait) : m_lock(lock) { m_lock.acquire(wait); }
    ~StoreLockGuard() { m_lock.release(); }
    StoreLockGuard(const StoreLockGuard &) = delete;
    StoreLockGuard &operator=(const StoreLockGuard &) = delete;

private:
    StoreLock &m_lock;
};

}  // namespace sendmere::mail
