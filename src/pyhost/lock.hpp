// The object lock: a non-reentrant mutex that cooperates with the GIL, and
// its Python face.
#pragma once

#include "refs.hpp"

#include <semaphore.h>
#include <time.h>

#include <atomic>

namespace pyhost {

// ---------------------------------------------------------------------------
// The object lock
// ---------------------------------------------------------------------------

// A non-reentrant mutex that never blocks while holding the GIL: it tries
// first, and only when the lock is taken releases the GIL to wait. Blocking
// re-entry from the owning thread raises RuntimeError instead of hanging.
class Mutex {
  public:
    Mutex() noexcept { sem_init(&sem_, 0, 1); }
    ~Mutex() { sem_destroy(&sem_); }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    // Blocking acquire from a thread that holds the GIL. Returns false with
    // RuntimeError set on re-entry.
    bool acquire();
    // acquire(blocking, timeout) as threading.Lock offers it; timeout < 0
    // waits forever. Returns 1 (acquired), 0 (not acquired) or -1 (error).
    int acquire_timed(bool blocking, double timeout);
    // Releases; false with RuntimeError when the lock is not held.
    bool release();
    bool locked() const noexcept { return held_.load(std::memory_order_acquire); }
    bool held_by_current_thread() const noexcept;
    // The longest timed wait, in seconds (threading.TIMEOUT_MAX).
    static constexpr double kMaxTimeout = 9223372036.0;

  private:
    int wait(const struct timespec* deadline);
    // A POSIX semaphore of one rather than a mutex: like threading.Lock,
    // the lock may be released by a thread other than the one that took it.
    // Taking and giving it back uncontended are single atomic operations.
    sem_t sem_;
    std::atomic<bool> held_{false};
    std::atomic<unsigned long> owner_{0};
};

// The Python face of a Mutex: the object's `_lock`, with acquire, release,
// locked and the context-manager protocol.
struct LockObject {
    PyObject_HEAD Mutex mutex;
};

// Creates the lock type inside `module` (call from the module's exec slot
// and keep the result in the module state). `qualname` is the type's
// dotted name, e.g. "orvane.brenlow.profiler.Lock".
PyTypeObject* make_lock_type(PyObject* module, const char* qualname);
// A new, unlocked lock object of that type.
LockObject* new_lock(PyTypeObject* lock_type);

// Holds a Mutex for a scope, taken with the GIL-aware pattern.
class LockGuard {
  public:
    explicit LockGuard(Mutex& m) : m_(m) { ok_ = m_.acquire(); }
    // Python code run inside the scope (a value's __float__) may have
    // released the lock through `_lock.release()`, and another thread may
    // hold it by now: release only a hold that is still this thread's, and
    // never leave an exception set behind a result.
    ~LockGuard() {
        if (ok_ && m_.held_by_current_thread()) m_.release();
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    // False when acquiring failed (an exception is set).
    bool ok() const noexcept { return ok_; }

  private:
    Mutex& m_;
    bool ok_;
};

}  // namespace pyhost
