#include "core/FileLock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/TempHome.h"

namespace wk {
namespace {

using FileLockTest = test::TempHomeTest;

TEST_F(FileLockTest, ExcludesOtherHoldersInThisAndOtherProcesses) {
    FileLock first;
    ASSERT_TRUE(first.Acquire("a.lock"));
    EXPECT_TRUE(FileLock::IsHeld("a.lock"));
    FileLock second;
    std::string why;
    EXPECT_FALSE(second.Acquire("a.lock", 30, &why));
    EXPECT_NE(why.find("another wavkeep process"), std::string::npos) << why;
    EXPECT_TRUE(second.Acquire("b.lock", 0)) << "other names are other locks";

    // A child process cannot take it either while we hold it; it can once we let go.
    auto childCanLock = [] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            FileLock lock;
            ::_exit(lock.Acquire("a.lock", 0) ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    EXPECT_FALSE(childCanLock());
    first.Release();
    EXPECT_FALSE(FileLock::IsHeld("a.lock"));
    EXPECT_TRUE(childCanLock());
}

TEST_F(FileLockTest, SerialisesReadModifyWriteAcrossThreads) {
    int counter = 0;  // guarded by the lock alone
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&counter] {
            for (int i = 0; i < 200; ++i) {
                FileLock lock;
                ASSERT_TRUE(lock.Acquire("counter.lock"));
                const int seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 800);
}

TEST_F(FileLockTest, NamesFollowTheAbsolutePathAndRefuseUnsafeNames) {
    EXPECT_EQ(LockNameForFile("x/desc.des"), LockNameForFile("./x/../x/desc.des"));
    EXPECT_NE(LockNameForFile("a/desc.des"), LockNameForFile("b/desc.des"));
    EXPECT_EQ(LockNameForFile("/s/we\tird name").find('\t'), std::string::npos);
    FileLock lock;
    std::atomic<int> cancelled{1};
    EXPECT_FALSE(lock.Acquire("../escape", 0));
    ASSERT_TRUE(lock.Acquire("c.lock"));
    FileLock other;
    EXPECT_FALSE(other.Acquire("c.lock", 60'000, nullptr, &cancelled)) << "a cancel ends the wait";
}

}  // namespace
}  // namespace wk
