// One-shot timers run on a pool of worker threads, and the pool itself.
//
// There is one timer service per process. Timers are kept in order of due
// time (equal due times in the order they were added); when one is due its
// callback runs on a pool thread, never on the thread that added it.
// Due times come from a monotonic clock in milliseconds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using TimerCallback = void (*)(void* argument);

// Starts the service (its timer thread and worker pool). Later calls do
// nothing. Returns 1 when the service runs, 0 when it could not be started
// or is being stopped.
int timer_service_start();

// Adds a one-shot timer that calls callback(argument) ms milliseconds from
// now; starts the service if needed. name (may be null) is copied and only
// identifies the timer. Returns 1, or 0 when both callback and ms are 0, the
// service cannot be started or is being stopped, or memory is short.
int timer_add(uint32_t ms, const char* name, TimerCallback callback, void* argument);

// Stops the service: timers not yet due are freed without running, callbacks
// already running are waited for. Does nothing when the service is not
// started. Must not be called from a timer callback.
void timer_service_stop();

// Number of timers not yet due; 0 when the service is not started.
int timer_pending_count();

// Names of the timers not yet due, in the order they will run ("" for a
// timer without a name); empty when the service is not started.
std::vector<std::string> timer_pending_names();

// ---- Worker pool -----------------------------------------------------------

// Threads that run queued jobs first in, first out. It keeps up to
// WORKER_POOL_IDLE_THREADS threads when idle and grows up to
// WORKER_POOL_MAX_THREADS when jobs wait and nobody is idle.
struct WorkerPool;

inline constexpr int WORKER_POOL_IDLE_THREADS = 10;
inline constexpr int WORKER_POOL_MAX_THREADS = 500;
inline constexpr int WORKER_POOL_MAX_JOBS = 5000;

using JobCallback = void (*)(void* argument);

// A new pool with its idle threads started, or null when its parts cannot
// be made.
WorkerPool* worker_pool_create();

// Queues callback(argument); when free_argument is non-zero the argument is
// released with free() after the job ran (or when it is dropped at
// destruction). Returns 1, or 0 when the queue already holds
// WORKER_POOL_MAX_JOBS jobs, the pool is null or quitting, or the callback is
// null (the job is then dropped and the argument is the caller's).
int worker_pool_queue(WorkerPool* pool, JobCallback callback, void* argument, int free_argument);

// Number of worker threads alive (busy and idle); 0 for null.
int worker_pool_thread_count(WorkerPool* pool);

// Lets every worker finish the jobs queued so far, ends the workers, waits
// for them and frees the pool. Must not be called from a job. Null is
// ignored.
void worker_pool_destroy(WorkerPool* pool);
