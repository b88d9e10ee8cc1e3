#include "backend/worker_pool.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <exception>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "backend/after_fork.h"
#include "core/attention/scratch.h"

namespace kelvor {

struct WorkerPool::Job {
    Job(const std::function<void(int32_t)>& t, int32_t n, int32_t h, uint32_t f)
        : task(t), count(n), helpers_max(h), forks(f) {}

    const std::function<void(int32_t)>& task;  // only called for claimed tasks, all done before run() returns
    const int32_t count;
    const int32_t helpers_max;  // workers that may join, besides the caller
    const uint32_t forks;       // the pool's forks_ when it was posted
    int32_t helpers = 0;        // under the pool's mutex
    std::atomic<int32_t> next{0};
    std::atomic<int32_t> finished{0};
    std::atomic<bool> skip{false};  // a task failed or the caller was told to stop
    bool stopped = false;           // only the caller touches it
    std::exception_ptr error;       // under the pool's mutex
};

int32_t hardware_threads() {
    static const int32_t count = [] {
        cpu_set_t cpus;
        if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0) return CPU_COUNT(&cpus);
        return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }();
    return count;
}

WorkerPool::WorkerPool(int32_t threads) : threads_(threads) {
    if (threads < 1) throw std::invalid_argument("threads must be at least 1, got " + std::to_string(threads));
    register_for_fork(this, [](void* self) { static_cast<WorkerPool*>(self)->reset_in_child(); });
}

WorkerPool::~WorkerPool() {
    forget_for_fork(this);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
    for (std::thread& t : retired_) t.join();
}

std::shared_ptr<WorkerPool> WorkerPool::shared(int32_t threads) {
    // Never destroyed: holders may let go during static destruction at exit.
    static auto* guard = new ForkSafeMutex;
    static auto* current = new std::weak_ptr<WorkerPool>;
    std::lock_guard<ForkSafeMutex> lock(*guard);
    std::shared_ptr<WorkerPool> pool = current->lock();
    if (!pool) {
        // More workers than hardware threads would only take turns on them.
        pool = std::make_shared<WorkerPool>(hardware_threads() + 1);
        pool->follows_claims_ = true;
        *current = pool;
    }
    const int32_t helpers = std::min(std::max(threads, 1), pool->threads_) - 1;
    if (helpers == 0) return pool;
    pool->claim(helpers);
    // A handle of its own, which gives the claim back when its holder lets go.
    WorkerPool* raw = pool.get();
    return std::shared_ptr<WorkerPool>(raw, [pool = std::move(pool), helpers](WorkerPool*) { pool->claim(-helpers); });
}

void WorkerPool::claim(int32_t helpers) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        claimed_ += helpers;
    }
    // Idle workers no holder claims any more end now rather than at their next job.
    if (helpers < 0) wake_.notify_all();
}

void WorkerPool::reset_in_child() {
    // Only the forking thread exists: the workers and every other caller are
    // gone, and their locks may be held. Their objects are abandoned, not
    // destroyed (joining a thread that does not exist never returns).
    new (&mutex_) std::mutex();
    new (&wake_) std::condition_variable();
    new (&done_) std::condition_variable();
    new (&workers_) std::vector<std::thread>();
    new (&retired_) std::vector<std::thread>();
    new (&jobs_) std::deque<std::shared_ptr<Job>>();
    posted_.store(0);
    sleeping_ = 0;
    spinning_ = 0;
    stopping_ = false;
    ++forks_;
}

int32_t WorkerPool::started() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int32_t>(workers_.size());
}

void WorkerPool::join_retired() {
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended.swap(retired_);
    }
    for (std::thread& t : ended) t.join();
}

int32_t WorkerPool::start_workers(int32_t wanted) {
    join_retired();
    std::lock_guard<std::mutex> lock(mutex_);
    while (static_cast<int32_t>(workers_.size()) < wanted) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;  // out of threads: go on with those there are, and try again next call
        }
    }
    return static_cast<int32_t>(workers_.size());
}

std::shared_ptr<WorkerPool::Job> WorkerPool::job_with_room() const {
    for (const auto& job : jobs_) {
        if (job->helpers < job->helpers_max && job->next.load(std::memory_order_relaxed) < job->count) return job;
    }
    return nullptr;
}

