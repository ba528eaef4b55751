// Instruction channels between the programs of one user: a Unix stream socket per channel name
// in <runtime folder>/channels. A channel "exists" while a receiver accepts connections on it. A
// send writes one frame and returns once the receiver's handler has run and acknowledged it.
// The receiver accepts only peers of its own user and also reports the changes of the user's
// login session (lock, unlock, connect, disconnect).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace qm::platform {

// Largest frame payload a receiver takes; a bigger one is refused before anything is allocated.
inline constexpr std::size_t kMaxChannelFrame = 1 << 20;

// Session change codes, as the system numbers them.
inline constexpr int kSessionConsoleConnect = 1;
inline constexpr int kSessionConsoleDisconnect = 2;
inline constexpr int kSessionRemoteConnect = 3;
inline constexpr int kSessionRemoteDisconnect = 4;
inline constexpr int kSessionLock = 7;
inline constexpr int kSessionUnlock = 8;

enum class ChannelSend {
  kDelivered,   // the receiver's handler ran and acknowledged
  kNoReceiver,  // nobody listens on the channel
  kEnded,       // the receiver took the frame and closed without an answer: it ended while
                // handling it (a Suicide without final action ends the process there)
  kFailed,      // connected, but the frame was refused or no answer came in time
};

// True when a receiver listens on the channel.
bool channelExists(std::string_view name);

// Sends the bytes as one message frame; waits up to timeoutMs for the acknowledgement.
ChannelSend sendChannelMessage(std::string_view name, std::string_view bytes,
                               int timeoutMs = 30000);

// Sends a session change frame, as the session watcher reports one (tools and tests).
ChannelSend sendSessionChange(std::string_view name, int code, int timeoutMs = 30000);

// Writes the bytes unframed, as they are, then waits for the receiver's answer or close (tests
// of malformed frames).
ChannelSend sendChannelRaw(std::string_view name, std::string_view bytes, int timeoutMs = 30000);

class ChannelReceiver {
 public:
  enum class OpenStatus { kOpened, kInUse, kFailed };

  // What the receiver reports; every handler runs on the thread that called run().
  struct Handlers {
    std::function<void(std::string_view bytes)> message;
    std::function<void(int code)> sessionChange;
    // A peer or frame that was refused; the receiver goes on.
    std::function<void(std::string_view what)> refused;
    // Once, when the session changes cannot be watched (no system bus, no login session).
    std::function<void(std::string_view why)> noSessionWatch;
  };

  // Takes the channel. kInUse: a live receiver holds it (a stale socket of a dead one is
  // replaced). kFailed: the socket cannot be made.
  static std::unique_ptr<ChannelReceiver> open(std::string_view name, OpenStatus* status);

  ~ChannelReceiver();
  ChannelReceiver(const ChannelReceiver&) = delete;
  ChannelReceiver& operator=(const ChannelReceiver&) = delete;

  // Serves frames and session changes until stop(); one frame at a time.
  void run(const Handlers& handlers);
  // Ends run() soon; safe from any thread and from a handler.
  void stop();

  class Impl;

 private:
  explicit ChannelReceiver(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qm::platform
