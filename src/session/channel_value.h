// Channel value store: 16 values that pages leave under a channel name and read back from any
// origin the value's domain list allows. Values are kept enciphered under a key drawn at start
// and vanish with the process. Not thread-safe: one request at a time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace qm::session {

inline constexpr int kChannelSlots = 16;
inline constexpr int kChannelMissingParameter = 61005;
inline constexpr int kChannelStoreFull = 61019;

class ChannelValueStore {
 public:
  // Seconds since 1970-01-01 UTC.
  using Clock = std::function<std::int64_t()>;

  explicit ChannelValueStore(Clock clock = systemSeconds);
  ~ChannelValueStore();
  ChannelValueStore(const ChannelValueStore&) = delete;
  ChannelValueStore& operator=(const ChannelValueStore&) = delete;

  // Draws a new key from the system random source and resets all entries (values under an
  // earlier key could not be read any more). False when the random source failed; the store
  // then works with whatever key bytes it got, and it is logged.
  bool initialise();

  // Frees the entry's texts and value, zeroes its numbers.
  void resetEntry(int index);

  // 0, kChannelMissingParameter (null channel, domain list or value, or a negative timeout)
  // or kChannelStoreFull. timeoutMinutes 0: never expires.
  int store(const char* channel, const char* domainList, int timeoutMinutes, const char* value);

  // The value; "" for an unknown channel, an origin the list does not allow (an empty list
  // allows none) or an expired value; nullopt when the stored value cannot be deciphered.
  // Reading moves the expiry timeoutMinutes ahead.
  std::optional<std::string> read(const char* channel, const char* origin);

  static std::int64_t systemSeconds();

 private:
  struct Entry {
    std::optional<std::string> channel;  // absent: free
    std::string domainList;
    std::int32_t timeoutMinutes = 0;
    std::int64_t expiry = 0;            // 0: none
    std::optional<std::string> cipher;  // the enciphered value
  };

  Entry* find(const char* channel);
  Entry* choose(const char* channel, std::int64_t now);

  Clock clock_;
  std::array<Entry, kChannelSlots> entries_;
  unsigned char key_[32] = {};
  unsigned char ivSource_[32] = {};
};

// The server's store, initialised by the session table.
ChannelValueStore& channelValues();

}  // namespace qm::session
