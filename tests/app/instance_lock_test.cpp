#include "app/instance_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace quavelink {
namespace {

struct PrivateRuntimeFolder {
    PrivateRuntimeFolder() {
        char name[] = "/tmp/quavelink-lock-test-XXXXXX";
        folder = mkdtemp(name);
        setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    }
    ~PrivateRuntimeFolder() {
        unsetenv("XDG_RUNTIME_DIR");
        std::filesystem::remove_all(folder);
    }
    std::string folder;
};

TEST(InstanceLock, ASecondHolderIsRefusedUntilTheFirstIsGone) {
    PrivateRuntimeFolder runtime;
    EXPECT_EQ(InstanceLock::lockPath(),
              runtime.folder + "/AFX_QUAVELINKSERVER__6D1F42A0_5B3C_4E87_A2D9_13C07E5B9F24");
    auto first = std::make_unique<InstanceLock>();
    ASSERT_TRUE(first->acquire());
    InstanceLock second;
    EXPECT_FALSE(second.acquire());
    first.reset();
    EXPECT_TRUE(second.acquire());
}

TEST(InstanceLock, AForkedChildDoesNotInheritTheMarkAcrossExec) {
    PrivateRuntimeFolder runtime;
    InstanceLock lock;
    ASSERT_TRUE(lock.acquire());
    // A child that execs keeps no copy of the lock's descriptor, so a program started from the
    // server cannot keep a later instance from starting.
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", "sleep 5", nullptr);
        _exit(127);
    }
    ASSERT_GT(child, 0);
    std::string fdFolder = "/proc/" + std::to_string(child) + "/fd";
    usleep(200 * 1000);
    int locksHeld = 0;
    for (const auto& entry : std::filesystem::directory_iterator(fdFolder)) {
        std::error_code error;
        auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error && target.string() == InstanceLock::lockPath()) ++locksHeld;
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(locksHeld, 0);
}

TEST(InstanceLock, UnsetRuntimeFolderFallsBackToTmp) {
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(InstanceLock::lockPath().rfind("/tmp/", 0), 0u);
    setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_EQ(InstanceLock::lockPath().rfind("/tmp/", 0), 0u);
    unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace quavelink
