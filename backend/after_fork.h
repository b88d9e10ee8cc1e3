#pragma once
#include <atomic>
#include <mutex>
#include <thread>

namespace kelvor {

// A forked child has only the thread that forked: any other thread's locks
// stay held and its workers are gone. Objects registered here are reset in the
// child by a pthread_atfork handler, which runs while that one thread exists.
// reset(self) must not take locks other threads could have held.
using ResetInChild = void (*)(void* self);
// Call once the object is fully built; forget before it is taken apart.
void register_for_fork(void* self, ResetInChild reset);
void forget_for_fork(void* self);

// A mutex a forked child finds unlocked, even if another thread of the parent
// held it at the fork (the forking thread keeps it if it held it). What it guarded may then be half-changed; the child's
// first lock does not deadlock on it. A thread that locks it again while
// holding it (code run from inside the holder's work, such as a signal
// handler) gets std::runtime_error instead of waiting for itself forever.
class ForkSafeMutex {
public:
    ForkSafeMutex();
    ~ForkSafeMutex();
    ForkSafeMutex(const ForkSafeMutex&) = delete;
    ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock() {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

}  // namespace kelvor
