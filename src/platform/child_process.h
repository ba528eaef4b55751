// A started program that the starter keeps hold of: stop request, kill, exit status. Used by the
// integration tests and load programs that run the real programs.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qm::platform {

class ChildProcess {
 public:
  // Starts `program` with `arguments`. `environment` holds "NAME=value" entries that replace or
  // extend the current environment. Standard input is /dev/null; standard output and error go
  // to `outputFile` (appended) when it is not empty. nullopt when the program cannot be started.
  static std::optional<ChildProcess> start(const std::string& program,
                                           const std::vector<std::string>& arguments,
                                           const std::vector<std::string>& environment,
                                           const std::string& outputFile = {});

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // A child still running is killed and reaped.
  ~ChildProcess();

  int id() const { return pid_; }
  // SIGTERM; false when the process is gone.
  bool requestStop();
  // SIGKILL.
  void kill();
  // Exit status (low 8 bits; 128 + signal when killed by one) once the process ended within
  // timeoutMs (< 0: without limit); nullopt while it still runs.
  std::optional<int> wait(int timeoutMs);
  bool running();

 private:
  explicit ChildProcess(int pid) : pid_(pid) {}
  int pid_ = -1;
  std::optional<int> status_;
};

}  // namespace qm::platform
