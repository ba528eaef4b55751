#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace qm::platform {
namespace {

std::string variableName(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> result;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string current(*entry);
    bool replaced = false;
    for (const std::string& change : overrides) {
      if (variableName(change) == variableName(current)) replaced = true;
    }
    if (!replaced) result.push_back(std::move(current));
  }
  result.insert(result.end(), overrides.begin(), overrides.end());
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status) & 0xFF;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 0;
}

}  // namespace

std::optional<ChildProcess> ChildProcess::start(const std::string& program,
                                                const std::vector<std::string>& arguments,
                                                const std::vector<std::string>& environment,
                                                const std::string& outputFile) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envp = mergedEnvironment(environment);
  std::vector<char*> argvPointers = pointers(argv);
  std::vector<char*> envpPointers = pointers(envp);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!outputFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  // A clean signal state, whatever the starter blocked or ignored.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argvPointers.data(),
                         envpPointers.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return std::nullopt;
  return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), status_(other.status_) {
  other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    if (running()) {
      kill();
      wait(-1);
    }
    pid_ = other.pid_;
    status_ = other.status_;
    other.pid_ = -1;
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    kill();
    wait(-1);
  }
}

bool ChildProcess::requestStop() {
  return pid_ > 0 && !status_ && ::kill(pid_, SIGTERM) == 0;
}

void ChildProcess::kill() {
  if (pid_ > 0 && !status_) ::kill(pid_, SIGKILL);
}

std::optional<int> ChildProcess::wait(int timeoutMs) {
  if (pid_ <= 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!status_) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, timeoutMs < 0 ? 0 : WNOHANG);
    if (done == pid_) {
      status_ = decodeStatus(status);
    } else if (done < 0 && errno != EINTR) {
      return std::nullopt;
    } else if (timeoutMs >= 0) {
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return status_;
}

bool ChildProcess::running() {
  return pid_ > 0 && !wait(0);
}

}  // namespace qm::platform
