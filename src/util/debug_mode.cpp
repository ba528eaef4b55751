#include "util/debug_mode.h"

#include "platform/clock.h"
#include "util/diag.h"
#include "util/zdlog.h"

namespace qm::debug_mode {
namespace {

constexpr int kRestMs = 100;
// The wait has no limit in effect; the slice only lets stop() end the thread.
constexpr int kWaitSliceMs = 200;

}  // namespace

std::optional<platform::NamedEvent> openOrCreate() {
  return platform::NamedEvent::openOrCreate(kEventName);
}

bool signal(platform::NamedEvent& event) {
  return event.pulse();
}

Listener::~Listener() {
  stop();
}

bool Listener::start(std::string prefix, bool loggingOn) {
  if (running()) return false;
  event_ = platform::NamedEvent::open(kEventName);
  if (!event_) return false;
  prefix_ = std::move(prefix);
  on_.store(loggingOn);
  stopping_.store(false);
  thread_ = std::thread([this] { run(); });
  return true;
}

void Listener::stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true);
  thread_.join();
  event_.reset();
}

void Listener::run() {
  while (!stopping_.load()) {
    long long started = platform::monotonicMs();
    if (!event_->wait(kWaitSliceMs)) {
      // A removed event fails at once: do not spin.
      long long left = kWaitSliceMs - (platform::monotonicMs() - started);
      if (left > 0) platform::sleepMs(static_cast<int>(left));
      continue;
    }
    toggle();
    platform::sleepMs(kRestMs);
  }
}

void Listener::toggle() {
  if (on_.load()) {
    diag::normal("Log state: ", "Disable");
    diag::disable();
    zdlog::reset();
    on_.store(false);
  } else {
    diag::setLog(prefix_.c_str());
    on_.store(true);
  }
  toggles_.fetch_add(1);
}

}  // namespace qm::debug_mode
