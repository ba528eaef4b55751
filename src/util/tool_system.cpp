// Folders, files, processes, the port test and named locks.
#include <array>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "util/diag.h"
#include "util/tool.h"

namespace qm::tool {

namespace {

constexpr int kListen = 0x0A;
constexpr int kEstablished = 0x01;

// "0100007F:1F90": the address is printed as 32-bit words in host order, so copying each word
// back into memory gives the address bytes in network order on any host.
struct Endpoint {
  std::array<unsigned char, 16> address{};
  std::size_t size = 0;
  int port = -1;
};

std::optional<std::uint32_t> hexWord(std::string_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                     : -1;
    if (d < 0) return std::nullopt;
    value = value << 4 | static_cast<std::uint32_t>(d);
  }
  return value;
}

std::optional<Endpoint> parseEndpoint(std::string_view text) {
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || (colon != 8 && colon != 32)) return std::nullopt;
  Endpoint e;
  e.size = colon / 2;
  for (std::size_t w = 0; w < colon / 8; ++w) {
    std::optional<std::uint32_t> word = hexWord(text.substr(w * 8, 8));
    if (!word) return std::nullopt;
    std::memcpy(e.address.data() + w * 4, &*word, 4);
  }
  std::optional<std::uint32_t> port = hexWord(text.substr(colon + 1));
  if (!port || *port > 0xFFFF) return std::nullopt;
  e.port = static_cast<int>(*port);
  return e;
}

bool isLoopbackWithPort(const Endpoint& e, int port, bool ipv6) {
  static constexpr std::array<unsigned char, 4> kV4 = {127, 0, 0, 1};
  static constexpr std::array<unsigned char, 16> kV6 = {0, 0, 0, 0, 0, 0, 0, 0,
                                                        0, 0, 0, 0, 0, 0, 0, 1};
  if (e.port != port) return false;
  if (ipv6) return e.size == 16 && std::memcmp(e.address.data(), kV6.data(), 16) == 0;
  return e.size == 4 && std::memcmp(e.address.data(), kV4.data(), 4) == 0;
}

}  // namespace

// ---- folders and files ----

std::string programFolder() {
  return platform::programFolder();
}

std::string userTempFolder() {
  std::string folder = platform::userTempFolder();
  if (folder.empty())
    std::printf("[ERROR] %s extract user temp folder fail at line %d in %s\n", "getUserTempPath",
                __LINE__, __FILE_NAME__);
  return folder;
}

std::string sharedDataFolder(const char* name) {
  std::string folder = platform::commonAppDataFolder();
  if (folder.empty()) {
    diag::error("Get copy path: ", "Fail");
    return {};
  }
  if (name == nullptr) return folder;
  if (folder.back() != '/') folder.push_back('/');
  return folder + name;
}

std::optional<std::string> desktopFolder() {
  std::string folder = platform::desktopFolder();
  if (folder.empty()) return std::nullopt;
  return folder;
}

bool fileTest(const char* path) {
  if (path == nullptr) {
    QM_NULL_PARAMETER("inputFileName");
    return false;
  }
  return platform::fileTest(path);
}

std::optional<std::string> readTextFile(const char* path) {
  if (path == nullptr) {
    diag::warning("inputPath is null", "");
    return std::nullopt;
  }
  std::optional<std::string> text = platform::readTextFile(path);
  if (!text) diag::warning("Read file pointer is null", "");
  return text;
}

bool writeTextFile(const char* path, const char* text) {
  if (path == nullptr || *path == '\0' || text == nullptr) return false;
  return platform::writeTextFile(path, text);
}

// ---- processes and locks ----

int runAndWait(const char* command, bool throughShell) {
  if (command == nullptr) return 1;
  return platform::runAndWait(command, throughShell);
}

void hideNOWaitCommand(const char* command) {
  if (command == nullptr) {
    QM_NULL_PARAMETER("inputCommand");
    return;
  }
  diag::normal("hideNOWaitCommand: ", command);
  platform::startDetached(command, false);
}

void workerStart() {
  hideNOWaitCommand("KVLQuillmarkWorker.exe -start");
}

bool isRunning(const char* imageName) {
  if (imageName == nullptr) {
    QM_NULL_PARAMETER("processName");
    return false;
  }
  return platform::isProcessRunning(imageName);
}

bool portListed(std::string_view table, int port, bool ipv6) {
  std::istringstream lines{std::string(table)};
  std::string line;
  while (std::getline(lines, line)) {
    // "sl local remote st ...": the header line fails to parse and is skipped.
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state)) continue;
    std::optional<std::uint32_t> st = hexWord(state);
    if (!st || (*st != kListen && *st != kEstablished)) continue;
    std::optional<Endpoint> l = parseEndpoint(local);
    std::optional<Endpoint> r = parseEndpoint(remote);
    if ((l && isLoopbackWithPort(*l, port, ipv6)) || (r && isLoopbackWithPort(*r, port, ipv6)))
      return true;
  }
  return false;
}

bool portInUse(int port, bool ipv6) {
  if (port < 0 || port > 0xFFFF) return false;
  std::optional<std::string> table =
      platform::readTextFile(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp");
  return table && portListed(*table, port, ipv6);
}

std::optional<platform::NamedLock> getMutexLock(const char* name, int waitMs) {
  if (name == nullptr) {
    QM_NULL_PARAMETER("inputMutexLock");
    return std::nullopt;
  }
  std::optional<std::string> user = platform::userName();
  if (!user) {
    QM_ALLOCATION_FAILURE();
    return std::nullopt;
  }
  std::string lockName = *user + "_" + name;
  if (lockName.size() > 511) lockName.resize(511);
  return platform::NamedLock::acquire(lockName, waitMs);
}

}  // namespace qm::tool
