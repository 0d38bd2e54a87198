#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/environment.h"

namespace quavelink {

InstanceLock::~InstanceLock() {
    if (fd != -1) close(fd);
}

std::string InstanceLock::lockPath() { return runtimeFolder() + "/" + kInstanceMutexName; }

bool InstanceLock::acquire() {
    if (fd != -1) return true;
    // Close-on-exec: a child process must not keep the mark alive after this one ends.
    int opened = open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (opened == -1) return false;
    if (flock(opened, LOCK_EX | LOCK_NB) != 0) {
        close(opened);
        return false;
    }
    fd = opened;
    return true;
}

}  // namespace quavelink
