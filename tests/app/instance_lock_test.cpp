#include "app/instance_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/temporary_folder.h"

namespace quavelink {
namespace {

struct PrivateRuntimeFolder {
    PrivateRuntimeFolder() : folder(made.path().string()) {
        setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    }
    ~PrivateRuntimeFolder() { unsetenv("XDG_RUNTIME_DIR"); }
    test::TemporaryFolder made{"quavelink-lock-test"};
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

TEST(InstanceLock, AProgramStartedFromTheServerDoesNotKeepTheMark) {
    PrivateRuntimeFolder runtime;
    InstanceLock lock;
    ASSERT_TRUE(lock.acquire());
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/sleep", "sleep", "5", nullptr);
        _exit(127);
    }
    ASSERT_GT(child, 0);
    usleep(200 * 1000);  // time to exec
    int held = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(child) + "/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == InstanceLock::lockPath()) ++held;
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(held, 0);
}

}  // namespace
}  // namespace quavelink
