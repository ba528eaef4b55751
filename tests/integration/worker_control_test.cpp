// The worker controlling a program set: a stand-in monitor (the peer under the monitor's name)
// in the worker's own program folder, real worker runs, the watchdog.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc_test_support.h"
#include "platform/process.h"

namespace qm::test {
namespace {

class WorkerControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The worker stops these by name.
    if (auto why = foreignProcesses({"KVLQuillmarkMonitor", "KVLQuillmark"})) GTEST_SKIP() << *why;
    worker = installCopy(workerPath(), folder, "KVLQuillmarkWorker");
    installCopy(peerPath(), folder, "KVLQuillmarkMonitor");
  }
  void TearDown() override {
    // Whatever a test left running in this root ends here.
    if (!IsSkipped()) run({"-allstop"});
  }

  std::unique_ptr<Program> start(const std::vector<std::string>& args) {
    return std::make_unique<Program>(root, worker, args, record);
  }
  // A whole run; its log lines.
  std::vector<std::string> run(const std::vector<std::string>& args, int expected = 0) {
    Program program(root, worker, args, record);
    EXPECT_EQ(program.wait(60000), expected) << args.front();
    return program.log();
  }
  std::size_t rootLogCount(std::string_view text) const { return countIn(root.logLines(), text); }

  TempRoot root;
  Record record{root.path() + "/record.txt"};
  std::string folder = root.path() + "/program";
  std::string worker;
};

TEST_F(WorkerControlTest, StartStartsTheMonitorOnceAndThenInstructsIt) {
  auto log = run({"-START"});
  EXPECT_EQ(countIn(log, "Command: -START"), 1u);
  ASSERT_TRUE(record.waitFor("monitor ready"));
  EXPECT_EQ(countIn(log, "sendIPCMsgWin"), 0u);  // started, not instructed

  struct Case {
    std::string word;
    std::string action;
  };
  for (const Case& c : std::vector<Case>{{"-Start", "monitor start"},
                                         {"-reSTART", "monitor restart"},
                                         {"-Stop", "monitor stop"}}) {
    log = run({c.word});
    EXPECT_TRUE(record.waitFor(c.action)) << c.word;
    EXPECT_EQ(countIn(log, "Send message final result: Success"), 1u) << c.word;
  }
  log = run({"-monitorstart"});
  EXPECT_EQ(countIn(log, "Monitor start: Already running"), 1u);
  EXPECT_EQ(record.count("monitor"), 1u);  // one monitor all along

  log = run({"-allstop"});
  EXPECT_EQ(countIn(log, "Stop area"), 1u);
  // A receiver that the Suicide ends answers nothing; that is no failure of the send.
  EXPECT_EQ(countIn(log, "[Warning]"), 0u);
  EXPECT_TRUE(record.has("monitor final"));
  EXPECT_EQ(countIn(log, "[QuillmarkWorker] kill KVLQuillmarkMonitor.exe shutdown state: Success"),
            1u);
  EXPECT_EQ(countIn(log, "[QuillmarkWorker] kill KVLQuillmark.exe shutdown state: Success"), 1u);
  EXPECT_FALSE(platform::isProcessRunning("KVLQuillmarkMonitor"));
}

TEST_F(WorkerControlTest, WithoutAMonitorStopOnlyLogsAndMonitorStartStartsOne) {
  auto log = run({"-stop"});
  EXPECT_EQ(countIn(log, "[Error] sendIPCMsgWin can't find window KVLQuillmarkMonitor.exe"), 1u);
  EXPECT_FALSE(record.has("monitor"));
  run({"-MONITORSTART"});
  EXPECT_TRUE(record.waitFor("monitor ready"));
}

TEST_F(WorkerControlTest, ControlWordsWaitForTheWorkerLockAndGiveUp) {
  Record holder(root.path() + "/holder.txt");
  Program lock(root, peerPath(), {"hold", "QuillmarkWorker", "-1"}, holder);
  ASSERT_TRUE(holder.waitFor("held"));
  auto log = run({"-start"});
  EXPECT_EQ(countIn(log, "[Normal] Get mutex lock time out"), 1u);
  EXPECT_FALSE(record.has("monitor"));
  // Words outside the six do not wait for it.
  log = run({"-KeyToByte " + root.path() + "/missing"});
  EXPECT_EQ(countIn(log, "KeyToByte area"), 1u);
}

TEST_F(WorkerControlTest, WatchdogResetsTheSetWhenTheMonitorGoes) {
  // The "monitor": a process that holds the monitor's single-instance lock.
  Record holder(root.path() + "/holder.txt");
  auto monitor = std::make_unique<Program>(
      root, peerPath(), std::vector<std::string>{"hold", "KVLQuillmarkMonitor.exe", "-1"}, holder);
  ASSERT_TRUE(holder.waitFor("held"));

  auto watchdog = start({"-watchdog"});
  ASSERT_TRUE(watchdog->waitLog("getMutexLock: Success"));
  EXPECT_TRUE(watchdog->logHas("debugStatusUpdateEvent init failed."));
  auto second = run({"-watchdog"});
  EXPECT_EQ(countIn(second, "getMutexLock: Fail"), 1u);
  EXPECT_TRUE(watchdog->running());

  monitor->kill();
  EXPECT_EQ(watchdog->wait(20000), 0);
  EXPECT_TRUE(watchdog->logHas("Monitor is NOT alive"));
  EXPECT_TRUE(watchdog->logHas("hideNOWaitCommand: KVLQuillmarkWorker.exe -reset"));

  // The reset it started brings up a monitor and a new watchdog from the program folder.
  EXPECT_TRUE(waitUntil([&] { return rootLogCount("Reset complete") == 1; }, 30000));
  EXPECT_TRUE(record.waitFor("monitor ready"));
  EXPECT_TRUE(waitUntil([&] { return rootLogCount("getMutexLock: Success") == 2; }, 20000));

  // A stop asked for ends the watchdog first, so no reset follows it.
  run({"-allstop"});
  EXPECT_TRUE(waitUntil([&] { return rootLogCount("Execute exit") == 1; }));
  EXPECT_TRUE(record.has("monitor final"));
  platform::sleepMs(1500);
  EXPECT_EQ(rootLogCount("Reset complete"), 1u);
  EXPECT_EQ(record.count("monitor"), 1u);
}

TEST_F(WorkerControlTest, ResetStopsEverythingAndStartsMonitorAndWatchdog) {
  run({"-start"});
  ASSERT_TRUE(record.waitFor("monitor ready"));
  auto log = run({"-reset"});
  EXPECT_EQ(countIn(log, "Reset complete"), 1u);
  EXPECT_TRUE(record.has("monitor final"));
  EXPECT_TRUE(waitUntil([&] { return record.count("monitor ready") == 2; }));
  EXPECT_TRUE(waitUntil([&] { return rootLogCount("getMutexLock: Success") == 1; }));
}

TEST_F(WorkerControlTest, OddCommandTextsDoNothing) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {std::string(10 * 1024, 'x')}, {"-start", "now"}, {"\"-start"}}) {
    auto log = run(args);
    EXPECT_EQ(countIn(log, "Command: "), 1u);
    EXPECT_EQ(countIn(log, "hideNOWaitCommand"), 0u);
  }
  EXPECT_FALSE(record.has("monitor"));
}

}  // namespace
}  // namespace qm::test
