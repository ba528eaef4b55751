#include "util/ipc_message.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/channel.h"
#include "util/tool.h"

namespace qm::ipc {
namespace {

constexpr char kTime[] = "14bc7411";  // a time value text of today's length
constexpr std::uint64_t kNow = 0x14bc7411;

TEST(IpcMessage, TextHasTheExactFormatAndReadsBack) {
  MessageRecord sent = makeMessage("QuillmarkWorker", "KVLQuillmark.exe", kStart, kTime);
  ASSERT_TRUE(sent.hash);
  EXPECT_EQ(sent.hash->size(), 128u);
  EXPECT_EQ(sent.hash->find_first_not_of("0123456789ABCDEF"), std::string::npos);
  std::optional<std::string> text = formatMessage(sent);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            "{\"From\":\"QuillmarkWorker\", \"To\":\"KVLQuillmark.exe\", "
            "\"Instruction\":\"QuillmarkInstruction_Start\", \"Message\":\"\", "
            "\"TimeValue\":\"14bc7411\", \"HashValue\":\"" +
                *sent.hash + "\"}");

  // The empty Message reads as missing and adds nothing to the digest either way.
  MessageRecord received = readMessage(text->c_str());
  EXPECT_EQ(received.from, "QuillmarkWorker");
  EXPECT_EQ(received.instruction, kStart);
  EXPECT_FALSE(received.message);
  EXPECT_EQ(digest(received), *sent.hash);
  EXPECT_TRUE(verifyMessage(received, kNow));
}

TEST(IpcMessage, TimePieces) {
  struct Case {
    std::string text;
    std::array<std::string, 4> pieces;
  };
  const std::vector<Case> cases = {
      {"14bc7411", {"14b", "c741", "1", ""}},
      {"0123456789abcdef", {"012", "3456", "789a", "bcdef"}},
      {"1", {"1", "", "", ""}},
      {"", {"", "", "", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(timePieces(c.text), c.pieces) << c.text;
  // A received TimeValue counts with its first 16 characters only.
  MessageRecord record = readMessage(R"({"TimeValue":"0123456789abcdefXYZ"})");
  EXPECT_EQ(record.time[3], "bcdef");
}

TEST(IpcMessage, VerificationTable) {
  const MessageRecord good = makeMessage("a", "b", kStop, kTime);
  auto changed = [&](auto change) {
    MessageRecord record = good;
    change(record);
    return record;
  };
  auto at = [](std::uint64_t time) {
    return makeMessage("a", "b", kStop, tool::timeValueText(time));
  };
  struct Case {
    const char* name;
    MessageRecord record;
    std::uint64_t now;
    bool passes;
  };
  const std::vector<Case> cases = {
      {"same second", good, kNow, true},
      {"two seconds old", good, kNow + 2, true},
      {"three seconds old", good, kNow + 3, false},
      {"from the future", good, kNow - 1, false},
      {"lower-case digest", changed([](MessageRecord& r) { r.hash = tool::toLower(*r.hash); }),
       kNow, false},
      {"no digest", changed([](MessageRecord& r) { r.hash.reset(); }), kNow, false},
      {"other instruction", changed([](MessageRecord& r) { r.instruction = kSuicide; }), kNow,
       false},
      {"other sender", changed([](MessageRecord& r) { r.from = "b"; }), kNow, false},
      {"no time", changed([](MessageRecord& r) { r.time = {}; }), kNow, false},
      // The time value has no month: the turn of a month drops it below the sent value.
      {"across the end of a month",
       at(tool::timeValue(platform::LocalTime{2024, 1, 31, 23, 59, 59, 0, 124})),
       tool::timeValue(platform::LocalTime{2024, 2, 1, 0, 0, 0, 0, 124}), false},
  };
  for (const Case& c : cases) EXPECT_EQ(verifyMessage(c.record, c.now), c.passes) << c.name;
}

TEST(IpcMessage, ReaderTakesKeysWithoutCaseAndEmptyValuesAsMissing) {
  MessageRecord record =
      readMessage(R"({"from":"x", "TO":"y", "Instruction":"", "hashvalue":"AB", "Other":"z"})");
  EXPECT_EQ(record.from, "x");
  EXPECT_EQ(record.to, "y");
  EXPECT_FALSE(record.instruction);
  EXPECT_EQ(record.hash, "AB");
  EXPECT_FALSE(readMessage("not json").hash);
  EXPECT_FALSE(readMessage(nullptr).from);
}

std::atomic<int> finals{0};
void countFinal() {
  ++finals;
}

TEST(IpcMessage, SessionLossSetsTheFlagOrRunsTheFinalAction) {
  ReceiverSettings& settings = receiverSettings();
  std::atomic<bool> inactive{false};
  settings.finalAction.store(&countFinal);
  settings.sessionInactive.store(&inactive);
  for (int code : {platform::kSessionLock, platform::kSessionConsoleDisconnect,
                   platform::kSessionRemoteDisconnect}) {
    handleSessionChange(code);
    EXPECT_TRUE(inactive.exchange(false)) << code;
  }
  inactive.store(true);
  handleSessionChange(platform::kSessionUnlock);
  EXPECT_FALSE(inactive.load());
  handleSessionChange(6);  // logged as unknown only
  EXPECT_EQ(finals.load(), 0);

  settings.sessionInactive.store(nullptr);
  handleSessionChange(platform::kSessionLock);
  handleSessionChange(platform::kSessionConsoleConnect);
  EXPECT_EQ(finals.load(), 1);
  settings.finalAction.store(nullptr);
}

}  // namespace
}  // namespace qm::ipc
