// The server program's life: start-up and its log, the listeners, a busy port, a second server,
// the stop signal and the run-time logging switch.
#include <gtest/gtest.h>

#include <microhttpd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/socket_address.h"
#include "server_harness.h"
#include "util/debug_mode.h"

namespace qm::test {
namespace {

std::string closeRequest() {
  return jsonObject({{"FunctionName", "QuillmarkClose"}});
}

bool answers(HttpsClient& client, int port, bool ipv6) {
  HttpRequest request;
  request.port = port;
  request.ipv6 = ipv6;
  request.body = formBody(closeRequest());
  request.headers = {std::string("Origin: ") + kPageOrigin};
  return client.send(request).value("SessionID") != "<none>";
}

// Index of the first line from `from` on that contains the text; lines.size() when none does.
std::size_t findLine(const std::vector<std::string>& lines, std::string_view text,
                     std::size_t from) {
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (lines[i].find(text) != std::string::npos) return i;
  }
  return lines.size();
}

TEST(ServerLifecycleTest, StartsSixListenersWithItsStartLog) {
  struct Case {
    std::vector<std::string> arguments;
    bool crashNotice;
  } cases[] = {{{"0"}, false}, {{}, false}, {{"1"}, true}, {{"12"}, true}};
  for (const Case& c : cases) {
    std::string label = c.arguments.empty() ? "<none>" : c.arguments[0];
    TempRoot root;
    ServerProcess server(root, c.arguments);
    ASSERT_TRUE(server.waitServing()) << server.logText();
    HttpsClient client;
    for (int port : kPorts) {
      EXPECT_TRUE(answers(client, port, false)) << port;
      EXPECT_TRUE(answers(client, port, true)) << port;
    }
    EXPECT_EQ(server.stop(), 0);

    std::vector<std::string> lines = server.logLines();
    std::vector<std::string> expected = {
        "*************************************Quillmark*********************************",
        "[Normal] Execute setting: KVL",
        "[Normal] Compile time: ",
        "[Normal] Git time: ",
        "[Normal] Environment: Linux 64 bit",
        "[Normal] CopyPath: " + root.sharedData(),
        "[Normal] Execute path: ",
        "[Normal] Support port: 56454 56554 56654",
        "[Normal] Quillmark Version: 1.0.23.0510",
    };
    for (int port : kPorts) {
      std::string number = std::to_string(port);
      for (std::string address : {"127.0.0.1:", "[::1]:"}) {
        expected.push_back("[Normal] Detect port " + number + " state: Free");
        expected.push_back("[Normal] KVLQuillmark at " + address + number +
                           " launch state: Success");
      }
    }
    expected.insert(
        expected.end(),
        {"[Normal] HTTPS Mode", "[Normal] KVLQuillmark initialization: Success",
         "[Error] Quillmark debugStatusUpdateEvent init failed. 2",
         "===============================================================================",
         "[Normal] [QuillmarkFinal] Start release all adapters",
         "[Normal] [QuillmarkFinal] Release adapters success",
         "[Normal] [QuillmarkFinal] Ready to suicide"});
    std::size_t at = 0;
    for (const std::string& text : expected) {
      at = findLine(lines, text, at);
      ASSERT_LT(at, lines.size()) << label << ": missing or out of order: " << text << "\n"
                                  << server.logText();
    }
    EXPECT_EQ(server.logCount("debugStatusUpdateEvent init failed"), 1u);
    EXPECT_EQ(server.logHas("[Warning] Detected Quillmark crash"), c.crashNotice) << label;
  }
}

TEST(ServerLifecycleTest, BusyPortLeavesFiveListeners) {
  platform::SocketAddress address = platform::SocketAddress::loopbackIpv4(kPorts[0]);
  MHD_Daemon* squatter = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD, kPorts[0], nullptr, nullptr,
      [](void*, MHD_Connection*, const char*, const char*, const char*, const char*, size_t*,
         void**) { return MHD_NO; },
      nullptr, MHD_OPTION_SOCK_ADDR, static_cast<const struct sockaddr*>(address.data()),
      MHD_OPTION_END);
  ASSERT_NE(squatter, nullptr);
  TempRoot root;
  ServerProcess server(root);
  ASSERT_TRUE(server.waitServing()) << server.logText();
  EXPECT_EQ(server.logCount("[Normal] Detect port 56454 state: In use, try next port"), 1u);
  EXPECT_EQ(server.logCount("launch state: Success"), 5u);
  EXPECT_FALSE(server.logHas("127.0.0.1:56454 launch state"));
  HttpsClient client;
  EXPECT_TRUE(answers(client, kPorts[0], true));
  EXPECT_TRUE(answers(client, kPorts[1], false));
  EXPECT_EQ(server.stop(), 0);
  MHD_stop_daemon(squatter);
}

