#include "util/ipc_message.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/channel.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "util/aes_text.h"
#include "util/diag.h"
#include "util/json_map.h"
#include "util/os_info.h"
#include "util/tool.h"

namespace qm::ipc {

namespace {

// Shared by every deliverable; only ever mixed into the digest.
constexpr unsigned char kSecret[71] = {
    0xEC, 0xF4, 0x25, 0x20, 0xD4, 0xF9, 0xE9, 0x5C, 0x09, 0xFC, 0xC4, 0x4E, 0xE4, 0xF0, 0x91,
    0x26, 0xA6, 0xE8, 0x26, 0x67, 0xA4, 0x1F, 0xFA, 0x19, 0xBD, 0x39, 0x06, 0x0A, 0xFB, 0x48,
    0x3F, 0x3D, 0x0E, 0x22, 0x66, 0x91, 0xCE, 0x28, 0xE7, 0x0D, 0x6A, 0xC9, 0x75, 0xA7, 0x37,
    0x6E, 0x4B, 0xD3, 0xD3, 0xF7, 0xF2, 0xF1, 0xBE, 0xBC, 0xF3, 0x77, 0xCF, 0x8C, 0x96, 0xDC,
    0x3C, 0x7B, 0x75, 0xF0, 0xE7, 0x08, 0x9B, 0x40, 0x48, 0xB7, 0x49};
static_assert(sizeof kSecret == 71);

constexpr std::size_t kPieceStart[4] = {0, 3, 7, 11};
constexpr std::size_t kPieceLength[4] = {3, 4, 4, 5};
constexpr std::size_t kTimeValueLength = 16;
constexpr std::size_t kChannelLogLength = 255;
constexpr int kLockSignalMs = 100;
constexpr int kPollRestMs = 50;
constexpr int kAfterActionMs = 100;
constexpr int kStartupPauseMs = 500;
constexpr std::uint32_t kWindowsXpFlag = 0x1;

constexpr char kCatastrophic[] = "[Catastrophic failure] Start Windows API IPC message receiver: ";

// The start, stop and restart instructions share one shape.
struct ActionInstruction {
  const char* name;
  std::atomic<Action> ReceiverSettings::*action;
  const char* lockModeText;
  const char* executeText;
  const char* missingText;
};

constexpr ActionInstruction kActionInstructions[] = {
    {kStart, &ReceiverSettings::startAction, "Recivie start message", "Execute start function",
     "No start function"},
    {kStop, &ReceiverSettings::stopAction, "Recivie stop message", "Execute stop function",
     "No stop function"},
    {kRestart, &ReceiverSettings::restartAction, "Recivie restart message",
     "Execute restart function", "No restart function"},
};

std::mutex senderMutex;
std::string& senderText() {
  static auto* text = new std::string();  // never destroyed: receiver threads outlive main
  return *text;
}

void runAction(const ActionInstruction& entry) {
  Action action = (receiverSettings().*entry.action).load();
  if (action != nullptr) {
    diag::normal(entry.executeText, "");
    action();
  } else {
    diag::normal(entry.missingText, "");
  }
}

const ActionInstruction* findAction(std::string_view name) {
  for (const ActionInstruction& entry : kActionInstructions) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

void append(std::string& out, const std::optional<std::string>& field) {
  if (field) out += *field;
}

// A group of the padded time text: spaces, then hexadecimal digits (anything else ends it).
std::uint64_t hexGroup(std::string_view group) {
  std::size_t i = 0;
  while (i < group.size() && group[i] == ' ') ++i;
  std::uint64_t value = 0;
  for (; i < group.size(); ++i) {
    char c = group[i];
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (d < 0) break;
    value = value * 16 + static_cast<std::uint64_t>(d);
  }
  return value;
}

std::string hexValue(std::uint64_t value) {
  return tool::timeValueText(value);
}

void sessionLoss() {
  ReceiverSettings& settings = receiverSettings();
  if (std::atomic<bool>* inactive = settings.sessionInactive.load()) {
    inactive->store(true);
  } else if (Action final = settings.finalAction.load()) {
    final();
  } else {
    platform::exitProcess(0);
  }
}

void sessionBack() {
  if (std::atomic<bool>* inactive = receiverSettings().sessionInactive.load()) {
    inactive->store(false);
  }
}

void channelReceiverThread(std::string channel) {
  platform::ChannelReceiver::OpenStatus status;
  std::unique_ptr<platform::ChannelReceiver> receiver =
      platform::ChannelReceiver::open(channel, &status);
  if (!receiver) {
    diag::warning(kCatastrophic, "Fail");
    return;
  }
  diag::normal("Windows API IPC message channel: ", channel);
  diag::normal("Start Windows API IPC message receiver: ", "Success");

  platform::ChannelReceiver::Handlers handlers;
  handlers.message = [](std::string_view bytes) { handleMessageFrame(bytes); };
  handlers.sessionChange = [](int code) { handleSessionChange(code); };
  handlers.refused = [](std::string_view what) { diag::warning("IPC frame dropped: ", what); };
  handlers.noSessionWatch = [](std::string_view why) {
    // Machines without a system bus are common: say it once per process.
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) diag::normal("Session change notification: ", why);
  };
  receiver->run(handlers);
  diag::warning(kCatastrophic, "Fail");
}

void lockModePoller(std::string channel) {
  ReceiverSettings& settings = receiverSettings();
  static constexpr const char* kPolled[] = {kSuicide, kMonitorStart, kStart, kStop, kRestart};
  std::string names[std::size(kPolled)];
  for (std::size_t i = 0; i < std::size(kPolled); ++i) names[i] = channel + kPolled[i];

  while (!settings.stopPolling.load()) {
    for (std::size_t i = 0; i < std::size(kPolled); ++i) {
      if (std::optional<platform::NamedLock> free = tool::getMutexLock(names[i].c_str(), 0)) {
        continue;  // nobody is signalling; released as it goes out of scope
      }
      std::string_view instruction = kPolled[i];
      if (instruction == kSuicide) {
        diag::normal("IPC Message Lock Mode: ", "Recivie Suicide message");
        if (Action final = settings.finalAction.load()) {
          diag::normal("IPC Message Lock Mode: ", "Exec final function");
          final();
        }
        platform::exitProcess(0);
      } else if (instruction == kMonitorStart) {
        diag::normal("IPC Message Lock Mode: ", "Recivie MonitorStart message");
        tool::workerStart();
        platform::sleepMs(kAfterActionMs);
      } else if (const ActionInstruction* entry = findAction(instruction)) {
        diag::normal("IPC Message Lock Mode: ", entry->lockModeText);
        runAction(*entry);
        platform::sleepMs(kAfterActionMs);
      }
    }
    platform::sleepMs(kPollRestMs);
  }
}

}  // namespace

std::array<std::string, 4> timePieces(std::string_view text) {
  std::array<std::string, 4> pieces;
  for (std::size_t i = 0; i < 4; ++i) {
    if (kPieceStart[i] < text.size()) pieces[i] = text.substr(kPieceStart[i], kPieceLength[i]);
  }
  return pieces;
}

std::string digest(const MessageRecord& record) {
  std::string data;
  try {
    append(data, record.from);
    append(data, record.to);
    for (const auto& piece : record.time) append(data, piece);
    data.append(reinterpret_cast<const char*>(kSecret), sizeof kSecret);
    append(data, record.instruction);
    append(data, record.message);
  } catch (const std::bad_alloc&) {
    aes::wipe(data);
    QM_ALLOCATION_FAILURE();
    return {};
  }
  unsigned char hash[64];
  int rc = gnutls_hash_fast(GNUTLS_DIG_SHA512, data.data(), data.size(), hash);
  aes::wipe(data);
  if (rc != GNUTLS_E_SUCCESS) return {};
  return tool::hexEncode(std::string_view(reinterpret_cast<const char*>(hash), sizeof hash));
}

MessageRecord makeMessage(std::string_view from, std::string_view to, std::string_view instruction,
                          std::string_view timeValueText) {
  MessageRecord record;
  record.from = std::string(from);
  record.to = std::string(to);
  record.instruction = std::string(instruction);
  record.message = std::string();
  std::array<std::string, 4> pieces = timePieces(timeValueText);
  for (std::size_t i = 0; i < 4; ++i) record.time[i] = std::move(pieces[i]);
  record.hash = digest(record);
  if (record.hash->empty()) record.hash.reset();
  return record;
}

std::optional<std::string> formatMessage(const MessageRecord& record) {
  if (!record.from || !record.to || !record.message || !record.hash) return std::nullopt;
  std::string time;
  for (const auto& piece : record.time) append(time, piece);
  return "{\"From\":\"" + *record.from + "\", \"To\":\"" + *record.to + "\", \"Instruction\":\"" +
         record.instruction.value_or("") + "\", \"Message\":\"" + *record.message +
         "\", \"TimeValue\":\"" + time + "\", \"HashValue\":\"" + *record.hash + "\"}";
}

MessageRecord readMessage(const char* text) {
  MessageRecord record;
  if (text == nullptr) return record;
  record.from = json::readKey(text, "From");
  record.to = json::readKey(text, "To");
  record.instruction = json::readKey(text, "Instruction");
  record.message = json::readKey(text, "Message");
  if (std::optional<std::string> time = json::readKey(text, "TimeValue")) {
    std::array<std::string, 4> pieces =
        timePieces(std::string_view(*time).substr(0, kTimeValueLength));
    for (std::size_t i = 0; i < 4; ++i) record.time[i] = std::move(pieces[i]);
  }
  record.hash = json::readKey(text, "HashValue");
  return record;
}

bool verifyMessage(const MessageRecord& record, std::uint64_t now) {
  std::string joined;
  for (const auto& piece : record.time) append(joined, piece);
  std::string padded = tool::padLeft(joined, kTimeValueLength, ' ');
  std::uint64_t messageTime = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    messageTime = (messageTime << (4 * kPieceLength[i])) +
                  hexGroup(std::string_view(padded).substr(kPieceStart[i], kPieceLength[i]));
  }
  if (now - messageTime > kReplayWindow) {
    diag::warning("QuillmarkMessage now time value: ", hexValue(now));
    diag::warning("QuillmarkMessage message time value: ", hexValue(messageTime));
    diag::warning("QuillmarkMessage verify fail: ", "Replay attack");
    return false;
  }
  bool same = record.hash && *record.hash == digest(record);
  if (diag::enabled()) {
    if (same) {
      diag::normal("QuillmarkMessage verify state: ", "Success");
    } else {
      diag::warning("QuillmarkMessage verify state: ", "Fail");
    }
  }
  return same;
}

