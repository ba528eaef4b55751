#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/paths.h"
#include "platform/posix/internal.h"

extern char** environ;

namespace qm::platform {

namespace {

constexpr const char* kShell = "/bin/sh";
constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b, bool exactCase) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (exactCase ? a[i] != b[i] : lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Program path and argument vector of a command; empty program when it cannot be found.
struct Launch {
  std::string program;
  std::vector<std::string> args;
  int error = 0;  // errno when the command cannot be started
};

Launch prepare(const std::string& command, bool throughShell) {
  Launch launch;
  if (throughShell) {
    launch.program = kShell;
    launch.args = {"sh", "-c", command};
    return launch;
  }
  launch.args = splitCommandLine(command);
  if (launch.args.empty()) {
    launch.error = ENOENT;
    return launch;
  }
  launch.program = resolveProgram(launch.args[0]);
  if (launch.program.empty()) {
    launch.error = ENOENT;
    return launch;
  }
  launch.args[0] = executableName(nativePath(launch.args[0]));
  return launch;
}

std::vector<char*> argvOf(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

int statusCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 0;
}

pid_t waitFor(pid_t pid, int* status) {
  pid_t done;
  do {
    done = ::waitpid(pid, status, 0);
  } while (done < 0 && errno == EINTR);
  return done;
}

// Child side of a detached start: only async-signal-safe calls from here on.
[[noreturn]] void execDetached(const char* program, char* const* argv, int errorPipe) {
  int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
  }
  // Nothing of ours leaks into the program (the error pipe is close-on-exec already).
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < 4096; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(program, argv, environ);
  int error = errno;
  ssize_t ignored = ::write(errorPipe, &error, sizeof error);
  (void)ignored;
  ::_exit(127);
}

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view line) {
  std::vector<std::string> out;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (true) {
    while (i < n && isSpace(line[i])) ++i;
    if (i >= n) break;
    const bool programName = out.empty();
    std::string arg;
    bool quoted = false;
    while (i < n) {
      char c = line[i];
      if (!quoted && isSpace(c)) break;
      if (c == '\\' && !programName) {
        // Backslashes are literal unless they precede a quote: 2n -> n and a quote mark,
        // 2n+1 -> n and a literal quote.
        std::size_t run = 0;
        while (i < n && line[i] == '\\') ++run, ++i;
        if (i < n && line[i] == '"') {
          arg.append(run / 2, '\\');
          if (run % 2 == 1) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(run, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && !programName && i + 1 < n && line[i + 1] == '"') {
          arg += '"';  // "" inside quotes
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += c;
      ++i;
    }
    out.push_back(std::move(arg));
  }
  return out;
}

std::string joinArguments(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc && argv != nullptr; ++i) {
    if (argv[i] == nullptr) break;
    if (i > 1) line += ' ';
    line += argv[i];
  }
  return line;
}

std::string resolveProgram(std::string_view name) {
  std::string given = nativePath(name);
  if (given.empty()) return {};
  std::vector<std::string> candidates{executableName(given)};
  if (candidates.front() != given) candidates.push_back(given);
  if (given.find('/') != std::string::npos) {
    for (const auto& candidate : candidates) {
      if (!candidate.empty() && candidate.back() != '/' && isExecutableFile(candidate)) {
        return candidate;
      }
    }
    return {};
  }
  std::vector<std::string> folders;
  if (std::string own = programFolder(); !own.empty()) folders.push_back(own);
  const char* path = posix::envValue("PATH");
  std::string_view rest = path != nullptr ? path : kDefaultPath;
  while (true) {
    auto colon = rest.find(':');
    std::string folder(rest.substr(0, colon));
    folders.push_back(folder.empty() ? "." : folder);
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  for (const auto& folder : folders) {
    for (const auto& candidate : candidates) {
      std::string full = folder + "/" + candidate;
      if (isExecutableFile(full)) return full;
    }
  }
  return {};
}

int runAndWait(const std::string& command, bool throughShell) {
  Launch launch = prepare(command, throughShell);
  if (launch.error != 0) return 0;
  auto argv = argvOf(launch.args);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = -1;
  int error = ::posix_spawn(&pid, launch.program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (error != 0) return 0;
  int status = 0;
  if (waitFor(pid, &status) != pid) return 0;
  return statusCode(status);
}

int startDetached(const std::string& command, bool throughShell) {
  Launch launch = prepare(command, throughShell);
  if (launch.error != 0) return launch.error;
  auto argv = argvOf(launch.args);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  posix::UniqueFd readEnd(fds[0]);
  posix::UniqueFd writeEnd(fds[1]);
  // The child redirects 0..2, so the pipe must live above them.
  if (writeEnd.get() < 3) {
    writeEnd.reset(::fcntl(writeEnd.get(), F_DUPFD_CLOEXEC, 3));
    if (!writeEnd.valid()) return errno;
  }

  // Double fork: the program is adopted by init and never becomes our zombie.
  pid_t child = ::fork();
  if (child < 0) return errno;
  if (child == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild == 0) execDetached(launch.program.c_str(), argv.data(), writeEnd.get());
    if (grandchild < 0) {
      int error = errno;
      ssize_t ignored = ::write(writeEnd.get(), &error, sizeof error);
      (void)ignored;
    }
    ::_exit(0);
  }
  writeEnd.reset();
  int status = 0;
  waitFor(child, &status);
  int error = 0;
  ssize_t got;
  do {
    got = ::read(readEnd.get(), &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

std::vector<int> findProcesses(std::string_view imageName, bool exactCase) {
  std::vector<int> found;
  const std::string wanted = executableName(imageName);
  if (wanted.empty()) return found;
  std::error_code ec;
  std::filesystem::directory_iterator it("/proc", ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (entry.empty() || entry.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code linkError;
    std::string exe = std::filesystem::read_symlink(it->path() / "exe", linkError).string();
    if (linkError || exe.empty()) continue;  // kernel thread, zombie or not ours to see
    constexpr std::string_view kDeleted = " (deleted)";
    if (exe.size() > kDeleted.size() && exe.ends_with(kDeleted)) {
      exe.resize(exe.size() - kDeleted.size());
    }
    std::string_view base = exe;
    if (auto slash = base.rfind('/'); slash != std::string_view::npos)
      base.remove_prefix(slash + 1);
    if (sameName(base, wanted, exactCase)) found.push_back(std::stoi(entry));
  }
  return found;
}

bool isProcessRunning(std::string_view imageName) {
  return !findProcesses(imageName).empty();
}

int killProcesses(std::string_view imageName) {
  int signalled = 0;
  const int self = static_cast<int>(::getpid());
  for (int pid : findProcesses(imageName, true)) {
    if (pid != self && ::kill(pid, SIGKILL) == 0) ++signalled;
  }
  return signalled;
}

std::uint32_t currentProcessId() {
  return static_cast<std::uint32_t>(::getpid());
}

std::uint32_t currentThreadId() {
  return static_cast<std::uint32_t>(::gettid());
}

void exitProcess(int code) {
  ::_exit(code);
}

}  // namespace qm::platform
