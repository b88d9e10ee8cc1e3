#include "backend/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <stdexcept>
#include <string>

namespace kelvor {

struct WorkerPool::Job {
    Job(const std::function<void(int32_t)>& t, int32_t n, uint64_t g) : task(t), count(n), generation(g) {}

    const std::function<void(int32_t)>& task;  // only called for claimed tasks, all done before run() returns
    const int32_t count;
    const uint64_t generation;
    std::atomic<int32_t> next{0};
    std::atomic<int32_t> finished{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // under the pool's mutex
};

WorkerPool::WorkerPool(int32_t threads) : threads_(threads) {
    if (threads < 1) throw std::invalid_argument("threads must be at least 1, got " + std::to_string(threads));
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

int32_t WorkerPool::started() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int32_t>(workers_.size());
}

void WorkerPool::start_workers(int32_t wanted) {
    // Only run() adds workers, and run() is never concurrent.
    while (static_cast<int32_t>(workers_.size()) < wanted) {
        std::thread t([this, seen = generation_] { work(seen); });
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.push_back(std::move(t));
    }
}

void WorkerPool::drain(Job& job) {
    for (;;) {
        const int32_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.count) return;
        if (!job.failed.load(std::memory_order_relaxed)) {
            try {
                job.task(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!job.error) job.error = std::current_exception();
                job.failed.store(true, std::memory_order_relaxed);
            }
        }
        // The caller checks `finished` under the mutex, so notifying under it cannot be missed.
        if (job.finished.fetch_add(1, std::memory_order_acq_rel) + 1 == job.count) {
            std::lock_guard<std::mutex> lock(mutex_);
            done_.notify_one();
        }
    }
}

void WorkerPool::work(uint64_t seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || (job_ && job_->generation != seen); });
        if (stopping_) return;
        std::shared_ptr<Job> job = job_;
        seen = job->generation;
        lock.unlock();
        drain(*job);
        lock.lock();
    }
}

void WorkerPool::run(int32_t count, const std::function<void(int32_t)>& task) {
    if (count <= 0) return;
    if (threads_ == 1 || count == 1) {
        for (int32_t i = 0; i < count; ++i) task(i);
        return;
    }
    // A worker more than there are tasks could never get one.
    start_workers(std::min(threads_ - 1, count - 1));
    auto job = std::make_shared<Job>(task, count, ++generation_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = job;
    }
    wake_.notify_all();
    drain(*job);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return job->finished.load(std::memory_order_acquire) == count; });
        job_.reset();
    }
    if (job->error) std::rethrow_exception(job->error);
}

}  // namespace kelvor
