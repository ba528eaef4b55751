// Sessions through the real server over HTTPS: opening, adapter calls, browser mode, eviction,
// stale copies, channel values, concurrent pages on different listeners, and the final release.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../fixtures/scripted_component/scripted_component.h"
#include "server_harness.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

const std::string kAdapterFile = "KVLZDGPKICryptATLAdapter.so";

std::string installedAdapter() {
  return binDir() + "/KVL/" + kAdapterFile;
}

std::size_t countRecord(const std::vector<std::string>& record, std::string_view prefix) {
  std::size_t count = 0;
  for (const std::string& line : record) count += line.starts_with(prefix) ? 1 : 0;
  return count;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.waitServing()) << server.logText(); }

  // Opens a session and returns its id.
  std::string open(HttpsClient& page, int port = kPorts[0]) {
    HttpResponse response = page.open(port);
    EXPECT_EQ(response.result(), "0") << response.body;
    return response.value("SessionID");
  }

  HttpResponse call(HttpsClient& page, const std::string& id, const std::string& function,
                    std::initializer_list<std::pair<std::string, std::string>> more = {},
                    int port = kPorts[0], std::string origin = kPageOrigin) {
    std::string json = jsonObject({{"SessionId", id}, {"FunctionName", function}});
    for (const auto& [key, value] : more) {
      json.back() = ',';
      json += "\"" + jsonEscape(key) + "\":\"" + jsonEscape(value) + "\"}";
    }
    return page.post(json, port, {"Origin: " + origin});
  }

  TempRoot root;
  ServerProcess server{root};
  HttpsClient page;
};

TEST_F(SessionTest, SessionOpensCallsTheAdapterAndCloses) {
  HttpResponse opened = page.open();
  auto answer = opened.answer();
  ASSERT_TRUE(answer) << opened.body;
  EXPECT_EQ(answer->at("result"), "0");
  EXPECT_EQ(answer->at("ServerVersion"), kServerVersion);
  EXPECT_EQ(answer->at("LibVersion"), kAdapterVersion);
  std::string id = answer->at("SessionID");
  const std::string copy = root.sessionFolder(0) + "/" + kAdapterFile;
  EXPECT_TRUE(fs::exists(copy));

  EXPECT_EQ(call(page, id, "Quillmark_GetVersion").result(), kAdapterVersion);
  HttpResponse subject =
      call(page, id, "CAPICertGetSubject", {{"strCert", "MIIB"}, {"iFlags", "0"}});
  EXPECT_EQ(subject.result(), "CAPICertGetSubject");
  EXPECT_FALSE(subject.answer()->contains("SessionID"));

  EXPECT_EQ(call(page, id, "QuillmarkClose").body, "{}");
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_TRUE(fs::exists(installedAdapter()));

  // Paths outside the table are refused before anything is loaded.
  HttpResponse outside = page.post(jsonObject(
      {{"FunctionName", "QuillmarkEcho"}, {"LibDir", "KVL"}, {"ComName", "OtherAdapter"}}));
  EXPECT_EQ(outside.result(), "61009");
  EXPECT_EQ(outside.answer()->size(), 1u);
}

TEST_F(SessionTest, BrowserModeKeepsTheSessionUntilForced) {
  HttpResponse opened = page.post(jsonObject({{"FunctionName", "QuillmarkEcho"},
                                              {"PathID", kPathId},
                                              {"minServerVersion", kServerVersion},
                                              {"QuillmarkMode", "true"}}));
  ASSERT_EQ(opened.result(), "0");
  std::string id = opened.value("SessionID");
  EXPECT_EQ(call(page, id, "QuillmarkClose").body, "{}");
  EXPECT_TRUE(server.logHas("[Normal] [Browser mode] Skip release process"));
  HttpResponse echo = call(page, id, "Echo");
  EXPECT_EQ(echo.result(), "0");
  EXPECT_EQ(echo.value("LibVersion"), kAdapterVersion);
  EXPECT_EQ(echo.value("SessionID"), "<none>");

  EXPECT_EQ(call(page, id, "QuillmarkForceRelease").body, "{}");
  EXPECT_TRUE(server.logHas("[Normal] Release Session id: " + id));
  EXPECT_FALSE(fs::exists(root.sessionFolder(0) + "/" + kAdapterFile));
}

TEST_F(SessionTest, ThirtyThirdSessionEvictsTheOldest) {
  std::vector<std::string> ids;
  for (int i = 0; i < 33; ++i) ids.push_back(open(page, kPorts[i % 3]));
  EXPECT_TRUE(server.logHas("[Warning] Quillmark slot is full, release the oldest one"));
  EXPECT_TRUE(server.logHas("[Normal] Release Session id: " + ids[0]));
  EXPECT_EQ(server.logCount("[Normal] Release Session id: "), 1u);
  EXPECT_EQ(server.logCount("[Normal] Session index: 0"), 2u);
  // The survivors still answer on their own sessions.
  for (int i : {1, 16, 32}) {
    EXPECT_EQ(call(page, ids[i], "Quillmark_GetVersion").result(), kAdapterVersion) << i;
  }
  EXPECT_EQ(server.logCount("[Normal] Release Session id: "), 1u);
}

