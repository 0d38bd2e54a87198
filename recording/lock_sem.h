#pragma once

#include <atomic>
#include <mutex>

namespace quavelink {

//! A re-entrant mutual-exclusion lock that refuses to be used outside its lifetime: `lock` or
//! `unlock` on an instance that is not (or no longer) initialised prints which call it was and
//! ends the process, since only a programming error gets there. Meets BasicLockable, so
//! std::lock_guard and std::unique_lock work with it.
class LockSem {
  public:
    LockSem();
    ~LockSem();

    LockSem(const LockSem&) = delete;
    LockSem& operator=(const LockSem&) = delete;

    //! Any thread; waits for the lock. A thread that holds it may take it again and then needs
    //! one `unlock` per `lock`.
    void lock();

    //! Only the thread that holds the lock.
    void unlock();

  private:
    std::recursive_mutex section;
    // Atomic so that the store in the destructor is kept and a late caller still sees it.
    std::atomic<bool> initialised{false};
};

//! Guards the record target and everything done with the recording file, including the
//! shared buffer of PackageInt. Never destroyed: the detached record thread may still take it
//! while the process exits.
extern LockSem& recordLock;

}  // namespace quavelink
