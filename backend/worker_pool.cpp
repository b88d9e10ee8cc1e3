#include "backend/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>

namespace kelvor {

struct WorkerPool::Job {
    const std::function<void(int32_t)>* task;
    int32_t count;
    std::atomic<int32_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::exception_ptr error;
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

void WorkerPool::start_workers() {
    // Only run() adds workers or changes the generation, and run() is never
    // concurrent, so both can be read here without the lock. A new worker
    // starts from the current generation and so takes the job published next.
    while (static_cast<int32_t>(workers_.size()) < threads_ - 1) {
        std::thread t([this, seen = generation_] { work(seen); });
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.push_back(std::move(t));
    }
}

void WorkerPool::drain(Job& job) {
    while (!job.failed.load(std::memory_order_relaxed)) {
        const int32_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.count) return;
        try {
            (*job.task)(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(job.error_mutex);
            if (!job.error) job.error = std::current_exception();
            job.failed.store(true, std::memory_order_relaxed);
        }
    }
}

void WorkerPool::work(uint64_t seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        Job* job = job_;
        lock.unlock();
        drain(*job);
        lock.lock();
        if (--busy_ == 0) idle_.notify_one();
    }
}

void WorkerPool::run(int32_t count, const std::function<void(int32_t)>& task) {
    if (count <= 0) return;
    if (threads_ == 1 || count == 1) {
        for (int32_t i = 0; i < count; ++i) task(i);
        return;
    }
    start_workers();
    Job job;
    job.task = &task;
    job.count = count;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = &job;
        ++generation_;
        busy_ = static_cast<int32_t>(workers_.size());
    }
    wake_.notify_all();
    drain(job);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [&] { return busy_ == 0; });
        job_ = nullptr;
    }
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace kelvor
