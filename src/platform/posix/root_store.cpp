#include "platform/root_store.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/posix/internal.h"
#include "platform/process.h"

extern char** environ;

namespace qm::platform {

namespace {

constexpr char kDefaultStoreDir[] = "/usr/local/share/ca-certificates";
// By its full path: "su" without a login shell leaves /usr/sbin off root's PATH on Debian.
constexpr char kDefaultUpdateCommand[] = "/usr/sbin/update-ca-certificates";
constexpr char kCertutil[] = "certutil";
constexpr char kBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kEnd[] = "-----END CERTIFICATE-----";

struct Run {
  bool started = false;
  int error = 0;   // errno when not started
  int status = 0;  // exit status
  std::string output;
};

// Runs the program (found like any command) with standard output captured.
Run runCapture(std::vector<std::string> args) {
  Run run;
  std::string program = resolveProgram(args.front());
  if (program.empty()) {
    run.error = ENOENT;
    return run;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    run.error = errno;
    return run;
  }
  posix::UniqueFd readEnd(fds[0]);
  posix::UniqueFd writeEnd(fds[1]);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  writeEnd.reset();
  if (rc != 0) {
    run.error = rc;
    return run;
  }
  run.started = true;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

std::optional<RootStoreFailure> failure(RootStoreFailure::Step step, int code, std::string store) {
  return RootStoreFailure{step, code, std::move(store)};
}

std::optional<RootStoreFailure> toolFailure(RootStoreFailure::Step step, const Run& run,
                                            const std::string& store) {
  if (!run.started) return failure(step, run.error, store);
  if (run.status != 0) return failure(step, run.status, store);
  return std::nullopt;
}

// The Base64 bodies of every certificate block in the text, white space removed.
std::vector<std::string> pemBodies(std::string_view text) {
  std::vector<std::string> bodies;
  std::size_t at = 0;
  while ((at = text.find(kBegin, at)) != std::string_view::npos) {
    at += sizeof kBegin - 1;
    std::size_t end = text.find(kEnd, at);
    if (end == std::string_view::npos) break;
    std::string body;
    for (char c : text.substr(at, end - at)) {
      if (c != '\n' && c != '\r' && c != ' ' && c != '\t') body += c;
    }
    bodies.push_back(std::move(body));
    at = end;
  }
  return bodies;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- the system store ----

std::optional<RootStoreFailure> installInSystemStore(std::string_view name, std::string_view pem) {
  const char* movedDir = posix::envValue("QUILLMARK_CA_STORE_DIR");
  const std::string dir = movedDir != nullptr ? movedDir : kDefaultStoreDir;
  std::string update;
  if (const char* command = posix::envValue("QUILLMARK_CA_UPDATE_COMMAND")) {
    if (std::string_view(command) != "none") update = command;
  } else if (movedDir == nullptr) {
    update = kDefaultUpdateCommand;  // a moved store never rebuilds the real bundle
  }

  if (!isFolder(dir) && ::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    return failure(RootStoreFailure::Step::kOpen, errno, dir);
  }
  if (::access(dir.c_str(), W_OK) != 0) return failure(RootStoreFailure::Step::kOpen, errno, dir);

  const std::string file = dir + "/quillmark-" + lower(name) + "-root.crt";
  if (std::optional<std::string> present = readTextFile(file); present && *present == pem) {
    return std::nullopt;
  }
  const std::string temporary = file + ".new";
  posix::UniqueFd out(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!out.valid()) return failure(RootStoreFailure::Step::kAdd, errno, file);
  ::fchmod(out.get(), 0644);  // readable by every client, whatever the umask
  std::size_t written = 0;
  while (written < pem.size()) {
    ssize_t n = ::write(out.get(), pem.data() + written, pem.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int error = errno;
      ::unlink(temporary.c_str());
      return failure(RootStoreFailure::Step::kAdd, error, file);
    }
    written += static_cast<std::size_t>(n);
  }
  out.reset();
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    int error = errno;
    ::unlink(temporary.c_str());
    return failure(RootStoreFailure::Step::kAdd, error, file);
  }
  if (update.empty()) return std::nullopt;
  std::vector<std::string> args = splitCommandLine(update);
  if (args.empty()) return std::nullopt;
  return toolFailure(RootStoreFailure::Step::kAdd, runCapture(args), update);
}

// ---- NSS databases ----

struct NssDatabase {
  std::string dir;
  bool createWhenMissing = false;
};

// Profile folders listed in a Firefox profiles.ini.
std::vector<std::string> firefoxProfiles(const std::string& base) {
  std::vector<std::string> profiles;
  std::optional<std::string> ini = readTextFile(base + "/profiles.ini");
  if (!ini) return profiles;
  bool inProfile = false;
  bool relative = true;
  std::string path;
  auto flush = [&] {
    if (inProfile && !path.empty()) profiles.push_back(relative ? base + "/" + path : path);
    path.clear();
    relative = true;
  };
  std::size_t start = 0;
  while (start <= ini->size()) {
    std::size_t end = ini->find('\n', start);
    if (end == std::string::npos) end = ini->size();
    std::string line = ini->substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '[') {
      flush();
      inProfile = line.starts_with("[Profile");
    } else if (line.starts_with("Path=")) {
      path = line.substr(5);
    } else if (line.starts_with("IsRelative=")) {
      relative = line.substr(11) != "0";
    }
    start = end + 1;
  }
  flush();
  return profiles;
}

std::vector<NssDatabase> nssDatabases() {
  std::vector<NssDatabase> databases;
  std::string home = homeFolder();  // ends with "/"
  if (const char* moved = posix::envValue("QUILLMARK_NSSDB_DIR")) {
    databases.push_back({moved, true});
  } else if (home != "/") {
    std::string shared = home + ".pki/nssdb";
    if (!isFolder(shared)) shared = home + ".local/share/pki/nssdb";
    databases.push_back({shared, true});
  }
  if (home != "/") {
    for (const char* base : {".mozilla/firefox", "snap/firefox/common/.mozilla/firefox"}) {
      for (const std::string& profile : firefoxProfiles(home + base)) {
        // A profile without its database has never run; Firefox makes it at first start.
        if (fileTest(profile + "/cert9.db")) databases.push_back({profile, false});
      }
    }
  }
  return databases;
}

bool trusted(const std::string& listing, const std::string& nickname) {
  std::size_t start = 0;
  while (start < listing.size()) {
    std::size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    std::string_view line(listing.data() + start, end - start);
    if (line.starts_with(nickname) && line.size() > nickname.size() &&
        line[nickname.size()] == ' ') {
      std::string_view trust = line.substr(nickname.size());
      trust.remove_prefix(std::min(trust.find_first_not_of(' '), trust.size()));
      std::string_view ssl = trust.substr(0, trust.find(','));
      if (ssl.find('C') != std::string_view::npos) return true;
    }
    start = end + 1;
  }
  return false;
}

std::optional<RootStoreFailure> installInNss(const NssDatabase& db, std::string_view name,
                                             std::string_view pem) {
  const std::string dbArgument = "sql:" + db.dir;
  if (!fileTest(db.dir + "/cert9.db")) {
    if (!db.createWhenMissing) return std::nullopt;
    std::error_code ec;
    std::filesystem::create_directories(db.dir, ec);
    if (ec) return failure(RootStoreFailure::Step::kOpen, ec.value(), dbArgument);
    ::chmod(db.dir.c_str(), 0700);
    if (auto failed = toolFailure(
            RootStoreFailure::Step::kOpen,
            runCapture({kCertutil, "-N", "-d", dbArgument, "--empty-password"}), dbArgument)) {
      return failed;
    }
  }

  const std::string nickname = "Quillmark Local Root CA (" + std::string(name) + ")";
  std::vector<std::string> wanted = pemBodies(pem);
  if (wanted.size() != 1) return failure(RootStoreFailure::Step::kAdd, EINVAL, dbArgument);
  // Certificates of one subject come back together: look for ours among them.
  Run found = runCapture({kCertutil, "-L", "-d", dbArgument, "-n", nickname, "-a"});
  if (!found.started) return failure(RootStoreFailure::Step::kOpen, found.error, dbArgument);
  if (found.status == 0) {
    std::vector<std::string> bodies = pemBodies(found.output);
    bool present = std::find(bodies.begin(), bodies.end(), wanted.front()) != bodies.end();
    Run listing = runCapture({kCertutil, "-L", "-d", dbArgument});
    if (present && listing.started && listing.status == 0 && trusted(listing.output, nickname)) {
      return std::nullopt;
    }
  }

  const std::string file = db.dir + "/.quillmark-root-" + lower(name) + ".pem";
  if (!writeTextFile(file, std::string(pem))) {
    return failure(RootStoreFailure::Step::kAdd, errno != 0 ? errno : EIO, dbArgument);
  }
  Run added =
      runCapture({kCertutil, "-A", "-d", dbArgument, "-n", nickname, "-t", "C,,", "-i", file});
  ::unlink(file.c_str());
  return toolFailure(RootStoreFailure::Step::kAdd, added, dbArgument);
}

}  // namespace

std::vector<RootStoreFailure> installRootCertificate(std::string_view name, std::string_view pem) {
  std::vector<RootStoreFailure> failures;
  if (auto failed = installInSystemStore(name, pem)) failures.push_back(std::move(*failed));
  for (const NssDatabase& db : nssDatabases()) {
    if (auto failed = installInNss(db, name, pem)) failures.push_back(std::move(*failed));
  }
  return failures;
}

}  // namespace qm::platform
