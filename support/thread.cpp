#include "support/thread.h"

#include "support/log.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Waits on cv until ready() holds or ms run out (negative: no limit).
template <class Lock, class Pred>
bool wait_for_ms(std::condition_variable& cv, Lock& lock, int ms, Pred ready) {
    if (ms < 0) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_until(lock, Clock::now() + std::chrono::milliseconds(ms), ready);
}

} // namespace

// ---- Semaphore -------------------------------------------------------------

struct Semaphore {
    std::mutex lock;
    std::condition_variable cv;
    int32_t count = 0;
    std::atomic<int32_t> shadow{0};
};

Semaphore* semaphore_create() {
    return new (std::nothrow) Semaphore;
}

int semaphore_post(Semaphore* s) {
    if (!s)
        return 0;
    s->shadow.fetch_add(1);
    // Notified under the lock: a waiter that returns may destroy the
    // semaphore at once.
    std::lock_guard<std::mutex> g(s->lock);
    if (s->count >= SEMAPHORE_MAX_COUNT) {
        s->shadow.fetch_sub(1);
        return 0;
    }
    ++s->count;
    s->cv.notify_one();
    return 1;
}

int semaphore_wait(Semaphore* s, int ms) {
    if (!s)
        return 0;
    std::unique_lock<std::mutex> l(s->lock);
    if (!wait_for_ms(s->cv, l, ms, [s] { return s->count > 0; }))
        return 0;
    --s->count;
    s->shadow.fetch_sub(1);
    return 1;
}

int32_t semaphore_value(const Semaphore* s) {
    return s ? s->shadow.load() : 0;
}

void semaphore_destroy(Semaphore* s) {
    delete s;
}

// ---- Mutex -----------------------------------------------------------------

struct Mutex {
    std::recursive_mutex lock;
};

Mutex* mutex_create() {
    return new (std::nothrow) Mutex;
}

void mutex_lock(Mutex* m) {
    if (m)
        m->lock.lock();
}

void mutex_unlock(Mutex* m) {
    if (m)
        m->lock.unlock();
}

void mutex_destroy(Mutex* m) {
    delete m;
}

// ---- Condition variable ----------------------------------------------------

// waiting counts the threads inside condvar_wait, signals the wake-ups handed
// out and not yet taken. Each wake-up is taken by exactly one waiter, which
// then returns 1; callers re-check their condition after waking.
struct CondVar {
    std::mutex lock;
    std::condition_variable cv;
    int32_t waiting = 0;
    int32_t signals = 0;
};

CondVar* condvar_create() {
    return new (std::nothrow) CondVar;
}

int condvar_signal(CondVar* cv) {
    if (!cv)
        return 0;
    std::lock_guard<std::mutex> g(cv->lock);
    if (cv->waiting <= cv->signals)
        return 0;
    ++cv->signals;
    cv->cv.notify_one();
    return 1;
}

int condvar_broadcast(CondVar* cv) {
    if (!cv)
        return 0;
    std::lock_guard<std::mutex> g(cv->lock);
    if (cv->waiting <= cv->signals)
        return 0;
    cv->signals = cv->waiting;
    cv->cv.notify_all();
    return 1;
}

int condvar_wait(CondVar* cv, Mutex* m, int ms) {
    if (!cv)
        return 0;
    std::unique_lock<std::mutex> l(cv->lock);
    ++cv->waiting;
    // The caller's mutex is released only once we are counted, so a signal
    // sent after the caller checked its condition reaches us.
    mutex_unlock(m);
    bool woken = wait_for_ms(cv->cv, l, ms, [cv] { return cv->signals > 0; });
    if (woken)
        --cv->signals;
    --cv->waiting;
    l.unlock();
    mutex_lock(m);
    return woken ? 1 : 0;
}

void condvar_destroy(CondVar* cv) {
    delete cv;
}

// ---- Thread ----------------------------------------------------------------

// Owned jointly by the creator's handle and the running thread: whichever
// lets go last frees it, so a thread left running after thread_destroy still
// has its record. thread_create holds a third reference while it waits for
// the start signal, so a routine that releases its own record at once cannot
// free the semaphore the creator is still waiting on.
struct Thread {
    Semaphore* started = nullptr;
    ThreadRoutine routine = nullptr;
    void* argument = nullptr;
    std::thread handle;
    std::mutex end_lock;
    std::condition_variable end_cv;
    bool ended = false;
    std::atomic<int> refs{3};
};

namespace {

void thread_release(Thread* t) {
    if (t->refs.fetch_sub(1) == 1) {
        semaphore_destroy(t->started);
        delete t;
    }
}

void thread_start(Thread* t) {
    // Wait until the creator has stored the handle: the routine may release
    // its own record at once.
    { std::lock_guard<std::mutex> g(t->end_lock); }
    semaphore_post(t->started);
    t->routine(t, t->argument);
    {
        std::lock_guard<std::mutex> g(t->end_lock);
        t->ended = true;
    }
    t->end_cv.notify_all();
    thread_release(t);
}

} // namespace

Thread* thread_create(ThreadRoutine routine, void* argument) {
    if (!routine)
        return nullptr;
    Thread* t = new (std::nothrow) Thread;
    if (!t)
        return nullptr;
    t->started = semaphore_create();
    if (!t->started) {
        delete t;
        return nullptr;
    }
    t->routine = routine;
    t->argument = argument;
    try {
        std::lock_guard<std::mutex> g(t->end_lock);
        t->handle = std::thread(thread_start, t);
    } catch (const std::system_error&) {
        semaphore_destroy(t->started);
        delete t;
        return nullptr;
    }
    semaphore_wait(t->started, 1000);
    thread_release(t);
    return t;
}

int thread_wait(Thread* t, int ms) {
    if (!t)
        return 0;
    std::unique_lock<std::mutex> l(t->end_lock);
    return wait_for_ms(t->end_cv, l, ms, [t] { return t->ended; }) ? 1 : 0;
}

int thread_destroy(Thread* t, int wait) {
    if (!t)
        return 0;
    semaphore_post(t->started);
    int ended = 1;
    if (!t->handle.joinable()) {
        // Nothing to wait for or join.
    } else if (t->handle.get_id() == std::this_thread::get_id()) {
        // A thread releasing its own record cannot wait for itself.
        t->handle.detach();
    } else if (!wait) {
        t->handle.detach();
    } else if (thread_wait(t, THREAD_DESTROY_WAIT_MS)) {
        t->handle.join();
    } else {
        // Stopping a thread from outside could cut a flash write or a file
        // write in half; it is left to finish its routine instead.
        log_warn("thread", __LINE__, __func__,
                 "thread still running after %d ms; left to finish on its own",
                 THREAD_DESTROY_WAIT_MS);
        t->handle.detach();
        ended = 0;
    }
    thread_release(t);
    return ended;
}

void* thread_argument(const Thread* t) {
    return t ? t->argument : nullptr;
}
