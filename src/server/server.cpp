#include "server/server.h"

#include <microhttpd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "platform/socket_address.h"
#include "server/debug_line.h"
#include "server/key_provider.h"
#include "server/request_gate.h"
#include "session/session_table.h"
#include "util/build_info.h"
#include "util/certificates.h"
#include "util/debug_mode.h"
#include "util/diag.h"
#include "util/ipc_message.h"
#include "util/os_info.h"
#include "util/tool.h"

namespace qm::server {
namespace {

constexpr char kProgramName[] = "KVLQuillmark";
constexpr char kServerVersion[] = "1.0.23.0510";
constexpr char kPortList[] = "port=56454 56554 56654";
constexpr std::size_t kPathLength = 259;
constexpr std::size_t kCommandLineLength = 64;
constexpr int kLoopMs = 100;

constexpr unsigned kIpv4Flags = MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD;
constexpr unsigned kIpv6Flags = kIpv4Flags | MHD_USE_IPv6;
static_assert(kIpv4Flags == 11 && kIpv6Flags == 27);

constexpr char kPriorityBase[] = "NORMAL:!VERS-TLS-ALL:!SHA1";
constexpr char kPriorityTls12[] = ":+VERS-TLS1.2";
constexpr char kPriorityTls13[] = ":+VERS-TLS1.3";

constexpr std::uint32_t k64BitFlag = 0x200000;
// Without the debug-mode event the listener cannot start; this is the system's "file not found".
constexpr int kEventMissingCode = 2;

using ListenerTable = std::array<std::array<MHD_Daemon*, 2>, 3>;

std::atomic<bool> readyToSuicide{false};
// Written once during start-up.
std::string sharedDataFolder;
bool logToggleState = false;
std::array<int, 3> ports{};
bool stopSignalsInstalled = false;

// The run-time logging switch; it lives as long as the process serves.
debug_mode::Listener& debugStatusUpdateListener() {
  static debug_mode::Listener listener;
  return listener;
}

std::string cut(std::string text, std::size_t length) {
  if (text.size() > length) text.resize(length);
  return text;
}

// The crash handler hooks in here once the forensic framework is built.
void installCrashHandler() {}

// The IPC receiver on channel "KVLQuillmark.exe": the Suicide instruction and a locked or
// disconnected session end the server through its final action.
void startIpcReceiver() {
  ipc::startReceiver(ipc::kServerChannel);
}

MHD_Daemon* launchListener(const platform::SocketAddress& address, unsigned flags,
                           const char* certificate, const char* key, const char* priorities) {
  bool ipv4 = address.family() == platform::kFamilyIpv4;
  if (!ipv4 && address.family() != platform::kFamilyIpv6) {
    diag::error("Unknow address family: ", address.family());
    return nullptr;
  }
  std::string port = std::to_string(address.port());
  std::string detect = "Detect port " + port + " state: ";
  if (tool::portInUse(address.port(), !ipv4)) {
    diag::normal(detect, "In use, try next port");
    return nullptr;
  }
  diag::normal(detect, "Free");
  MHD_Daemon* daemon = MHD_start_daemon(
      flags, address.port(), ipv4 ? acceptPolicy : nullptr, nullptr, accessHandler, nullptr,
      MHD_OPTION_EXTERNAL_LOGGER, mhdLogger, nullptr, MHD_OPTION_SOCK_ADDR,
      static_cast<const struct sockaddr*>(address.data()), MHD_OPTION_HTTPS_MEM_CERT, certificate,
      MHD_OPTION_HTTPS_MEM_KEY, key, MHD_OPTION_HTTPS_PRIORITIES, priorities,
      MHD_OPTION_NOTIFY_COMPLETED, requestCompleted, nullptr, MHD_OPTION_END);
  std::string launch = std::string(kProgramName) + " at " + (ipv4 ? "127.0.0.1:" : "[::1]:") +
                       port + " launch state: ";
  if (daemon != nullptr) {
    diag::normal(launch, "Success");
  } else {
    diag::warning(launch, "Fail");
  }
  return daemon;
}

// Start-up steps up to the listeners; false where the program goes to shutdown.
bool startListeners(ListenerTable& listeners) {
  std::uint32_t flags = osinfo::osFlags();
  std::string certificate;
  try {
    certificate = serverCertificate(serverKeyType(flags));
  } catch (const std::bad_alloc&) {
    QM_ALLOCATION_FAILURE();
    return false;
  }
  std::optional<SecretText> key = provideServerKey(flags);
  if (!key) {
    QM_ALLOCATION_FAILURE();
    return false;
  }
  std::string priorities = std::string(kPriorityBase) + kPriorityTls12 + kPriorityTls13;

  int started = 0;
  for (std::size_t index = 0; index < listeners.size(); ++index) {
    auto port = static_cast<std::uint16_t>(ports[index]);
    listeners[index][0] = launchListener(platform::SocketAddress::loopbackIpv4(port), kIpv4Flags,
                                         certificate.c_str(), key->c_str(), priorities.c_str());
    listeners[index][1] = launchListener(platform::SocketAddress::loopbackIpv6(port), kIpv6Flags,
                                         certificate.c_str(), key->c_str(), priorities.c_str());
    for (MHD_Daemon* daemon : listeners[index]) started += daemon != nullptr ? 1 : 0;
  }
  // The daemons loaded their credentials while starting.
  key->wipe();
  key.reset();
  certificate.clear();

  diag::normal("", "HTTPS Mode");
  if (started == 0) {
    diag::warning("KVLQuillmark initialization: ", "Fail");
    return false;
  }
  diag::normal("KVLQuillmark initialization: ", "Success");
  if (!debugStatusUpdateListener().start(kProgramName, logToggleState)) {
    diag::error("Quillmark debugStatusUpdateEvent init failed. ", kEventMissingCode);
  }
  return true;
}

bool startUp(const char* commandLine, ListenerTable& listeners) {
  installCrashHandler();
  for (auto& pair : listeners) pair.fill(nullptr);

  sharedDataFolder = cut(tool::sharedDataFolder(kProgramName), kPathLength);
  if (sharedDataFolder.empty()) {
    diag::error("Extract copy path: ", "Fail");
    return false;
  }
  logToggleState = diag::setLog(kProgramName);
  debugLine("*************************************Quillmark*********************************");
  diag::normal("Execute setting: ", "KVL");
  diag::normal("Compile time: ", build::dateTime());
  diag::normal("Git time: ", build::gitTime());

  std::string command = cut(commandLine != nullptr ? commandLine : "", kCommandLineLength);
  if (!command.empty() && command != "0") {
    debugLine(kRuleLine);
    diag::warning("Detected Quillmark crash", "");
    debugLine(kRuleLine);
  }

  std::uint32_t flags = osinfo::osFlags();
  if (flags != 0) {
    std::string environment = cut(osinfo::osName(flags), 511 - 7);
    environment += (flags & k64BitFlag) != 0 ? " 64 bit" : " 32 bit";
    diag::normal("Environment: ", environment);
  }

  setServerProcessId(platform::currentProcessId());
  // finalRelease is the server's only action; SIGTERM and SIGINT run it as the instruction does.
  ipc::receiverSettings().finalAction.store(&finalRelease);
  stopSignalsInstalled = platform::installStopSignals();

  std::string programFolder = cut(tool::programFolder(), kPathLength);
  if (programFolder.empty()) {
    diag::error("Extract execute path: ", "Fail");
    return false;
  }
  diag::normal("CopyPath: ", sharedDataFolder);
  diag::normal("Execute path: ", programFolder);

  std::sscanf(kPortList, "port=%d %d %d", &ports[0], &ports[1], &ports[2]);
  diag::normal("Support port: ", std::to_string(ports[0]) + " " + std::to_string(ports[1]) + " " +
                                     std::to_string(ports[2]));

  startIpcReceiver();

  {
    std::lock_guard<std::mutex> hold(requestPathLock());
    session::initialiseSessionTable(sharedDataFolder, programFolder);
  }
  diag::normal("Quillmark Version: ", kServerVersion);

  if (!startListeners(listeners)) return false;
  debugLine(kRuleLine);
  return true;
}

}  // namespace

void finalRelease() {
  std::lock_guard<std::mutex> hold(requestPathLock());
  // Releases every session and deletes the adapter copies of the shared data folder.
  session::releaseAllSessions();
  diag::normal("[QuillmarkFinal] ", "Release adapters success");
  diag::normal("[QuillmarkFinal] ", "Ready to suicide");
  closeRequestPath();
  readyToSuicide.store(true);
}

int runServer(const char* commandLine) {
  ListenerTable listeners{};
  if (startUp(commandLine, listeners)) {
    while (!readyToSuicide.load()) {
      if (!stopSignalsInstalled) {
        platform::sleepMs(kLoopMs);
      } else if (platform::waitStopSignal(kLoopMs)) {
        finalRelease();
      }
    }
  }
  for (auto& pair : listeners) {
    for (MHD_Daemon*& daemon : pair) {
      if (daemon != nullptr) MHD_stop_daemon(daemon);
      daemon = nullptr;
    }
  }
  debugStatusUpdateListener().stop();
  return 0;
}

}  // namespace qm::server
