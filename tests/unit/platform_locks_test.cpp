#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../fixtures/platform_helper/helper_client.h"
#include "platform/clock.h"
#include "platform/locks.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace qm::platform {
namespace {

using testing::helperPath;
using testing::PrivateRuntime;
using testing::waitForText;

class NamedLockTest : public ::testing::Test {
 protected:
  PrivateRuntime runtime_;
  std::string file(const std::string& name) const { return runtime_.root() / name; }

  // Starts a helper that holds the lock for holdMs; true once it holds it.
  bool startHolder(const std::string& program, const std::string& name, int holdMs,
                   const std::string& ready) {
    std::string command =
        program + " lock \"" + name + "\" " + std::to_string(holdMs) + " " + ready;
    return startDetached(command, false) == 0 && waitForText(ready) == "held";
  }
};

TEST_F(NamedLockTest, ExclusiveWithinProcessAndReleased) {
  auto first = NamedLock::acquire("user_QuillmarkWorker", 0);
  ASSERT_TRUE(first);
  EXPECT_FALSE(NamedLock::acquire("user_QuillmarkWorker", 0));
  EXPECT_FALSE(NamedLock::acquire("user_QuillmarkWorker", 30)) << "polls, then gives up";
  EXPECT_TRUE(NamedLock::acquire("user_Other", 0));

  NamedLock moved = std::move(*first);
  first.reset();
  EXPECT_FALSE(NamedLock::acquire("user_QuillmarkWorker", 0)) << "the moved lock is still held";
  moved.release();
  EXPECT_TRUE(NamedLock::acquire("user_QuillmarkWorker", 0));
}

TEST_F(NamedLockTest, NamesWithSeparatorsStayDistinct) {
  const std::vector<std::string> names = {
      "a/b",   "a\\b",      "a_b",
      "a%2Fb", "",          ".",
      "..",    "../escape", "KVLQuillmark.exeQuillmarkInstruction_Stop"};
  std::vector<NamedLock> held;
  for (const auto& name : names) {
    auto lock = NamedLock::acquire(name, 0);
    ASSERT_TRUE(lock) << "'" << name << "'";
    held.push_back(std::move(*lock));
  }
  for (const auto& name : names) EXPECT_FALSE(NamedLock::acquire(name, 0)) << "'" << name << "'";
  // Every lock file stayed inside the runtime folder.
  EXPECT_FALSE(std::filesystem::exists(runtime_.root() / "run/KVLQuillmark/escape"));
  EXPECT_TRUE(std::filesystem::is_directory(runtime_.root() / "run/KVLQuillmark/locks"));
}

TEST_F(NamedLockTest, HeldBySecondProcessUntilItEnds) {
  ASSERT_TRUE(startHolder(helperPath(), "user_KVLQuillmarkWatchdog", 300, file("ready")));
  EXPECT_FALSE(NamedLock::acquire("user_KVLQuillmarkWatchdog", 0));
  // The helper's own attempt on a lock we hold fails as well.
  auto ours = NamedLock::acquire("user_Ours", 0);
  ASSERT_TRUE(ours);
  ASSERT_EQ(startDetached(helperPath() + " lock user_Ours 0 " + file("busy"), false), 0);
  EXPECT_EQ(waitForText(file("busy")), "busy");
  // Waiting outlasts the holder.
  EXPECT_TRUE(NamedLock::acquire("user_KVLQuillmarkWatchdog", 10000));
}

TEST_F(NamedLockTest, KilledHolderReleasesTheLock) {
  const std::string copy = testing::uniqueHelperCopy(runtime_.root(), "lock");
  ASSERT_TRUE(startHolder(copy, "user_KVLQuillmarkMonitor.exe", 60000, file("ready")));
  EXPECT_FALSE(NamedLock::acquire("user_KVLQuillmarkMonitor.exe", 50));
  ASSERT_EQ(killProcesses(std::filesystem::path(copy).filename().string()), 1);
  EXPECT_TRUE(NamedLock::acquire("user_KVLQuillmarkMonitor.exe", 10000));
}

TEST(RuntimeFolder, CreatedPrivateAndRepaired) {
  PrivateRuntime runtime;
  const auto folder = runtime.root().path() / "run/KVLQuillmark";
  std::filesystem::create_directories(folder);
  std::filesystem::permissions(folder, std::filesystem::perms::all);
  EXPECT_EQ(runtimeFolder(), folder.string());
  EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  // A planted link is refused, not followed.
  std::filesystem::remove(folder);
  std::filesystem::create_directory_symlink(runtime.root().path(), folder);
  EXPECT_EQ(runtimeFolder(), "");
  EXPECT_FALSE(NamedLock::acquire("x", 0));
}

TEST(MachineLock, SharedFileExcludesThreadsAndProcesses) {
  auto lock = MachineLock::open("Global\\ZDLog");
  ASSERT_TRUE(lock);
  auto perms = std::filesystem::status("/tmp/ZDLog.lock").permissions();
  EXPECT_EQ(perms & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::group_write |
                std::filesystem::perms::others_read | std::filesystem::perms::others_write);

  // Threads sharing one lock object never overlap.
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        lock->lock();
        if (inside.fetch_add(1) != 0) overlapped = true;
        std::this_thread::yield();
        inside.fetch_sub(1);
        lock->unlock();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(overlapped);

  // A holder in another process: lock() returns only after it let go.
  PrivateRuntime runtime;
  const std::string ready = runtime.root() / "ready";
  ASSERT_EQ(startDetached(helperPath() + " machine-lock 200 " + ready, false), 0);
  ASSERT_EQ(waitForText(ready), "held");
  lock->lock();
  EXPECT_EQ(readTextFile(ready), "held released");
  lock->unlock();
}

}  // namespace
}  // namespace qm::platform
