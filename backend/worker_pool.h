#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvor {

// Asked by the calling thread between tasks; true stops the call.
using StopPoll = std::function<bool()>;

// The CPUs this process may run on (at least 1): the most workers the
// process's shared pool holds.
int32_t hardware_threads();

// Threads that share out the tasks of calls. Each call is a job in a queue:
// its calling thread works on it, and up to threads - 1 idle workers join in,
// so calls from several threads run at once and a caller never waits for
// another caller's job. Workers start when a call first has tasks for them
// (never more than tasks - 1 for one call) and are joined by the destructor.
// A call wakes only as many sleeping workers as it can use. Tasks are taken
// one at a time from a shared counter, so tasks of different sizes still
// balance, and a call returns once its tasks are done: a worker that wakes
// late finds nothing left and costs the caller nothing.
//
// If a worker cannot be started (the system is out of threads), the call goes
// on with the workers there are, on the calling thread alone if need be, and
// a later call tries again. A forked child forgets the parent's workers and
// starts its own on first need; a call that was running on the forking thread
// (a signal handler forked between its tasks) finishes there alone.
class WorkerPool {
public:
    // `threads` bounds run(count, task). Throws std::invalid_argument
    // ("threads must be at least 1, got 0") for threads < 1.
    explicit WorkerPool(int32_t threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The process's pool, made on first need and shared by every holder of it;
    // it joins its workers when the last holder lets go. It holds at most
    // hardware_threads() workers, so a call runs on at most that many and its
    // caller. A holder that asks for `threads` claims up to threads - 1 of
    // them for as long as it holds the pool: workers beyond what the holders
    // claim end after their idle wait.
    static std::shared_ptr<WorkerPool> shared(int32_t threads = 1);

    int32_t threads() const { return threads_; }
    // Worker threads running now (0 until a call first needed one).
    int32_t started() const;

    // Runs task(i) once for every i in [0, count) and returns when all are done.
    // With one thread, or one task, everything runs on the calling thread. If a
    // task throws, tasks not yet begun are skipped and the first exception is
    // rethrown here once no task is running any more.
    void run(int32_t count, const std::function<void(int32_t)>& task) { run(threads_, count, task, nullptr); }
    // The same on at most `threads` threads (the caller included), asking
    // `stop` (when given) before each task the caller takes; once it returns
    // true, tasks not yet begun are skipped and run returns false.
    bool run(int32_t threads, int32_t count, const std::function<void(int32_t)>& task, const StopPoll* stop);

private:
    struct Job;

    // Workers, up to `wanted`; returns how many there are (fewer if starting one failed).
    int32_t start_workers(int32_t wanted);
    void work();
    void drain(Job& job, const StopPoll* stop);
    std::shared_ptr<Job> job_with_room() const;  // under mutex_
    bool surplus() const;                        // under mutex_
    void retire();                               // under mutex_: the calling worker leaves workers_
    void join_retired();
    void claim(int32_t helpers);
    void reset_in_child();

    const int32_t threads_;
    bool follows_claims_ = false;  // the shared pool keeps only the workers its holders claim
    int32_t claimed_ = 0;          // under mutex_
    std::vector<std::thread> workers_;  // under mutex_
    std::vector<std::thread> retired_;  // under mutex_: workers that ended themselves, to be joined
    int32_t sleeping_ = 0;              // under mutex_: workers waiting on wake_
    int32_t spinning_ = 0;              // under mutex_: workers looking out for the next job
    mutable std::mutex mutex_;
    std::condition_variable wake_;  // a new job, a claim let go, or stop
    std::condition_variable done_;  // the last task of some job finished
    // Jobs whose tasks are not all taken yet. Shared, so that a worker still
    // holding one after its call returned reads nothing freed.
    std::deque<std::shared_ptr<Job>> jobs_;
    std::atomic<uint64_t> posted_{0};  // jobs ever queued
    bool stopping_ = false;
    uint32_t forks_ = 0;  // forked children this process descends from, as seen by this pool
};

}  // namespace kelvor
