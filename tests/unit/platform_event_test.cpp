#include <gtest/gtest.h>

#include <string>

#include "../fixtures/platform_helper/helper_client.h"
#include "platform/event.h"
#include "platform/process.h"

namespace qm::platform {
namespace {

using testing::helperPath;
using testing::PrivateRuntime;
using testing::waitForFile;
using testing::waitForText;

constexpr const char* kDebugMode = "KVLQuillmark_DEBUG_MODE";

class NamedEventTest : public ::testing::Test {
 protected:
  PrivateRuntime runtime_;
  std::string file(const std::string& name) const { return runtime_.root() / name; }

  // Starts a listener process for `count` pulses; true once it listens.
  bool startListener(const std::string& tag, int count) {
    std::string command = helperPath() + " listen " + kDebugMode + " " + std::to_string(count) +
                          " " + file(tag) + " " + file(tag + ".ready");
    return startDetached(command, false) == 0 && waitForText(file(tag + ".ready")) == "ready";
  }

  // The listener's report once it has finished.
  std::string report(const std::string& tag) {
    auto text = waitForFile(file(tag), [](const std::string& text) {
      return text.ends_with("end\n") || text.ends_with("extra\n");
    });
    return text.value_or("");
  }
};

TEST_F(NamedEventTest, OpenNeedsTheCreator) {
  EXPECT_FALSE(NamedEvent::open(kDebugMode));
  auto created = NamedEvent::openOrCreate(kDebugMode);
  ASSERT_TRUE(created);
  EXPECT_TRUE(NamedEvent::open(kDebugMode));
  EXPECT_TRUE(NamedEvent::openOrCreate(kDebugMode)) << "a second creator shares it";
  created->remove();
  EXPECT_FALSE(NamedEvent::open(kDebugMode));
}

TEST_F(NamedEventTest, EachPulseConsumedOnceInProcess) {
  auto monitor = NamedEvent::openOrCreate(kDebugMode);
  ASSERT_TRUE(monitor);
  ASSERT_TRUE(monitor->pulse()) << "before the listener opened: not its pulse";
  auto listener = NamedEvent::open(kDebugMode);
  ASSERT_TRUE(listener);
  EXPECT_FALSE(listener->wait(0));
  ASSERT_TRUE(monitor->pulse());
  ASSERT_TRUE(monitor->pulse());
  NamedEvent moved = std::move(*listener);
  EXPECT_TRUE(moved.wait(0));
  EXPECT_TRUE(moved.wait(0));
  EXPECT_FALSE(moved.wait(20));
}

TEST_F(NamedEventTest, TwoListenerProcessesSeeEveryPulseOnce) {
  auto monitor = NamedEvent::openOrCreate(kDebugMode);
  ASSERT_TRUE(monitor);
  ASSERT_TRUE(startListener("server", 3));
  ASSERT_TRUE(startListener("watchdog", 3));
  // Back to back: a listener busy with one pulse still gets the next.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(monitor->pulse());
  EXPECT_EQ(report("server"), "pulse\npulse\npulse\nend\n");
  EXPECT_EQ(report("watchdog"), "pulse\npulse\npulse\nend\n");
}

TEST_F(NamedEventTest, RemovalWakesListenersWithFalse) {
  auto monitor = NamedEvent::openOrCreate(kDebugMode);
  ASSERT_TRUE(monitor);
  auto inProcess = NamedEvent::open(kDebugMode);
  ASSERT_TRUE(inProcess);
  ASSERT_TRUE(startListener("server", 1));
  monitor->remove();
  // The listener waits 10 s per pulse; it ends well before unless the removal woke it.
  auto text = waitForFile(
      file("server"), [](const std::string& text) { return text.ends_with("end\n"); }, 5000);
  EXPECT_EQ(text.value_or("still waiting"), "none\nend\n");
  EXPECT_FALSE(inProcess->wait(-1));
  EXPECT_FALSE(monitor->pulse());

  // A restarted creator: the old handle follows the new event and sees all its pulses.
  auto next = NamedEvent::openOrCreate(kDebugMode);
  ASSERT_TRUE(next);
  ASSERT_TRUE(next->pulse());
  ASSERT_TRUE(next->pulse());
  EXPECT_TRUE(inProcess->wait(0));
  EXPECT_TRUE(inProcess->wait(0));
  EXPECT_FALSE(inProcess->wait(0));
}

TEST_F(NamedEventTest, ListenerFollowsARestartedCreator) {
  auto monitor = NamedEvent::openOrCreate(kDebugMode);
  ASSERT_TRUE(monitor);
  ASSERT_TRUE(startListener("server", 2));
  monitor->remove();
  monitor = NamedEvent::openOrCreate(kDebugMode);
  ASSERT_TRUE(monitor);
  ASSERT_TRUE(monitor->pulse());
  ASSERT_TRUE(monitor->pulse());
  // One wait may have ended on the removal; every pulse of the new event still arrives once.
  std::string text = report("server");
  EXPECT_TRUE(text == "pulse\npulse\nend\n" || text == "none\npulse\nextra\n") << text;
}

TEST(NamedEventMissing, ListenerProcessReportsIt) {
  PrivateRuntime runtime;
  const std::string ready = runtime.root() / "ready";
  EXPECT_EQ(runAndWait(helperPath() + " listen " + kDebugMode + " 1 " + (runtime.root() / "out") +
                           " " + ready,
                       false),
            2);
  EXPECT_EQ(readTextFile(ready), "missing");
}

}  // namespace
}  // namespace qm::platform