bool WorkerPool::surplus() const {
    const int32_t kept = follows_claims_ ? std::min(claimed_, threads_ - 1) : threads_ - 1;
    return static_cast<int32_t>(workers_.size()) > kept;
}

void WorkerPool::retire() {
    const auto self = std::find_if(workers_.begin(), workers_.end(),
                                   [](const std::thread& t) { return t.get_id() == std::this_thread::get_id(); });
    if (self == workers_.end()) return;
    retired_.push_back(std::move(*self));
    workers_.erase(self);
}

void WorkerPool::drain(Job& job, const StopPoll* stop) {
    for (;;) {
        if (stop != nullptr && !job.stopped && (*stop)()) {
            job.stopped = true;
            job.skip.store(true, std::memory_order_relaxed);
        }
        const int32_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.count) return;
        if (!job.skip.load(std::memory_order_relaxed)) {
            try {
                job.task(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!job.error) job.error = std::current_exception();
                job.skip.store(true, std::memory_order_relaxed);
            }
        }
        // The caller checks `finished` under the mutex, so notifying under it cannot be missed.
        if (job.finished.fetch_add(1, std::memory_order_acq_rel) + 1 == job.count) {
            std::lock_guard<std::mutex> lock(mutex_);
            done_.notify_all();
        }
    }
}

void WorkerPool::work() {
    // Made before the first task, so that no task fails for want of it with
    // other tasks of its call already done.
    bool ready = true;
    try {
        make_thread_scratch();
    } catch (const std::bad_alloc&) {
        ready = false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready) {
        retire();
        return;
    }
    for (;;) {
        std::shared_ptr<Job> job = job_with_room();
        if (!job && !stopping_) {
            // A call in phases (a head shared out by tokens) posts its next job
            // microseconds later, and a model's next layer its call a fraction
            // of a millisecond later: look out for them for a millisecond
            // before sleeping. Waking a sleeping worker took 50 to 100 us on
            // a 2-core VM, as long as a third of a small layer step; the spin
            // yields the core to any other thread that wants it.
            const uint64_t seen = posted_.load(std::memory_order_relaxed);
            ++spinning_;
            lock.unlock();
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
            while (posted_.load(std::memory_order_relaxed) == seen && std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
            lock.lock();
            --spinning_;
        }
        ++sleeping_;
        wake_.wait(lock, [&] { return stopping_ || (job = job_with_room()) != nullptr || surplus(); });
        --sleeping_;
        if (stopping_) return;
        if (!job) {
            retire();  // no holder claims it: it ends after its idle wait
            return;
        }
        ++job->helpers;
        lock.unlock();
        drain(*job, nullptr);
        lock.lock();
    }
}

bool WorkerPool::run(int32_t threads, int32_t count, const std::function<void(int32_t)>& task,
                     const StopPoll* stop) {
    if (count <= 0) return true;
    // A worker more than there are tasks could never get one.
    const int32_t helpers = std::min(std::min(threads, threads_) - 1, count - 1);
    if (helpers <= 0 || start_workers(helpers) == 0) {
        for (int32_t i = 0; i < count; ++i) {
            if (stop != nullptr && (*stop)()) return false;
            task(i);
        }
        return true;
    }
    int32_t wake = 0;
    std::shared_ptr<Job> job;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job = std::make_shared<Job>(task, count, helpers, forks_);
        jobs_.push_back(job);
        // Workers looking out for a job find this one themselves; sleepers
        // are woken only for the helpers the job has room for beyond them.
        wake = std::min(sleeping_, std::max(0, helpers - spinning_));
    }
    posted_.fetch_add(1, std::memory_order_relaxed);
    for (int32_t i = 0; i < wake; ++i) wake_.notify_one();
    drain(*job, stop);
    if (job->forks != forks_) {
        // Forked during the call (by a signal handler run at a stop poll):
        // the workers that took tasks do not exist here, and what they did
        // is unknown. This thread does every task again.
        if (job->stopped) return false;
        for (int32_t i = 0; i < count; ++i) {
            if (stop != nullptr && (*stop)()) return false;
            task(i);
        }
        return true;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        jobs_.erase(std::find(jobs_.begin(), jobs_.end(), job));
        done_.wait(lock, [&] { return job->finished.load(std::memory_order_acquire) == count; });
    }
    if (job->error) std::rethrow_exception(job->error);
    return !job->stopped;
}

}  // namespace kelvor
