#include "recording/lock_sem.h"

#include <cstdlib>

#include "platform/log.h"

namespace quavelink {

LockSem::LockSem() { initialised.store(true, std::memory_order_relaxed); }

LockSem::~LockSem() { initialised.store(false, std::memory_order_relaxed); }

void LockSem::lock() {
    if (!initialised.load(std::memory_order_relaxed)) {
        logLine("LockSem::lock: Attempt to lock uninitialized semaphore.\n");
        std::abort();
    }
    section.lock();
}

void LockSem::unlock() {
    if (!initialised.load(std::memory_order_relaxed)) {
        logLine("LockSem::unlock: Attempt to unlock uninitialized semaphore.\n");
        std::abort();
    }
    section.unlock();
}

LockSem& recordLock = *new LockSem;

}  // namespace quavelink
