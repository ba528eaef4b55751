// Session changes from logind over the system bus: a private bus daemon and a stand-in logind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ipc_test_support.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

constexpr char kChannel[] = "KVLSessionChannel";

std::string fakeLogindPath() {
  return binDir() + "/../tests/fixtures/quillmark_fake_logind";
}

class IpcSessionBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/bin/dbus-daemon") || !fs::exists(fakeLogindPath())) {
      GTEST_SKIP() << "needs dbus-daemon and the stand-in logind";
    }
    std::ofstream(root.path() + "/bus.conf")
        << "<busconfig><type>system</type><listen>unix:path=" << socket
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
           "<allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
           "</policy></busconfig>\n";
    bus = std::make_unique<Program>(
        root, "/usr/bin/dbus-daemon",
        std::vector<std::string>{"--config-file=" + root.path() + "/bus.conf", "--nofork",
                                 "--nopidfile"},
        record);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(socket); })) << "no bus";
  }

  std::vector<std::string> busEnvironment() const {
    return {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + socket};
  }

  // Appends the command until the listener shows `expected` (the first ones may come before
  // its match rules are in place; each command is harmless twice).
  bool change(const std::string& command, const Record& flags, const std::string& expected) {
    for (int attempt = 0; attempt < 10; ++attempt) {
      std::ofstream(commands, std::ios::app) << command << "\n";
      if (waitUntil(
              [&] {
                auto lines = flags.lines();
                return !lines.empty() && lines.back() == expected;
              },
              500)) {
        return true;
      }
    }
    return false;
  }

  TempRoot root;
  Record record{root.path() + "/record.txt"};
  std::string socket = root.path() + "/bus";
  std::string commands = root.path() + "/commands.txt";
  std::unique_ptr<Program> bus;
};

TEST_F(IpcSessionBusTest, LockUnlockAndActivityReachTheReceiver) {
  Record logind(root.path() + "/logind.txt");
  Program fake(root, fakeLogindPath(), {commands, logind.path()}, logind, busEnvironment());
  ASSERT_TRUE(logind.waitFor("logind ready"));

  Record flags(root.path() + "/flags.txt");
  Program listener(root, peerPath(), {"listen", kChannel, "session-flag"}, flags, busEnvironment());
  ASSERT_TRUE(flags.waitFor("ready"));
  EXPECT_TRUE(logind.waitFor("asked GetSession"));
  EXPECT_FALSE(listener.logHas("Session change notification"));

  EXPECT_TRUE(change("Lock", flags, "inactive"));
  EXPECT_TRUE(listener.waitLog("Receive windows lock signal"));
  EXPECT_TRUE(change("Unlock", flags, "active"));
  EXPECT_TRUE(listener.waitLog("Receive windows unlock signal"));
  EXPECT_TRUE(change("Inactive", flags, "inactive"));
  EXPECT_TRUE(listener.waitLog("Receive disconnect signal"));
  EXPECT_TRUE(change("Active", flags, "active"));
  EXPECT_TRUE(listener.waitLog("Receive connect signal"));
}

TEST_F(IpcSessionBusTest, RemoteSessionReportsRemoteCodesAndTheServerLikeOneEnds) {
  Record logind(root.path() + "/logind.txt");
  Program fake(root, fakeLogindPath(), {commands, logind.path(), "remote"}, logind,
               busEnvironment());
  ASSERT_TRUE(logind.waitFor("logind ready"));
  Record flags(root.path() + "/flags.txt");
  Program listener(root, peerPath(), {"listen", kChannel, "final"}, flags, busEnvironment());
  ASSERT_TRUE(flags.waitFor("ready"));
  EXPECT_TRUE(change("Inactive", flags, "final"));
  EXPECT_EQ(listener.wait(10000), 0);
  EXPECT_TRUE(listener.logHas("Receive remote disconnect signal"));
}

TEST_F(IpcSessionBusTest, WithoutLogindTheReceiverSaysSoOnceAndServes) {
  Record flags(root.path() + "/flags.txt");
  Program listener(root, peerPath(), {"listen", kChannel, "actions"}, flags, busEnvironment());
  ASSERT_TRUE(flags.waitFor("ready"));
  EXPECT_TRUE(listener.waitLog("Session change notification: no login session"));
  EXPECT_EQ(listener.logCount("Session change notification"), 1u);
  Record sent(root.path() + "/sent.txt");
  EXPECT_EQ(runPeer(root, sent, {"window", kChannel, "QuillmarkInstruction_Start", "ok"}), 0);
  EXPECT_TRUE(flags.has("start"));
}

}  // namespace
}  // namespace qm::test
