#include "support/timer.h"

#include "support/thread.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t tick_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

// ---- Worker pool -----------------------------------------------------------

namespace {

struct Job {
    JobCallback callback = nullptr;
    void* argument = nullptr;
    int free_argument = 0;
};

void job_drop(Job& job) {
    if (job.free_argument)
        std::free(job.argument);
}

struct Worker;

} // namespace

struct WorkerPool {
    Mutex* lock = nullptr;
    CondVar* wake = nullptr;
    Semaphore* all_gone = nullptr;
    std::vector<Worker*> busy;
    std::vector<Worker*> idle;
    std::vector<Worker*> ended; // ended while quitting; joined at destruction
    std::deque<Job> jobs;
    bool quit = false;
};

namespace {

struct Worker {
    WorkerPool* pool = nullptr;
    Thread* thread = nullptr;
};

void list_remove(std::vector<Worker*>& list, Worker* w) {
    list.erase(std::remove(list.begin(), list.end(), w), list.end());
}

int worker_main(Thread*, void* argument) {
    Worker* w = static_cast<Worker*>(argument);
    WorkerPool* p = w->pool;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    mutex_lock(p->lock);
    for (;;) {
        if (!p->jobs.empty()) {
            Job job = p->jobs.front();
            p->jobs.pop_front();
            mutex_unlock(p->lock);
            job.callback(job.argument);
            job_drop(job);
            mutex_lock(p->lock);
            continue;
        }
        list_remove(p->busy, w);
        if (!p->quit && p->busy.size() + p->idle.size() <= WORKER_POOL_IDLE_THREADS) {
            p->idle.push_back(w);
            condvar_wait(p->wake, p->lock, -1);
            list_remove(p->idle, w);
            p->busy.push_back(w);
            continue;
        }
        break;
    }
    bool last = p->busy.empty() && p->idle.empty();
    bool quitting = p->quit;
    if (quitting) {
        p->ended.push_back(w);
    } else {
        // A surplus worker after a burst of jobs: it releases itself.
        thread_destroy(w->thread, 0);
        delete w;
    }
    mutex_unlock(p->lock);
    if (quitting && last)
        semaphore_post(p->all_gone);
    return 0;
}

// Starts one worker; the caller holds the pool lock. False when it could
// not be started.
bool worker_start(WorkerPool* p) {
    Worker* w = new (std::nothrow) Worker;
    if (!w)
        return false;
    w->pool = p;
    p->busy.push_back(w);
    w->thread = thread_create(worker_main, w);
    if (!w->thread) {
        list_remove(p->busy, w);
        delete w;
        return false;
    }
    return true;
}

} // namespace

WorkerPool* worker_pool_create() {
    WorkerPool* p = new (std::nothrow) WorkerPool;
    if (!p)
        return nullptr;
    p->lock = mutex_create();
    p->wake = condvar_create();
    p->all_gone = semaphore_create();
    if (!p->lock || !p->wake || !p->all_gone) {
        mutex_destroy(p->lock);
        condvar_destroy(p->wake);
        semaphore_destroy(p->all_gone);
        delete p;
        return nullptr;
    }
    mutex_lock(p->lock);
    for (int i = 0; i < WORKER_POOL_IDLE_THREADS; ++i)
        worker_start(p);
    mutex_unlock(p->lock);
    return p;
}

int worker_pool_queue(WorkerPool* p, JobCallback callback, void* argument, int free_argument) {
    if (!p || !callback)
        return 0;
    mutex_lock(p->lock);
    if (p->quit || p->jobs.size() >= static_cast<size_t>(WORKER_POOL_MAX_JOBS)) {
        mutex_unlock(p->lock);
        return 0;
    }
    p->jobs.push_back(Job{callback, argument, free_argument});
    if (p->idle.empty() && p->busy.size() < static_cast<size_t>(WORKER_POOL_MAX_THREADS))
        worker_start(p);
    condvar_signal(p->wake);
    mutex_unlock(p->lock);
    return 1;
}

int worker_pool_thread_count(WorkerPool* p) {
    if (!p)
        return 0;
    mutex_lock(p->lock);
    int n = static_cast<int>(p->busy.size() + p->idle.size());
    mutex_unlock(p->lock);
    return n;
}

void worker_pool_destroy(WorkerPool* p) {
    if (!p)
        return;
    mutex_lock(p->lock);
    p->quit = true;
    bool any = !p->busy.empty() || !p->idle.empty();
    condvar_broadcast(p->wake);
    mutex_unlock(p->lock);
    if (any)
        semaphore_wait(p->all_gone, -1);
    for (Job& job : p->jobs)
        job_drop(job);
    p->jobs.clear();
    for (Worker* w : p->ended) {
        thread_destroy(w->thread, 1);
        delete w;
    }
    mutex_destroy(p->lock);
    condvar_destroy(p->wake);
    semaphore_destroy(p->all_gone);
    delete p;
}

// ---- Timer service ---------------------------------------------------------

