// Two real processes talking over the instruction channel and the lock transport.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ipc_test_support.h"
#include "util/ipc_message.h"

namespace qm::test {
namespace {

constexpr char kChannel[] = "KVLTestChannel";

class IpcChannelTest : public ::testing::Test {
 protected:
  TempRoot root;
  Record record{root.path() + "/record.txt"};

  // A peer listening on the channel; waits until it listens.
  std::unique_ptr<Program> listen(const std::vector<std::string>& flags,
                                  const Record* own = nullptr,
                                  const std::string& program = peerPath()) {
    std::vector<std::string> args{"listen", kChannel};
    args.insert(args.end(), flags.begin(), flags.end());
    const Record& to = own != nullptr ? *own : record;
    auto peer = std::make_unique<Program>(root, program, args, to);
    EXPECT_TRUE(to.waitFor("ready")) << "peer did not start";
    return peer;
  }

  std::string send(const std::vector<std::string>& args) {
    Record result(root.path() + "/send-" + std::to_string(serial++) + ".txt");
    EXPECT_EQ(runPeer(root, result, args), 0);
    auto lines = result.lines();
    return lines.empty() ? "" : lines.back();
  }

  std::string window(const std::string& instruction, const std::string& form = "ok") {
    return send({"window", kChannel, instruction, form});
  }

  int serial = 0;
};

TEST_F(IpcChannelTest, SignedMessagesActAndOthersAreRefusedAndLogged) {
  auto peer = listen({"actions"});
  struct Case {
    std::string instruction;
    std::string form;
    std::string logged;  // what the receiver logs about it
  };
  const std::vector<Case> cases = {
      {ipc::kStart, "ok", "Execute start function"},
      {ipc::kStart, "old", "QuillmarkMessage verify fail: Replay attack"},
      {ipc::kStart, "future", "QuillmarkMessage verify fail: Replay attack"},
      {ipc::kStart, "lowerhash", "QuillmarkMessage verify state: Fail"},
      {ipc::kStart, "forged", "QuillmarkMessage verify state: Fail"},
      {ipc::kStart, "nohash", "QuillmarkMessage verify state: Fail"},
      {"QuillmarkInstruction_start", "ok",
       "Receive UNKNOW instruction: QuillmarkInstruction_start"},
      {ipc::kMonitorStart, "ok", "Receive UNKNOW instruction: QuillmarkInstruction_MonitorStart"},
      {ipc::kStop, "ok", "Execute stop function"},
      {ipc::kRestart, "ok", "Execute restart function"},
  };
  for (const Case& c : cases) {
    // The send returns once the receiver has handled the message.
    EXPECT_EQ(window(c.instruction, c.form), "delivered") << c.form;
    EXPECT_TRUE(peer->logHas(c.logged)) << c.instruction << " " << c.form << "\n"
                                        << peer->logText();
  }
  EXPECT_EQ(record.lines(), (std::vector<std::string>{"ready", "start", "stop", "restart"}));
  EXPECT_EQ(peer->logCount("[Warning] Verify QuillmarkMessage fail"), 5u);
  EXPECT_EQ(peer->logCount("Receive UNKNOW message: "), 2u);
}

TEST_F(IpcChannelTest, BothTransportsDeliverAndTheLockModeStartsTheWorker) {
  // The listener and a stand-in worker in one program folder.
  const std::string folder = root.path() + "/program";
  const std::string listener = installCopy(peerPath(), folder, "quillmark_ipc_peer");
  installCopy(peerPath(), folder, "KVLQuillmarkWorker");
  auto peer = listen({"actions", "final"}, nullptr, listener);

  EXPECT_EQ(send({"send", kChannel, ipc::kStart}), "sent");
  // The message and the lock both deliver: the action may run twice, as the system allows.
  EXPECT_TRUE(record.waitFor("start"));
  EXPECT_TRUE(peer->waitLog("Execute start function"));

  // MonitorStart only by lock: the listener starts "KVLQuillmarkWorker.exe -start".
  EXPECT_EQ(send({"hold", std::string(kChannel) + ipc::kMonitorStart, "300"}), "held");
  EXPECT_TRUE(record.waitFor("worker -start")) << peer->logText();
  EXPECT_TRUE(peer->logHas("IPC Message Lock Mode: Recivie MonitorStart message"));

  // Suicide by lock: the final action, then the process ends with 0.
  EXPECT_EQ(send({"hold", std::string(kChannel) + ipc::kSuicide, "300"}), "held");
  EXPECT_EQ(peer->wait(10000), 0);
  EXPECT_TRUE(record.has("final"));
  EXPECT_TRUE(peer->logHas("IPC Message Lock Mode: Exec final function"));
}

TEST_F(IpcChannelTest, SuicideByMessageWithoutFinalActionEndsTheProcess) {
  auto peer = listen({});
  EXPECT_EQ(window(ipc::kSuicide), "ended");  // it ended before acknowledging
  EXPECT_EQ(peer->wait(10000), 0);
  EXPECT_TRUE(peer->logHas("Execute exit"));
}

TEST_F(IpcChannelTest, SecondReceiverFailsButItsPollerWorks) {
  Record first(root.path() + "/first.txt");
  Record second(root.path() + "/second.txt");
  auto a = listen({"actions"}, &first);
  auto b = listen({"actions"}, &second);
  EXPECT_TRUE(b->waitLog("[Catastrophic failure] Start Windows API IPC message receiver: Fail"));
  EXPECT_FALSE(a->logHas("[Catastrophic failure]"));

  EXPECT_EQ(window(ipc::kStop), "delivered");
  EXPECT_TRUE(first.waitFor("stop"));
  EXPECT_EQ(send({"hold", std::string(kChannel) + ipc::kRestart, "300"}), "held");
  EXPECT_TRUE(first.waitFor("restart"));
  EXPECT_TRUE(second.waitFor("restart"));
  EXPECT_FALSE(second.has("stop"));
}

TEST_F(IpcChannelTest, StaleChannelOfAKilledReceiverIsReplaced) {
  auto dead = listen({"actions"});
  dead->kill();
  dead->wait();
  const std::string socket = root.path() + "/run/KVLQuillmark/channels/" + kChannel;
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(socket)));
  EXPECT_EQ(window(ipc::kStart), "nobody");

