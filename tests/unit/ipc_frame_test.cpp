// The channel transport in one process: a receiver thread and senders.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/channel.h"
#include "platform/process.h"

namespace qm::platform {
namespace {

std::string uniqueName() {
  static std::atomic<int> serial{0};
  return "qm-frame-test-" + std::to_string(currentProcessId()) + "-" + std::to_string(serial++);
}

// A receiver serving on its own thread, recording what it saw.
class Served {
 public:
  explicit Served(std::string name) : name_(std::move(name)) {
    ChannelReceiver::OpenStatus status;
    receiver_ = ChannelReceiver::open(name_, &status);
    EXPECT_EQ(status, ChannelReceiver::OpenStatus::kOpened);
    if (!receiver_) return;
    ChannelReceiver::Handlers handlers;
    handlers.message = [this](std::string_view bytes) { add("message:" + std::string(bytes)); };
    handlers.sessionChange = [this](int code) { add("session:" + std::to_string(code)); };
    handlers.refused = [this](std::string_view what) { add("refused:" + std::string(what)); };
    thread_ = std::thread([this, handlers] { receiver_->run(handlers); });
  }
  ~Served() {
    if (receiver_) receiver_->stop();
    if (thread_.joinable()) thread_.join();
  }
  std::vector<std::string> seen() {
    std::lock_guard hold(mutex_);
    return seen_;
  }
  void close() {
    receiver_->stop();
    thread_.join();
    receiver_.reset();
  }

 private:
  void add(std::string line) {
    std::lock_guard hold(mutex_);
    seen_.push_back(std::move(line));
  }
  std::string name_;
  std::unique_ptr<ChannelReceiver> receiver_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> seen_;
};

TEST(ChannelFrames, DeliveredBytesAreHandledBeforeTheSendReturns) {
  const std::string name = uniqueName();
  EXPECT_FALSE(channelExists(name));
  EXPECT_EQ(sendChannelMessage(name, "x"), ChannelSend::kNoReceiver);
  Served served(name);
  EXPECT_TRUE(channelExists(name));

  const std::string binary("a\0b\xff", 4);
  EXPECT_EQ(sendChannelMessage(name, binary), ChannelSend::kDelivered);
  EXPECT_EQ(sendSessionChange(name, kSessionLock), ChannelSend::kDelivered);
  EXPECT_EQ(served.seen(), (std::vector<std::string>{"message:" + binary, "session:7"}));

  // Too big to send: refused before anything is written.
  EXPECT_EQ(sendChannelMessage(name, std::string(kMaxChannelFrame + 1, 'x')), ChannelSend::kFailed);
  EXPECT_EQ(served.seen().size(), 2u);
  EXPECT_EQ(sendChannelMessage(name, std::string(kMaxChannelFrame, 'x')), ChannelSend::kDelivered);
}

TEST(ChannelFrames, OneReceiverPerChannelUntilItCloses) {
  const std::string name = uniqueName();
  Served first(name);
  ChannelReceiver::OpenStatus status;
  EXPECT_FALSE(ChannelReceiver::open(name, &status));
  EXPECT_EQ(status, ChannelReceiver::OpenStatus::kInUse);
  first.close();
  EXPECT_FALSE(channelExists(name));
  auto again = ChannelReceiver::open(name, &status);
  EXPECT_TRUE(again);
  EXPECT_EQ(status, ChannelReceiver::OpenStatus::kOpened);
}

TEST(ChannelFrames, MalformedFramesAreRefusedAndTheReceiverGoesOn) {
  const std::string name = uniqueName();
  Served served(name);
  auto header = [](char kind, std::uint32_t length) {
    std::string text = "QM";
    text += kind;
    text += '\0';
    text.append(reinterpret_cast<const char*>(&length), sizeof length);
    return text;
  };
  struct Case {
    std::string bytes;
    std::string refused;
  };
  const std::vector<Case> cases = {
      {"QM", "refused:frame header of 2 bytes"},
      {"not a frame at all", "refused:not a frame"},
      {header('X', 1) + "x", "refused:not a frame"},
      {header('M', 100u << 20), "refused:frame of 104857600 bytes (limit 1048576)"},
      {header('M', 5) + "abc", "refused:frame cut short: 3 of 5 bytes"},
      {header('S', 2) + "ab", "refused:session change frame of 2 bytes"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sendChannelRaw(name, c.bytes), ChannelSend::kFailed) << c.refused;
    ASSERT_FALSE(served.seen().empty());
    EXPECT_EQ(served.seen().back(), c.refused);
  }
  // A look for the channel (connect, nothing sent) is no frame at all.
  std::size_t before = served.seen().size();
  EXPECT_TRUE(channelExists(name));
  EXPECT_EQ(sendChannelMessage(name, "still here"), ChannelSend::kDelivered);
  EXPECT_EQ(served.seen().size(), before + 1);
  EXPECT_EQ(served.seen().back(), "message:still here");
}

}  // namespace
}  // namespace qm::platform
