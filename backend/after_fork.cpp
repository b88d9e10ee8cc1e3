#include "backend/after_fork.h"

#include <pthread.h>

#include <new>
#include <stdexcept>
#include <unordered_map>

namespace kelvor {
namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<void*, ResetInChild> live;
};

// Never destroyed: contexts may outlive static destruction at exit.
Registry& registry() {
    static Registry* r = [] {
        auto* made = new Registry;
        // Held across the fork so the child walks a consistent map.
        pthread_atfork([] { registry().mutex.lock(); }, [] { registry().mutex.unlock(); },
                       [] {
                           Registry& reg = registry();
                           for (auto& [self, reset] : reg.live) reset(self);
                           reg.mutex.unlock();
                       });
        return made;
    }();
    return *r;
}

}  // namespace

void register_for_fork(void* self, ResetInChild reset) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.live[self] = reset;
}

void forget_for_fork(void* self) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.live.erase(self);
}

ForkSafeMutex::ForkSafeMutex() {
    register_for_fork(this, [](void* self) {
        // A holder other than the forking thread does not exist in the child.
        // The forking thread itself (a signal handler forked inside its call)
        // goes on holding it, and lets go when that call ends.
        auto* m = static_cast<ForkSafeMutex*>(self);
        if (m->owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return;
        new (&m->mutex_) std::mutex();
        m->owner_.store(std::thread::id(), std::memory_order_relaxed);
    });
}

ForkSafeMutex::~ForkSafeMutex() { forget_for_fork(this); }

namespace {

void refuse_if_held_by_caller(const std::atomic<std::thread::id>& owner) {
    if (owner.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        throw std::runtime_error("the context is in the middle of a call on this same thread (a signal handler "
                                 "called into the context whose call it interrupted)");
    }
}

}  // namespace

void ForkSafeMutex::lock() {
    refuse_if_held_by_caller(owner_);
    mutex_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

bool ForkSafeMutex::try_lock() {
    refuse_if_held_by_caller(owner_);
    if (!mutex_.try_lock()) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
}

}  // namespace kelvor
