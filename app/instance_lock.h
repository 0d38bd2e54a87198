#pragma once

#include <string>

namespace quavelink {

//! The name that marks the running instance.
constexpr char kInstanceMutexName[] = "AFX_QUAVELINKSERVER__6D1F42A0_5B3C_4E87_A2D9_13C07E5B9F24";

//! The single-instance mark: an exclusive lock on a file named after kInstanceMutexName in
//! $XDG_RUNTIME_DIR (or /tmp when that is unset or empty). The system drops the lock when the
//! process ends, however it ends, so a crashed instance never blocks the next start.
class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    //! Takes the lock. False when another holder has it or the lock file cannot be opened (both
    //! mean "do not start"). Main thread, once.
    bool acquire();

    //! The lock file's path, as acquire would use it now.
    static std::string lockPath();

  private:
    int fd = -1;
};

}  // namespace quavelink
