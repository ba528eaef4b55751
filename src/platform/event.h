// Named events (the debug-mode switch): an object in the runtime folder that exists from its
// creation until it is removed. A pulse wakes every listener once; a listener never misses a
// pulse and never sees one twice.
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
  bool wait(int timeoutMs = -1);

  // Removes the event object (the creator, at exit).
  void remove();

 private:
  NamedEvent() = default;
  std::string path_;
  int fd_ = -1;
  unsigned long long seen_ = 0;
};

}  // namespace qm::platform