  Record next(root.path() + "/next.txt");
  auto peer = listen({"actions"}, &next);
  EXPECT_TRUE(peer->logHas("Start Windows API IPC message receiver: Success"));
  EXPECT_EQ(window(ipc::kStart), "delivered");
  EXPECT_TRUE(next.has("start"));
}

TEST_F(IpcChannelTest, SendToNobodyReturnsTrueAndLogs) {
  Program sender(root, peerPath(), {"send", "KVLNobody", ipc::kStart}, record);
  EXPECT_EQ(sender.wait(), 0);
  EXPECT_TRUE(record.has("sent"));
  EXPECT_TRUE(sender.logHas("[Error] sendIPCMsgWin can't find window KVLNobody"));
  EXPECT_TRUE(sender.logHas("sendIPCMsgWin: Lock Mode"));
  EXPECT_TRUE(sender.logHas("Send message final result: Success"));
}

TEST_F(IpcChannelTest, BadFramesAreDroppedAndTheReceiverGoesOn) {
  auto peer = listen({"actions"});
  struct Case {
    std::string kind;
    std::string logged;
  };
  const std::vector<Case> cases = {
      {"empty", "IPC frame dropped: empty"},
      {"huge", "IPC frame dropped: frame of 104857600 bytes"},
      {"unterminated", "IPC frame dropped: text without terminating zero"},
      {"cut", "IPC frame dropped: frame cut short: 10 of 100 bytes"},
      {"garbage", "IPC frame dropped: not a frame"},
      {"notjson", "[Warning] Verify QuillmarkMessage fail"},
      {"missing", "[Warning] Verify QuillmarkMessage fail"},
      {"long", "[Warning] Verify QuillmarkMessage fail"},
  };
  for (const Case& c : cases) {
    send({"bad", kChannel, c.kind});
    EXPECT_TRUE(peer->waitLog(c.logged, 5000)) << c.kind << "\n" << peer->logText();
  }
  EXPECT_EQ(window(ipc::kStart), "delivered");
  EXPECT_EQ(record.lines(), (std::vector<std::string>{"ready", "start"}));
  EXPECT_TRUE(peer->running());
}