TEST_F(SessionTest, StaleCopyLeavesTheInstalledFileRunning) {
  const std::string stale = root.sessionFolder(0) + "/" + kAdapterFile;
  std::ofstream(stale) << "left by a crashed run";
  std::string id = open(page);
  EXPECT_TRUE(server.logHas("[Warning] Copy adapter state: Fail"));
  EXPECT_TRUE(server.logHas("[Normal] Origin adapter: Active"));
  EXPECT_EQ(call(page, id, "Quillmark_GetVersion").result(), kAdapterVersion);
  EXPECT_EQ(call(page, id, "QuillmarkClose").body, "{}");
  EXPECT_TRUE(fs::exists(installedAdapter()));
  EXPECT_TRUE(fs::exists(stale));
}

TEST_F(SessionTest, ChannelValuesReachOnlyAllowedOrigins) {
  std::string writer = open(page);
  EXPECT_EQ(call(page, writer, "setQuillmarkValue",
                 {{"channel", "Basket"},
                  {"domain_list", ".example"},
                  {"timeout", "5"},
                  {"value", "three apples"}})
                .body,
            R"({"result": "MA=="})");

  HttpsClient otherPage;
  std::string reader = open(otherPage, kPorts[1]);
  struct Case {
    std::string origin;
    std::string expected;
  } cases[] = {
      {"https://shop.example:8443", "three apples"},
      {"https://shop.example", "three apples"},
      {"https://shop.test", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        call(otherPage, reader, "getQuillmarkValue", {{"channel", "BASKET"}}, kPorts[1], c.origin)
            .result(),
        c.expected)
        << c.origin;
  }
  EXPECT_EQ(call(otherPage, reader, "getQuillmarkValue", {}, kPorts[1]).result(), "61005");
}

TEST_F(SessionTest, ConcurrentPagesOnDifferentListenersGetTheirOwnAnswers) {
  constexpr int kPages = 6;
  constexpr int kRounds = 25;
  std::atomic<int> mismatches{0};
  std::atomic<int> answered{0};
  std::vector<std::thread> pages;
  for (int p = 0; p < kPages; ++p) {
    pages.emplace_back([&, p] {
      HttpsClient client;
      HttpRequest request;
      request.port = kPorts[p % 3];
      request.ipv6 = p >= 3;
      request.headers = {std::string("Origin: ") + kPageOrigin};
      request.body = formBody(jsonObject({{"FunctionName", "QuillmarkEcho"},
                                          {"PathID", kPathId},
                                          {"minServerVersion", kServerVersion}}));
      std::string id = client.send(request).value("SessionID");
      // A filler makes each body arrive in several pieces, interleaved across listeners.
      std::string filler(20'000 + 1'000 * p, static_cast<char>('a' + p));
      for (int round = 0; round < kRounds; ++round) {
        std::string channel = "page" + std::to_string(p);
        std::string value = channel + "-round" + std::to_string(round);
        request.body = formBody(jsonObject({{"SessionId", id},
                                            {"FunctionName", "setQuillmarkValue"},
                                            {"channel", channel},
                                            {"domain_list", ".example"},
                                            {"value", value},
                                            {"filler", filler}}));
        bool stored = client.send(request).result() == "0";
        request.body = formBody(jsonObject({{"SessionId", id},
                                            {"FunctionName", "getQuillmarkValue"},
                                            {"channel", channel},
                                            {"filler", filler}}));
        HttpResponse read = client.send(request);
        request.body = formBody(jsonObject({{"SessionId", id},
                                            {"FunctionName", "CAPICertGetSubject"},
                                            {"strCert", value},
                                            {"iFlags", "0"}}));
        HttpResponse adapter = client.send(request);
        if (!stored || read.result() != value || adapter.result() != "CAPICertGetSubject") {
          ++mismatches;
        } else {
          ++answered;
        }
      }
    });
  }
  for (std::thread& thread : pages) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(answered.load(), kPages * kRounds);
  std::vector<std::string> record = readRecord(root.recordFile());
  EXPECT_EQ(countRecord(record, "call "), static_cast<std::size_t>(kPages * kRounds));

  // One request at a time: no completion step starts before the one in progress has logged its
  // closing rule, whichever listener thread runs it.
  std::string inside;
  int interleaved = 0;
  for (const std::string& line : server.logLines()) {
    std::size_t tag = line.find("] [");
    std::string thread = tag == std::string::npos ? "" : line.substr(tag + 9, 5);
    if (line.find("[Normal] Release Mode") != std::string::npos) {
      interleaved += inside.empty() ? 0 : 1;
      inside = thread;
    } else if (thread == inside && line.ends_with("=======================")) {
      inside.clear();
    }
  }
  EXPECT_EQ(interleaved, 0);
}

TEST_F(SessionTest, StopSignalReleasesEverySessionAndDeletesEveryCopy) {
  std::vector<std::string> ids;
  for (int port : kPorts) ids.push_back(open(page, port));
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_TRUE(fs::exists(root.sessionFolder(slot) + "/" + kAdapterFile));
  }
  EXPECT_EQ(server.stop(), 0);
  EXPECT_TRUE(server.logHas("[Normal] [QuillmarkFinal] Start release all adapters"));
  EXPECT_EQ(server.logCount("[Normal] Release session index: "), 3u);
  for (const std::string& id : ids) {
    EXPECT_TRUE(server.logHas("[Normal] Release Session id: " + id));
  }
  for (int slot = 0; slot < 32; ++slot) {
    for (const auto& entry : fs::directory_iterator(root.sessionFolder(slot))) {
      ADD_FAILURE() << "left behind: " << entry.path();
    }
  }
  std::vector<std::string> record = readRecord(root.recordFile());
  EXPECT_EQ(countRecord(record, "create "), 3u);
  EXPECT_EQ(countRecord(record, "release "), 3u);
}

}  // namespace
}  // namespace qm::test
