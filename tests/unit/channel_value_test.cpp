#include "session/channel_value.h"

#include <gtest/gtest.h>

#include "util/url_check.h"

namespace qm::session {
namespace {

constexpr char kOrigin[] = "https://app.example.com";

class ChannelValueTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(store_.initialise()); }
  void advanceMinutes(int minutes) { now_ += 60LL * minutes; }

  std::int64_t now_ = 1'700'000'000;
  ChannelValueStore store_{[this] { return now_; }};
};

TEST_F(ChannelValueTest, StoreAndReadByOrigin) {
  ASSERT_EQ(store_.store("Chan", ".example.com; intranet.local", 0, "v1 \"quoted\" ü"), 0);
  EXPECT_EQ(store_.read("chan", kOrigin), "v1 \"quoted\" ü");
  EXPECT_EQ(store_.read("CHAN", "http://intranet.local:8080"), "v1 \"quoted\" ü");
  EXPECT_EQ(store_.read("Chan", "https://evil.test"), "");
  EXPECT_EQ(store_.read("Chan", "https://app.example.com/path"), "");
  EXPECT_EQ(store_.read("Chan", "https://app.example.com:444/"), "");
  EXPECT_EQ(store_.read("other", kOrigin), "");
  EXPECT_EQ(store_.read(nullptr, kOrigin), "");
  EXPECT_EQ(store_.read("Chan", nullptr), "");
  // The check list is emptied after every read.
  EXPECT_TRUE(url::checkList().empty());

  // Another letter case overwrites the same entry, domain list included.
  ASSERT_EQ(store_.store("CHAN", "intranet.local", 0, ""), 0);
  EXPECT_EQ(store_.read("chan", kOrigin), "");
  EXPECT_EQ(store_.read("chan", "https://intranet.local"), "");
  ASSERT_EQ(store_.store("chan", "*", 0, "v2"), 0);
  EXPECT_EQ(store_.read("Chan", "https://intranet.local"), "v2");

  // A new key: earlier values are gone.
  ASSERT_TRUE(store_.initialise());
  EXPECT_EQ(store_.read("Chan", kOrigin), "");
}

TEST_F(ChannelValueTest, MissingArguments) {
  struct Case {
    const char* channel;
    const char* domains;
    int timeout;
    const char* value;
  };
  const Case cases[] = {
      {nullptr, "*", 0, "v"},
      {"c", nullptr, 0, "v"},
      {"c", "*", -1, "v"},
      {"c", "*", 0, nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(store_.store(c.channel, c.domains, c.timeout, c.value), kChannelMissingParameter);
  }
  EXPECT_EQ(store_.read("c", kOrigin), "");
}

TEST_F(ChannelValueTest, LockedValues) {
  ASSERT_EQ(store_.store("open", "*", 0, "o"), 0);
  ASSERT_EQ(store_.store("none", "", 0, "n"), 0);
  ASSERT_EQ(store_.store("blank", " ; ", 0, "b"), 0);
  ASSERT_EQ(store_.store("broken", "app.example.com; (bad", 0, "x"), 0);
  // An unlock by the read before must not carry over.
  for (const char* channel : {"none", "blank", "broken"}) {
    ASSERT_EQ(store_.read("open", kOrigin), "o");
    EXPECT_EQ(store_.read(channel, kOrigin), "") << channel;
  }
}

TEST_F(ChannelValueTest, SlidingExpiry) {
  ASSERT_EQ(store_.store("c", "*", 5, "v"), 0);
  advanceMinutes(4);
  EXPECT_EQ(store_.read("c", kOrigin), "v");
  advanceMinutes(4);  // 8 minutes after the store, 4 after the last read
  EXPECT_EQ(store_.read("c", kOrigin), "v");
  advanceMinutes(5);
  EXPECT_EQ(store_.read("c", kOrigin), "v");  // exactly at the expiry
  advanceMinutes(6);
  EXPECT_EQ(store_.read("c", kOrigin), "");
  // An expired value stays until it is replaced.
  ASSERT_EQ(store_.store("c", "*", 5, "w"), 0);
  EXPECT_EQ(store_.read("c", kOrigin), "w");

  ASSERT_EQ(store_.store("forever", "*", 0, "f"), 0);
  advanceMinutes(60 * 24 * 365 * 10);
  EXPECT_EQ(store_.read("forever", kOrigin), "f");
}

TEST_F(ChannelValueTest, FullTable) {
  // Entries 3, 7 and 11 expire after a minute; 5 never expires; the rest after an hour.
  for (int i = 0; i < kChannelSlots; ++i) {
    int timeout = (i == 3 || i == 7 || i == 11) ? 1 : i == 5 ? 0 : 60;
    ASSERT_EQ(store_.store(("c" + std::to_string(i)).c_str(), "*", timeout, "v"), 0);
  }
  EXPECT_EQ(store_.store("late", "*", 1, "v"), 0);  // only the never-expiring entry 5 goes
  EXPECT_EQ(store_.read("c5", kOrigin), "");
  EXPECT_EQ(store_.store("later", "*", 1, "v"), kChannelStoreFull);
  EXPECT_EQ(store_.read("c3", kOrigin), "v");

  advanceMinutes(2);
  // One store frees 3, 7, 11 and "late", and takes one of them.
  ASSERT_EQ(store_.store("n1", "*", 60, "a"), 0);
  for (const char* channel : {"c3", "c7", "c11", "late"}) {
    EXPECT_EQ(store_.read(channel, kOrigin), "") << channel;
  }
  ASSERT_EQ(store_.store("n2", "*", 60, "b"), 0);
  ASSERT_EQ(store_.store("n3", "*", 60, "c"), 0);
  ASSERT_EQ(store_.store("n4", "*", 60, "d"), 0);
  EXPECT_EQ(store_.store("n5", "*", 60, "e"), kChannelStoreFull);
  EXPECT_EQ(store_.read("n1", kOrigin), "a");
  EXPECT_EQ(store_.read("c12", kOrigin), "v");
}

}  // namespace
}  // namespace qm::session
