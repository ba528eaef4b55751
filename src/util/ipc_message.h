// Instructions between the programs: signed JSON messages delivered to a named channel, and the
// same instructions signalled by holding per-user named locks ("lock mode"). A listening program
// sets its actions, then starts the receiver, which also reports the user's session changes.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm::ipc {

// Channels.
inline constexpr char kServerChannel[] = "KVLQuillmark.exe";
inline constexpr char kMonitorWindowChannel[] = "KVLQuillmarkMonitor.exe";
inline constexpr char kMonitorChannel[] = "KVLMonitor";
inline constexpr char kWatchdogChannel[] = "KVLQuillmarkWatchdog";

// Instructions.
inline constexpr char kStart[] = "QuillmarkInstruction_Start";
inline constexpr char kStop[] = "QuillmarkInstruction_Stop";
inline constexpr char kRestart[] = "QuillmarkInstruction_Restart";
inline constexpr char kSuicide[] = "QuillmarkInstruction_Suicide";
inline constexpr char kMonitorStart[] = "QuillmarkInstruction_MonitorStart";

// Seconds a message may be older than the receiver's clock.
inline constexpr std::uint64_t kReplayWindow = 2;

// One message; a missing field is nullopt (an empty received value counts as missing).
struct MessageRecord {
  std::optional<std::string> from;
  std::optional<std::string> to;
  std::optional<std::string> instruction;
  std::optional<std::string> message;
  std::array<std::optional<std::string>, 4> time;  // characters 0-2, 3-6, 7-10, 11-15
  std::optional<std::string> hash;
};

// The four pieces of a time value text; pieces beyond its end are empty.
std::array<std::string, 4> timePieces(std::string_view timeValueText);

// SHA-512 over From, To, the time pieces, the shared secret, Instruction and Message (missing
// fields add nothing), as 128 upper-case hexadecimal characters; "" when hashing fails.
std::string digest(const MessageRecord& record);

// A signed record with an empty Message, stamped with the time value text.
MessageRecord makeMessage(std::string_view from, std::string_view to, std::string_view instruction,
                          std::string_view timeValueText);

// {"From":"..", "To":"..", "Instruction":"..", "Message":"..", "TimeValue":"..", "HashValue":".."}
// with the values as they stand; nullopt when From, To, Message or HashValue is missing.
std::optional<std::string> formatMessage(const MessageRecord& record);

// The record in a received text (first 16 characters of TimeValue).
MessageRecord readMessage(const char* text);

// Time check against `now` (at most kReplayWindow seconds old, not from the future), then the
// digest, compared case-sensitively. Failures are logged.
bool verifyMessage(const MessageRecord& record, std::uint64_t now);
bool verifyMessage(const MessageRecord& record);

// ---- receiver settings, process-wide ----
using Action = void (*)();

struct ReceiverSettings {
  std::atomic<Action> startAction{nullptr};
  std::atomic<Action> stopAction{nullptr};
  std::atomic<Action> restartAction{nullptr};
  // Suicide, and session loss when no session-inactive flag is set.
  std::atomic<Action> finalAction{nullptr};
  // Set on session loss, cleared when the session comes back; null: session loss acts.
  std::atomic<std::atomic<bool>*> sessionInactive{nullptr};
  // Ends the lock-mode pollers after their current pass.
  std::atomic<bool> stopPolling{false};
};

ReceiverSettings& receiverSettings();

// The sender name of sendMessage and of the stop helper's log lines: the program's own name.
void setSenderName(std::string_view name);
std::string senderName();

// Starts the channel receiver and the lock-mode poller on two detached threads.
void startReceiver(const char* channel);

// Sends the instruction with the program's own sender name; true when both arguments are there.
bool sendMessage(const char* channel, const char* instruction);

// Delivers the signed message to the channel (when a receiver listens), then signals the
// instruction in lock mode for about 100 ms. True unless an argument is null.
bool sendIPCMessage(const char* sender, const char* channel, const char* instruction);

// What the receiver does with one received frame and one session change (its thread calls
// these; tests may too).
void handleMessageFrame(std::string_view bytes);
void handleSessionChange(int code);

}  // namespace qm::ipc
