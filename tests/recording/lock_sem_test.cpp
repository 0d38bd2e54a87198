#include "recording/lock_sem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

#include "platform/log.h"

namespace quavelink {
namespace {

// Death tests match what the dying process wrote to standard error; diagnostic lines go to
// standard output, so copy them over.
void echoLogToStandardError() {
    setLogObserver([](const std::string& line) { std::fputs(line.c_str(), stderr); });
}

TEST(LockSem, TakenTwiceByOneThreadIsFreedOnlyBySecondUnlock) {
    LockSem lock;
    lock.lock();
    lock.lock();
    std::atomic<bool> otherGotIt{false};
    std::thread other([&] {
        lock.lock();
        otherGotIt = true;
        lock.unlock();
    });
    lock.unlock();
    // Only a false pass is possible here: the other thread must still be shut out.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(otherGotIt);
    lock.unlock();
    other.join();
    EXPECT_TRUE(otherGotIt);
}

using LockSemDeathTest = ::testing::Test;

TEST_F(LockSemDeathTest, LockAfterDestructionEndsTheProcessWithItsLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            echoLogToStandardError();
            alignas(LockSem) unsigned char storage[sizeof(LockSem)];
            auto* lock = new (storage) LockSem;
            lock->~LockSem();
            lock->lock();
        },
        "LockSem::lock: Attempt to lock uninitialized semaphore\\.");
}

TEST_F(LockSemDeathTest, UnlockAfterDestructionEndsTheProcessWithItsLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            echoLogToStandardError();
            alignas(LockSem) unsigned char storage[sizeof(LockSem)];
            auto* lock = new (storage) LockSem;
            lock->~LockSem();
            lock->unlock();
        },
        "LockSem::unlock: Attempt to unlock uninitialized semaphore\\.");
}

}  // namespace
}  // namespace quavelink
