// What the instruction channel and worker tests share: the peer program, programs started in a
// private root with their own log lines, the peers' record file and program folders of copies.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/child_process.h"
#include "platform/process.h"
#include "server_harness.h"

namespace qm::test {

inline std::string peerPath() {
  return binDir() + "/../tests/fixtures/quillmark_ipc_peer";
}
inline std::string workerPath() {
  return binDir() + "/KVLQuillmarkWorker";
}

inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    if (condition()) return true;
    sleepMs(20);
  }
  return condition();
}

// Every log line of one process in the root.
inline std::vector<std::string> processLog(const TempRoot& root, int pid) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "[%05d-", pid % 100000);
  std::vector<std::string> mine;
  for (std::string& line : root.logLines()) {
    if (line.find(tag) != std::string::npos) mine.push_back(std::move(line));
  }
  return mine;
}

inline std::size_t countIn(const std::vector<std::string>& lines, std::string_view text) {
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
    return line.find(text) != std::string::npos;
  }));
}

// The lines the peers recorded (one file per root, or one per peer).
class Record {
 public:
  explicit Record(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  std::size_t count(std::string_view line) const {
    auto all = lines();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
  }
  bool has(std::string_view line) const { return count(line) > 0; }
  bool waitFor(std::string_view line, int timeoutMs = 10000) const {
    return waitUntil([&] { return has(line); }, timeoutMs);
  }

 private:
  std::string path_;
};

// A program started in the root; it records to `record` when it is the peer.
class Program {
 public:
  Program(const TempRoot& root, const std::string& program, const std::vector<std::string>& args,
          const Record& record, std::vector<std::string> environment = {})
      : root_(root) {
    std::vector<std::string> env = root.environment();
    environment.insert(environment.begin(), "QUILLMARK_PEER_RECORD=" + record.path());
    // A given variable replaces the root's one of the same name.
    for (const std::string& entry : environment) {
      std::string name = entry.substr(0, entry.find('=') + 1);
      std::erase_if(env, [&](const std::string& old) { return old.starts_with(name); });
      env.push_back(entry);
    }
    process_ =
        platform::ChildProcess::start(program, args, env, root.path() + "/program-output.txt");
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return process_.has_value(); }
  int id() const { return process_ ? process_->id() : -1; }
  bool running() { return process_ && process_->running(); }
  std::optional<int> wait(int timeoutMs = 30000) {
    return process_ ? process_->wait(timeoutMs) : std::nullopt;
  }
  void kill() {
    if (process_) process_->kill();
  }

  std::vector<std::string> log() const { return processLog(root_, id()); }
  std::size_t logCount(std::string_view text) const { return countIn(log(), text); }
  bool logHas(std::string_view text) const { return logCount(text) > 0; }
  bool waitLog(std::string_view text, int timeoutMs = 10000) const {
    return waitUntil([&] { return logHas(text); }, timeoutMs);
  }
  std::string logText() const {
    std::string text;
    for (const std::string& line : log()) text += line + "\n";
    return text;
  }

 private:
  const TempRoot& root_;
  std::optional<platform::ChildProcess> process_;
};

// Why a test that stops programs by image name must not run here, or nullopt. Such a test owns
// every process of those names in the private process namespace that CTest starts it in where
// the machine allows (it is that namespace's first process). Without one, processes of those
// names from elsewhere (another program set, another test run) would be stopped too: the test
// runs only when none is there when it starts, as in a CI container running these tests one at
// a time.
inline std::optional<std::string> foreignProcesses(std::initializer_list<const char*> images) {
  if (platform::currentProcessId() == 1) return std::nullopt;
  for (const char* image : images) {
    std::vector<int> found = platform::findProcesses(image);
    if (!found.empty()) {
      return std::string(image) + " runs outside this test (process " +
             std::to_string(found.front()) + ") and there is no private process namespace";
    }
  }
  return std::nullopt;
}

// setpriv's command line that runs `command` as the unprivileged user 65534, keeping the given
// setpriv options (capabilities).
inline std::vector<std::string> asUserNobody(const std::vector<std::string>& command,
                                             std::vector<std::string> options = {}) {
  std::vector<std::string> args{"--reuid=65534", "--regid=65534", "--clear-groups"};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

// Whether `probe` (a command that ends with 0) runs that way here: only root can switch users,
// a container may not map the user, and the user must be able to reach the built programs.
inline bool runsAsUserNobody(const TempRoot& root, const std::vector<std::string>& probe,
                             std::vector<std::string> options = {}) {
  if (!std::filesystem::exists("/usr/bin/setpriv")) return false;
  auto process =
      platform::ChildProcess::start("/usr/bin/setpriv", asUserNobody(probe, std::move(options)),
                                    root.environment(), root.path() + "/probe-output.txt");
  return process && process->wait(30000) == 0;
}

// Runs the peer with the arguments to its end; its exit status.
inline std::optional<int> runPeer(const TempRoot& root, const Record& record,
                                  const std::vector<std::string>& args,
                                  std::vector<std::string> environment = {}) {
  Program peer(root, peerPath(), args, record, std::move(environment));
  return peer.wait();
}

// A copy of a built program under another name in a program folder of the root (programs find
// each other in their own folder first).
inline std::string installCopy(const std::string& from, const std::string& folder,
                               const std::string& name) {
  std::filesystem::create_directories(folder);
  std::string to = folder + "/" + name;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(
      to, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
              std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
              std::filesystem::perms::others_exec);
  return to;
}

}  // namespace qm::test
