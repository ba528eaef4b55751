// Named events (the debug-mode switch): an object in the runtime folder that exists from its
// creation until it is removed. A pulse wakes every listener once; a listener never misses a
// pulse and never sees one twice (pulses that come while it is busy are kept for its next waits).
// One handle is used by one thread at a time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qm::platform {

class NamedEvent {
 public:
  // Opens the event, creating it when missing (the monitor).
  static std::optional<NamedEvent> openOrCreate(std::string_view name);
  // Opens an existing event (listeners); nullopt when nobody created it.
  static std::optional<NamedEvent> open(std::string_view name);

  NamedEvent(NamedEvent&& other) noexcept;
  NamedEvent& operator=(NamedEvent&& other) noexcept;
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;
  ~NamedEvent();

  // Signals every listener once.
  bool pulse();

  // Waits for the next pulse not yet consumed by this handle. timeoutMs < 0 waits without
  // limit. True when a pulse was consumed, false on time-out or when the event was removed.
  // After a removal the handle follows a newer event of the same name (a restarted creator),
  // counting all of its pulses, as a Windows event outlives its creator's handle. A removal is
  // reported once; later waits wait (until their time-out) for the newer event to appear.
  bool wait(int timeoutMs = -1);

  // Removes the event object (the creator, at exit); waiting listeners wake with false.
  void remove();

 private:
  NamedEvent() = default;
  static std::optional<NamedEvent> adopt(std::string path, int fd);
  bool removed() const;
  bool followSuccessor();

  std::string path_;
  int fd_ = -1;
  int watch_ = -1;  // inotify descriptor watching the event file
  unsigned long long seen_ = 0;
  bool removalReported_ = false;
};

}  // namespace qm::platform