bool verifyMessage(const MessageRecord& record) {
  return verifyMessage(record, tool::timeValue());
}

ReceiverSettings& receiverSettings() {
  static auto* settings = new ReceiverSettings();  // never destroyed: see senderText
  return *settings;
}

void setSenderName(std::string_view name) {
  std::lock_guard hold(senderMutex);
  senderText() = name;
}

std::string senderName() {
  std::lock_guard hold(senderMutex);
  return senderText();
}

void startReceiver(const char* channel) {
  if (channel == nullptr) {
    QM_NULL_PARAMETER("kcstrChannel");
    return;
  }
  try {
    std::thread(channelReceiverThread, std::string(channel)).detach();
    std::thread(lockModePoller, std::string(channel)).detach();
  } catch (const std::exception&) {
    QM_ALLOCATION_FAILURE();
    return;
  }
  if ((osinfo::osFlags() & kWindowsXpFlag) != 0) {
    diag::normal("IPC mode: ", "Windows API mode");
  } else {
    diag::normal("IPC mode: ", "Cross platform + Windows API mode");
    platform::sleepMs(kStartupPauseMs);
  }
}

bool sendMessage(const char* channel, const char* instruction) {
  if (channel == nullptr) {
    QM_NULL_PARAMETER("kcstrInputTo");
    return false;
  }
  if (instruction == nullptr || *instruction == '\0') {
    diag::warning("[Warning] ", "Instruction is empty");
    return false;
  }
  diag::normal("Send message mode: ", "Windows api mode");
  bool sent = sendIPCMessage(senderName().c_str(), channel, instruction);
  if (diag::enabled()) {
    if (sent) {
      diag::normal("Send message final result: ", "Success");
    } else {
      diag::error("Send message final result: ", "Fail");
    }
  }
  return true;
}