namespace {

struct TimerEntry {
    bool one_shot = true;
    bool has_name = false;
    std::string name;
    uint32_t interval = 0;
    int64_t due = 0;
    TimerCallback callback = nullptr;
    void* argument = nullptr;
    int free_argument = 0;
};

void entry_free(TimerEntry* e) {
    if (e->free_argument)
        std::free(e->argument);
    delete e;
}

struct TimerService {
    std::mutex state; // guards started/stopping and the pointers below
    bool started = false;
    bool stopping = false;
    std::list<TimerEntry*> timers;
    Mutex* lock = nullptr; // guards timers and quit
    bool quit = false;
    CondVar* changed = nullptr;
    Thread* thread = nullptr;
    WorkerPool* pool = nullptr;
};

TimerService& service() {
    static TimerService s;
    return s;
}

// Inserts before the first entry due later, so equal due times keep their
// order of insertion, and wakes the timer thread.
void insert_entry(TimerService& s, TimerEntry* e) {
    mutex_lock(s.lock);
    auto at = std::find_if(s.timers.begin(), s.timers.end(),
                           [e](const TimerEntry* o) { return o->due > e->due; });
    s.timers.insert(at, e);
    condvar_signal(s.changed);
    mutex_unlock(s.lock);
}

void run_timer_job(void* argument) {
    TimerEntry* e = static_cast<TimerEntry*>(argument);
    if (e->callback)
        e->callback(e->argument);
    entry_free(e);
}

int timer_thread(Thread*, void* argument) {
    TimerService& s = *static_cast<TimerService*>(argument);
    mutex_lock(s.lock);
    for (;;) {
        int64_t now = tick_ms();
        if (!s.timers.empty() && now >= s.timers.front()->due) {
            TimerEntry* e = s.timers.front();
            s.timers.pop_front();
            if (!worker_pool_queue(s.pool, run_timer_job, e, 0))
                entry_free(e); // the pool is full: the timer is dropped
            continue;
        }
        // Timers due before the stop request have been handed out; the
        // others stay in the list for timer_service_stop to free.
        if (s.quit)
            break;
        if (s.timers.empty()) {
            condvar_wait(s.changed, s.lock, -1);
        } else {
            int64_t left = std::min<int64_t>(s.timers.front()->due - now, 0x7FFFFFFF);
            condvar_wait(s.changed, s.lock, static_cast<int>(left));
        }
    }
    mutex_unlock(s.lock);
    return 0;
}

// The caller holds s.state.
bool start_locked(TimerService& s) {
    if (s.started)
        return true;
    s.lock = mutex_create();
    s.changed = condvar_create();
    s.pool = worker_pool_create();
    if (s.lock && s.changed && s.pool)
        s.thread = thread_create(timer_thread, &s);
    if (!s.thread) {
        worker_pool_destroy(s.pool);
        condvar_destroy(s.changed);
        mutex_destroy(s.lock);
        s.pool = nullptr;
        s.changed = nullptr;
        s.lock = nullptr;
        return false;
    }
    s.started = true;
    return true;
}

} // namespace

int timer_service_start() {
    TimerService& s = service();
    std::lock_guard<std::mutex> g(s.state);
    if (s.stopping)
        return 0;
    return start_locked(s) ? 1 : 0;
}

int timer_add(uint32_t ms, const char* name, TimerCallback callback, void* argument) {
    if (!callback && ms == 0)
        return 0;
    TimerService& s = service();
    std::lock_guard<std::mutex> g(s.state);
    if (s.stopping || !start_locked(s))
        return 0;
    TimerEntry* e = new (std::nothrow) TimerEntry;
    if (!e)
        return 0;
    if (name) {
        e->has_name = true;
        e->name = name;
    }
    e->interval = ms;
    e->due = tick_ms() + ms;
    e->callback = callback;
    e->argument = argument;
    insert_entry(s, e);
    return 1;
}

void timer_service_stop() {
    TimerService& s = service();
    {
        std::lock_guard<std::mutex> g(s.state);
        if (!s.started || s.stopping)
            return;
        s.stopping = true;
    }
    // Callbacks that still run may call timer_add; s.state is not held while
    // they are waited for, and they are refused while stopping.
    mutex_lock(s.lock);
    s.quit = true;
    condvar_signal(s.changed);
    mutex_unlock(s.lock);
    thread_destroy(s.thread, 1);
    mutex_lock(s.lock);
    for (TimerEntry* e : s.timers)
        entry_free(e);
    s.timers.clear();
    mutex_unlock(s.lock);
    worker_pool_destroy(s.pool);
    condvar_destroy(s.changed);
    mutex_destroy(s.lock);
    std::lock_guard<std::mutex> g(s.state);
    s.thread = nullptr;
    s.pool = nullptr;
    s.changed = nullptr;
    s.lock = nullptr;
    s.quit = false;
    s.started = false;
    s.stopping = false;
}

int timer_pending_count() {
    TimerService& s = service();
    std::lock_guard<std::mutex> g(s.state);
    if (!s.started)
        return 0;
    mutex_lock(s.lock);
    int n = static_cast<int>(s.timers.size());
    mutex_unlock(s.lock);
    return n;
}

std::vector<std::string> timer_pending_names() {
    std::vector<std::string> names;
    TimerService& s = service();
    std::lock_guard<std::mutex> g(s.state);
    if (!s.started)
        return names;
    mutex_lock(s.lock);
    for (const TimerEntry* e : s.timers)
        names.push_back(e->has_name ? e->name : std::string());
    mutex_unlock(s.lock);
    return names;
}
