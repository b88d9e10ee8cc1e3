#pragma once
#include <mutex>

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
// held it at the fork. What it guarded may then be half-changed; the child's
// first lock does not deadlock on it.
class ForkSafeMutex {
public:
    ForkSafeMutex();
    ~ForkSafeMutex();
    ForkSafeMutex(const ForkSafeMutex&) = delete;
    ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

    void lock() { mutex_.lock(); }
    bool try_lock() { return mutex_.try_lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

}  // namespace kelvor