TEST(ServerLifecycleTest, SecondServerFindsEveryPortBusyAndEndsWithZero) {
  TempRoot root;
  ServerProcess first(root);
  ASSERT_TRUE(first.waitServing()) << first.logText();
  HttpsClient client;
  std::string id = client.open().value("SessionID");
  const std::string copy = root.sessionFolder(0) + "/KVLZDGPKICryptATLAdapter.so";
  ASSERT_TRUE(std::filesystem::exists(copy)) << first.logText();

  ServerProcess second(root, {"1"});
  EXPECT_EQ(second.waitExit(30000), 0);
  EXPECT_EQ(second.logCount("state: In use, try next port"), 6u);
  EXPECT_TRUE(second.logHas("[Warning] KVLQuillmark initialization: Fail"));
  EXPECT_FALSE(second.logHas("launch state"));
  // The first server's session area, and the copy its session runs from, are left alone.
  EXPECT_TRUE(second.logHas("[Warning] Session area kept, in use by another server: "));
  EXPECT_TRUE(std::filesystem::exists(copy));
  HttpResponse answer = client.post(
      jsonObject({{"SessionId", id}, {"FunctionName", "Quillmark_GetVersion"}}), kPorts[2]);
  EXPECT_EQ(answer.result(), kAdapterVersion) << answer.body;
  EXPECT_EQ(answer.value("SessionID"), "<none>");  // the same session, not a new one
  EXPECT_TRUE(answers(client, kPorts[2], false));
  EXPECT_EQ(first.stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(copy));
}

TEST(ServerLifecycleTest, StopSignalRunsTheFinalReleaseAndEndsWithZero) {
  TempRoot root;
  ServerProcess server(root);
  ASSERT_TRUE(server.waitServing()) << server.logText();
  // Adapter files left directly in the shared data folder go; other files stay.
  std::filesystem::create_directories(root.sharedData());
  std::ofstream(root.sharedData() + "/Leftover.so") << "x";
  std::ofstream(root.sharedData() + "/.Hidden.so") << "x";
  std::ofstream(root.sharedData() + "/notes.txt") << "x";
  EXPECT_EQ(server.stop(), 0);
  EXPECT_TRUE(server.logHas("[Normal] [QuillmarkFinal] Ready to suicide"));
  EXPECT_FALSE(std::filesystem::exists(root.sharedData() + "/Leftover.so"));
  EXPECT_FALSE(std::filesystem::exists(root.sharedData() + "/.Hidden.so"));
  EXPECT_TRUE(std::filesystem::exists(root.sharedData() + "/notes.txt"));
}

TEST(ServerLifecycleTest, DebugModePulseTogglesLogging) {
  TempRoot root;
  // The monitor's side of the switch, in the same runtime folder as the server.
  ASSERT_EQ(setenv("XDG_RUNTIME_DIR", (root.path() + "/run").c_str(), 1), 0);
  std::optional<platform::NamedEvent> event = debug_mode::openOrCreate();
  ASSERT_TRUE(event);
  ServerProcess server(root);
  ASSERT_TRUE(server.waitServing()) << server.logText();
  EXPECT_FALSE(server.logHas("debugStatusUpdateEvent init failed"));
  HttpsClient client;

  ASSERT_TRUE(debug_mode::signal(*event));
  ASSERT_TRUE(server.waitLog("[Normal] Log state: Disable"));
  std::size_t before = server.logCount("[Normal] Release Mode");
  EXPECT_TRUE(answers(client, kPorts[0], false));
  EXPECT_EQ(server.logCount("[Normal] Release Mode"), before);

  sleepMs(300);  // the listener rests after each pulse
  ASSERT_TRUE(debug_mode::signal(*event));
  ASSERT_TRUE(server.waitLog("[Normal] Log state: Enable", 2));
  EXPECT_TRUE(answers(client, kPorts[0], false));
  EXPECT_TRUE(server.waitLog("[Normal] Release Mode", before + 1));
  EXPECT_EQ(server.stop(), 0);
  event->remove();
}

}  // namespace
}  // namespace qm::test