TEST_F(IpcChannelTest, PeerOfAnotherUserIsRefused) {
  const std::vector<std::string> capabilities{"--inh-caps=+dac_override",
                                              "--ambient-caps=+dac_override"};
  if (!runsAsUserNobody(root, {peerPath(), "run", "/bin/true"}, capabilities)) {
    GTEST_SKIP() << "cannot act as another user here (needs root and setpriv)";
  }
  auto peer = listen({"actions"});
  // The other user gets past the folder permissions (as root could) and finds the channel through
  // a runtime folder of its own: only the peer check stands in its way.
  const std::string own = root.path() + "/foreign/KVLQuillmark";
  std::filesystem::create_directories(own + "/channels");
  std::filesystem::create_hard_link(root.path() + "/run/KVLQuillmark/channels/" + kChannel,
                                    own + "/channels/" + kChannel);
  Record chown(root.path() + "/chown.txt");
  ASSERT_EQ(runPeer(root, chown, {"run", "chown 65534 " + own + " " + own + "/channels"}), 0);
  ASSERT_TRUE(chown.has("exit 0"));
  Program foreign(root, "/usr/bin/setpriv",
                  asUserNobody({peerPath(), "window", kChannel, ipc::kStart, "ok"}, capabilities),
                  record, {"XDG_RUNTIME_DIR=" + root.path() + "/foreign"});
  EXPECT_EQ(foreign.wait(), 0);
  EXPECT_TRUE(peer->waitLog("IPC frame dropped: peer of user 65534"));
  EXPECT_TRUE(record.has("failed"));
  EXPECT_FALSE(record.has("start"));
  EXPECT_EQ(window(ipc::kStart), "delivered");
  EXPECT_TRUE(record.has("start"));
}

TEST_F(IpcChannelTest, SessionChangesSetTheFlagOrRunTheFinalAction) {
  Record flagged(root.path() + "/flagged.txt");
  auto monitorLike = listen({"session-flag", "final"}, &flagged);
  struct Case {
    int code;
    std::string logged;
    std::string flag;  // what the flag becomes, "" when it stays
  };
  const std::vector<Case> cases = {
      {7, "Receive windows lock signal", "inactive"},
      {8, "Receive windows unlock signal", "active"},
      {2, "Receive disconnect signal", "inactive"},
      {1, "Receive connect signal", "active"},
      {4, "Receive remote disconnect signal", "inactive"},
      {3, "Receive remote connect signal", "active"},
      {5, "Receive unknow system signal: 5", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(send({"session", kChannel, std::to_string(c.code)}), "delivered");
    EXPECT_TRUE(monitorLike->waitLog(c.logged)) << c.code;
    if (!c.flag.empty()) {
      EXPECT_TRUE(waitUntil([&] {
        auto lines = flagged.lines();
        return !lines.empty() && lines.back() == c.flag;
      })) << c.code;
    }
  }
  EXPECT_FALSE(flagged.has("final"));
  EXPECT_TRUE(monitorLike->running());
  monitorLike->kill();
  monitorLike->wait();

  // Without a flag, a locked session runs the final action (the server's case).
  auto serverLike = listen({"final"});
  EXPECT_EQ(send({"session", kChannel, "7"}), "delivered");
  EXPECT_EQ(serverLike->wait(10000), 0);
  EXPECT_TRUE(record.has("final"));
}

TEST_F(IpcChannelTest, StopHelperAsksThenKills) {
  if (auto why = foreignProcesses({"QuillmarkPolite", "QuillmarkDeaf"})) GTEST_SKIP() << *why;
  const std::string folder = root.path() + "/program";
  // One that ends on the Suicide instruction to the channel named like its image...
  const std::string polite = installCopy(peerPath(), folder, "QuillmarkPolite");
  Program first(root, polite, {"listen", "QuillmarkPolite.exe", "final"}, record);
  ASSERT_TRUE(record.waitFor("ready"));
  Program stopper(root, peerPath(), {"stop", "QuillmarkPolite.exe"}, record);
  EXPECT_EQ(stopper.wait(), 0);
  EXPECT_TRUE(record.has("gone"));
  EXPECT_TRUE(record.has("final"));
  EXPECT_TRUE(stopper.logHas("[ipc_peer] ipc_peer kill QuillmarkPolite.exe success"));
  EXPECT_TRUE(stopper.logHas("[ipc_peer] kill QuillmarkPolite.exe shutdown state: Success"));

  // ...and one that does not listen at all is killed.
  const std::string deaf = installCopy(peerPath(), folder, "QuillmarkDeaf");
  Record deafRecord(root.path() + "/deaf.txt");
  Program second(root, deaf, {"hold", "anything", "-1"}, deafRecord);
  ASSERT_TRUE(deafRecord.waitFor("held"));
  Record stopped(root.path() + "/stopped.txt");
  EXPECT_EQ(runPeer(root, stopped, {"stop", "QuillmarkDeaf.exe"}), 0);
  EXPECT_TRUE(stopped.has("gone"));
  EXPECT_EQ(second.wait(5000), 128 + 9);
}

}  // namespace
}  // namespace qm::test
