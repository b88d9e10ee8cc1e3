#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvor {

// A fixed number of threads sharing out the tasks of one call: the calling
// thread and up to threads - 1 workers, started when a call first has tasks
// for them (never more than tasks - 1) and joined by the destructor. Tasks are
// taken one at a time from a shared counter, so heads of different sizes still
// balance, and a call returns once its tasks are done: a worker that wakes
// late finds nothing left and costs the caller nothing.
//
// One call at a time: run() is not reentrant and must not be called from two
// threads at once; the owner serialises calls.
class WorkerPool {
public:
    // Throws std::invalid_argument ("threads must be at least 1, got 0") for threads < 1.
    explicit WorkerPool(int32_t threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int32_t threads() const { return threads_; }
    // Worker threads running now (0 until a call first needed one).
    int32_t started() const;

    // Runs task(i) once for every i in [0, count) and returns when all are done.
    // With one thread, or one task, everything runs on the calling thread. If a
    // task throws, tasks not yet begun are skipped and the first exception is
    // rethrown here once no task is running any more.
    void run(int32_t count, const std::function<void(int32_t)>& task);

private:
    struct Job;

    void start_workers(int32_t wanted);
    void work(uint64_t seen);
    void drain(Job& job);

    const int32_t threads_;
    std::vector<std::thread> workers_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;  // a new job, or stop
    std::condition_variable done_;  // the last task of the job finished
    // The job in progress, shared so that a worker still holding it after the
    // call returned reads nothing freed.
    std::shared_ptr<Job> job_;
    uint64_t generation_ = 0;
    bool stopping_ = false;
};

}  // namespace kelvor
