// The server's instruction channel: Suicide by each transport, and the user's session changes.
#include <gtest/gtest.h>

#include <string>

#include "ipc_test_support.h"
#include "util/ipc_message.h"

namespace qm::test {
namespace {

class ServerIpcTest : public ::testing::Test {
 protected:
  TempRoot root;
  Record record{root.path() + "/record.txt"};

  std::string peer(const std::vector<std::string>& args) {
    EXPECT_EQ(runPeer(root, record, args), 0);
    auto lines = record.lines();
    return lines.empty() ? "" : lines.back();
  }
};

TEST_F(ServerIpcTest, SuicideByMessageEndsTheMainLoop) {
  ServerProcess server(root);
  ASSERT_TRUE(server.waitServing()) << server.logText();
  EXPECT_TRUE(server.logHas("Start Windows API IPC message receiver: Success"));
  EXPECT_EQ(peer({"window", ipc::kServerChannel, ipc::kSuicide, "ok"}), "delivered");
  EXPECT_EQ(server.waitExit(30000), 0);
  EXPECT_TRUE(server.logHas("Execute final function"));
  EXPECT_TRUE(server.logHas("[QuillmarkFinal] Ready to suicide"));
  EXPECT_FALSE(server.logHas("IPC Message Lock Mode"));
}

TEST_F(ServerIpcTest, SuicideByLockEndsTheProcess) {
  ServerProcess server(root);
  ASSERT_TRUE(server.waitServing()) << server.logText();
  EXPECT_EQ(peer({"hold", std::string(ipc::kServerChannel) + ipc::kSuicide, "500"}), "held");
  EXPECT_EQ(server.waitExit(30000), 0);
  EXPECT_TRUE(server.logHas("IPC Message Lock Mode: Recivie Suicide message"));
  EXPECT_TRUE(server.logHas("IPC Message Lock Mode: Exec final function"));
  EXPECT_TRUE(server.logHas("[QuillmarkFinal] Ready to suicide"));
}

TEST_F(ServerIpcTest, LockedSessionRunsTheFinalAction) {
  ServerProcess server(root);
  ASSERT_TRUE(server.waitServing()) << server.logText();
  // Unlock and the other instructions are only logged.
  EXPECT_EQ(peer({"session", ipc::kServerChannel, "8"}), "delivered");
  EXPECT_EQ(peer({"window", ipc::kServerChannel, ipc::kStart, "ok"}), "delivered");
  EXPECT_TRUE(server.waitLog("Receive windows unlock signal"));
  EXPECT_TRUE(server.logHas("No start function"));
  EXPECT_TRUE(server.running());

  EXPECT_EQ(peer({"session", ipc::kServerChannel, "7"}), "delivered");
  EXPECT_EQ(server.waitExit(30000), 0);
  EXPECT_TRUE(server.logHas("Receive windows lock signal"));
  EXPECT_TRUE(server.logHas("[QuillmarkFinal] Ready to suicide"));
}

}  // namespace
}  // namespace qm::test
