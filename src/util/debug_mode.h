// The debug-mode switch: the monitor pulses the event "KVLQuillmark_DEBUG_MODE" and every
// listening program (server, watchdog) toggles its logging once per pulse.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "platform/event.h"

namespace qm::debug_mode {

inline constexpr char kEventName[] = "KVLQuillmark_DEBUG_MODE";

// Monitor side: opens the event, creating it when missing; kept until the monitor exits.
std::optional<platform::NamedEvent> openOrCreate();

// Wakes every waiting listener once.
bool signal(platform::NamedEvent& event);

// Listener side: a thread that toggles logging at each pulse. Off: Normal "Log state: "
// "Disable", diagnostics off, writer reset. On: setLog(prefix). Then 100 ms of rest.
class Listener {
 public:
  Listener() = default;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener();

  // Opens the existing event and starts the thread; `loggingOn` is the current state (what
  // setLog returned at start). False when the event does not exist or the listener runs.
  bool start(std::string prefix, bool loggingOn);
  // Ends the thread (returns within a fraction of a second).
  void stop();

  bool running() const { return thread_.joinable(); }
  // The state the listener last switched to.
  bool loggingOn() const { return on_.load(); }
  // Pulses handled so far.
  unsigned long long toggles() const { return toggles_.load(); }

 private:
  void run();
  void toggle();

  std::optional<platform::NamedEvent> event_;
  std::string prefix_;
  std::atomic<bool> on_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<unsigned long long> toggles_{0};
  std::thread thread_;
};

}  // namespace qm::debug_mode