bool sendIPCMessage(const char* sender, const char* channel, const char* instruction) {
  if (sender == nullptr || channel == nullptr || instruction == nullptr) {
    QM_NULL_PARAMETER(sender == nullptr    ? "kcstrInputFrom"
                      : channel == nullptr ? "kcstrInputTo"
                                           : "kcstrInputInstruction");
    return false;
  }
  diag::normal("sendIPCMsgWin: ", "Windows API Mode");
  MessageRecord record = makeMessage(sender, channel, instruction, tool::timeValueText());
  std::optional<std::string> text = formatMessage(record);
  if (text) text->push_back('\0');  // the receiver expects the terminating zero
  // One connection both finds the receiver and delivers.
  platform::ChannelSend sent = text ? platform::sendChannelMessage(channel, *text)
                               : platform::channelExists(channel)
                                   ? platform::ChannelSend::kFailed
                                   : platform::ChannelSend::kNoReceiver;
  switch (sent) {
    case platform::ChannelSend::kDelivered:
    case platform::ChannelSend::kEnded:  // its handler ended the receiver (a Suicide does)
      break;
    case platform::ChannelSend::kNoReceiver:
      diag::error("sendIPCMsgWin can't find window ",
                  std::string_view(channel).substr(0, kChannelLogLength));
      break;
    case platform::ChannelSend::kFailed:
      diag::warning("sendIPCMsgWin no acknowledgement from ", channel);
      break;
  }

  diag::normal("sendIPCMsgWin: ", "Lock Mode");
  std::string lockName = std::string(channel) + instruction;
  std::optional<platform::NamedLock> signal = tool::getMutexLock(lockName.c_str(), kLockSignalMs);
  platform::sleepMs(kLockSignalMs);
  return true;
}

