// Changes of the user's login session from logind over the system bus.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qm::platform::posix {

class SessionWatch {
 public:
  // Watches the session of this process (else the user's display session). nullptr, with the
  // reason, when there is no system bus or no login session.
  static std::unique_ptr<SessionWatch> open(std::string* whyNot);
  virtual ~SessionWatch() = default;

  // What to poll for, and how long at most (-1: no limit).
  virtual int fd() const = 0;
  virtual short events() const = 0;
  virtual int timeoutMs() const = 0;
  // Handles whatever arrived; appends the session change codes it carried. False when the bus
  // connection is gone.
  virtual bool process(std::vector<int>& codes) = 0;
};

}  // namespace qm::platform::posix
