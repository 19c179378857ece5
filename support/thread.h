// Threads and synchronisation: counting semaphores, mutexes, condition
// variables and threads that report when they have started.
//
// Every time-out is in milliseconds on a monotonic clock; -1 (any negative
// value) waits without limit. Every function accepts null arguments and then
// fails quietly.
#pragma once

#include <cstdint>

// ---- Semaphore -------------------------------------------------------------

// A counting semaphore: initial count 0, at most 32768 counts.
struct Semaphore;

inline constexpr int32_t SEMAPHORE_MAX_COUNT = 32768;

// A new semaphore, or null when memory is short.
Semaphore* semaphore_create();

// Releases one count. Returns 1, or 0 when the count is already at its
// maximum (the count is then unchanged) or s is null.
int semaphore_post(Semaphore* s);

// Waits up to ms for a count. Returns 1 when a count was taken, 0 on time-out
// or null.
int semaphore_wait(Semaphore* s, int ms);

// The informational shadow count (posts minus successful waits); 0 for null.
int32_t semaphore_value(const Semaphore* s);

// Frees the semaphore. Nobody may be waiting on it. Null is ignored.
void semaphore_destroy(Semaphore* s);

// ---- Mutex -----------------------------------------------------------------

// A re-entrant lock: the thread that holds it may lock it again and must
// unlock it as often.
struct Mutex;

// A new mutex, or null when memory is short.
Mutex* mutex_create();
void mutex_lock(Mutex* m);
void mutex_unlock(Mutex* m);
// Frees the mutex; it must not be held. Null is ignored.
void mutex_destroy(Mutex* m);

// ---- Condition variable ----------------------------------------------------

struct CondVar;

// A new condition variable, or null when memory is short.
CondVar* condvar_create();

// Wakes one waiter that has not been woken yet. Returns 1 when there was one,
// else 0.
int condvar_signal(CondVar* cv);

// Wakes every waiter that has not been woken yet. Returns 1 when there was at
// least one, else 0.
int condvar_broadcast(CondVar* cv);

// Unlocks m (the caller holds it once; m may be null), waits up to ms for a
// signal, locks m again. Returns 1 when woken by a signal or broadcast, 0 on
// time-out (a time-out of 0 returns at once unless a wake-up is pending).
// A wake-up handed out by condvar_signal is never lost: the waiter it went
// to returns 1. Callers re-check their condition after waking.
int condvar_wait(CondVar* cv, Mutex* m, int ms);

// Frees the condition variable. Nobody may be waiting on it. Null is ignored.
void condvar_destroy(CondVar* cv);

// ---- Thread ----------------------------------------------------------------

struct Thread;

// A thread's routine: gets its own Thread record and the argument given to
// thread_create. The result is ignored.
using ThreadRoutine = int (*)(Thread* thread, void* argument);

// How long thread_destroy waits for a thread to end.
inline constexpr int THREAD_DESTROY_WAIT_MS = 5000;

// Starts routine(thread, argument) on a new thread and waits up to 1000 ms
// until it runs (a slower start is not an error). Returns the Thread, or null
// when the routine is null or the thread cannot be created.
Thread* thread_create(ThreadRoutine routine, void* argument);

// Waits up to ms for the thread's routine to return. Returns 1 when it has
// returned, 0 when it still runs or t is null. The record stays the caller's.
int thread_wait(Thread* t, int ms);

// Ends the caller's interest in the thread and releases the record.
// wait != 0: waits up to 5000 ms for the routine to return. A thread cannot
// be stopped safely from outside, so one still running after that is left to
// finish on its own (detached, with a log line); its record lives on until
// its routine returns, so the routine may go on using it. Returns 1 when the
// thread had ended, 0 when it was left running or t is null.
// wait == 0: the thread is not waited for and keeps running (a thread may
// release its own record this way as it exits); returns 1.
int thread_destroy(Thread* t, int wait);

// The argument given to thread_create; null for null.
void* thread_argument(const Thread* t);