void handleMessageFrame(std::string_view bytes) {
  std::size_t end = bytes.find('\0');
  if (bytes.empty() || end == std::string_view::npos) {
    diag::warning("IPC frame dropped: ", bytes.empty() ? "empty" : "text without terminating zero");
    return;
  }
  MessageRecord record;
  try {
    record = readMessage(std::string(bytes.substr(0, end)).c_str());
  } catch (const std::bad_alloc&) {
    QM_ALLOCATION_FAILURE();
    return;
  }
  if (!verifyMessage(record)) {
    diag::warning("[Warning] ", "Verify QuillmarkMessage fail");
    return;
  }
  const std::string instruction = record.instruction.value_or("");
  diag::normal("Receive COPYDATA message: ", instruction);
  if (instruction == kSuicide) {
    diag::normal("Receive message: ", instruction);
    ReceiverSettings& settings = receiverSettings();
    settings.stopPolling.exchange(true);
    if (Action final = settings.finalAction.load()) {
      diag::normal("Execute final function", "");
      final();
    } else {
      diag::normal("Execute exit", "");
      platform::exitProcess(0);
    }
  } else if (const ActionInstruction* entry = findAction(instruction)) {
    diag::normal("Receive message: ", instruction);
    runAction(*entry);
  } else {
    diag::normal("Receive UNKNOW instruction: ", instruction);
    diag::normal("Receive UNKNOW message: ", record.message.value_or(""));
  }
}

void handleSessionChange(int code) {
  switch (code) {
    case platform::kSessionConsoleConnect:
      diag::normal("Receive connect signal", "");
      sessionBack();
      break;
    case platform::kSessionConsoleDisconnect:
      diag::normal("Receive disconnect signal", "");
      sessionLoss();
      break;
    case platform::kSessionRemoteConnect:
      diag::normal("Receive remote connect signal", "");
      sessionBack();
      break;
    case platform::kSessionRemoteDisconnect:
      diag::normal("Receive remote disconnect signal", "");
      sessionLoss();
      break;
    case platform::kSessionLock:
      diag::normal("Receive windows lock signal", "");
      sessionLoss();
      break;
    case platform::kSessionUnlock:
      diag::normal("Receive windows unlock signal", "");
      sessionBack();
      break;
    default:
      diag::normal("Receive unknow system signal: ", code);
      break;
  }
}

}  // namespace qm::ipc
