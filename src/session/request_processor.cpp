#include "session/request_processor.h"

#include <string>

#include "session/channel_value.h"
#include "session/top_window.h"
#include "util/aes_text.h"
#include "util/diag.h"
#include "util/zdlog.h"

namespace qm::session {

namespace {

constexpr char kTablePathId[] = "CBE8FF3EEF8E47CAA718006350511855";
constexpr char kTableLibDir[] = "KVL";
constexpr char kTableComName[] = "KVLZDGPKICryptATLAdapter";

// Longest value kept of each request key; a longer one is cut.
constexpr std::size_t kShortValue = 63;
constexpr std::size_t kLongValue = 511;

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool isAnyOf(std::string_view name, std::initializer_list<std::string_view> names) {
  for (std::string_view n : names) {
    if (equalNoCase(name, n)) return true;
  }
  return false;
}

std::string readText(const QuillmarkJsonMap* map, const char* key, std::size_t length) {
  std::string text = qm::json::getText(map, key).value_or("");
  if (text.size() > length) text.resize(length);
  return text;
}

// Eight characters of 0-9 and A-Z followed by "_SID".
bool isSessionIdShape(std::string_view id) {
  if (id.size() != 12 || id.substr(8) != "_SID") return false;
  for (char c : id.substr(0, 8)) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

// Picks the adapter library for a new session; false (with the answer to give) when the
// request may not use the library it names.
bool chooseAdapter(const QuillmarkJsonMap* request, std::string& libDir, std::string& comName) {
  const std::string pathId = readText(request, "PathID", kLongValue);
  libDir = sanitiseName(readText(request, "LibDir", kShortValue));
  comName = sanitiseName(readText(request, "ComName", kShortValue));
  diag::normal("Adapter folder: ", libDir);
  diag::normal("Adapter name: ", comName);

  if (!pathId.empty()) {
    diag::normal("Path id mode: ", "Active");
    if (equalNoCase(pathId, kTablePathId)) {
      libDir = kTableLibDir;
      comName = kTableComName;
    }
  } else {
    diag::normal("Path id check location mode: ", "Active");
    const bool inTable = equalNoCase(libDir, kTableLibDir) && equalNoCase(comName, kTableComName);
    const char* verdict = inTable ? "Success" : "Fail";
    diag::warning("Path table compare: ", verdict);
    diag::warning("Lib: ", kTableLibDir);
    diag::warning("Component: ", kTableComName);
    if (!inTable) {
      diag::normal("Out of path table connection: ", "Reject");
      return false;
    }
    // File names are case-sensitive here: load the file the table names.
    libDir = kTableLibDir;
    comName = kTableComName;
  }
  if (libDir.empty() || comName.empty()) {
    diag::normal("No path information connection: ", "Reject");
    return false;
  }
  return true;
}

// Calls the session's adapter for the function and puts its text into the answer.
JsonMapOwner callSessionAdapter(JsonMapOwner answer, int slot, const QuillmarkJsonMap* request,
                                const std::string& functionName, std::uint32_t serverProcessId) {
  Session& s = *session(slot);
  std::optional<TopWindowMode> promotion;
  if (qm::json::getBool(request, "topuidetect")) {
    diag::normal("Set top component UI: ", "Enable");
    promotion = TopWindowMode::kComponent;
  } else if (qm::json::getBool(request, "topuialldetect")) {
    diag::normal("Set top all system UI: ", "Enable");
    promotion = TopWindowMode::kAllWindows;
  }
  if (s.callJsonMapMethod == nullptr && s.callMethod == nullptr) {
    releaseSession(slot);
    return failureAnswer(61906);
  }
  if (promotion) startTopWindowPromotion(serverProcessId, *promotion);
  const char* result = callAdapter(s, request, functionName.c_str());
  if (promotion) stopTopWindowPromotion();

  const std::string text = result ? result : "";
  if (diag::enabled()) {
    const char* heading =
        text.find('\n') != std::string::npos ? " Component result:\n" : " Component result: ";
    if (qm::json::getBool(request, "hide_result")) {
      zdlog::writeLine(5, "%s%s", heading, std::string(text.size(), '*').c_str());
    } else {
      zdlog::writeLine(5, "%s%s", heading, text.c_str());
    }
  }
  answer.set("result", text.c_str());
  return answer;
}

JsonMapOwner setChannelValue(const QuillmarkJsonMap* request) {
  std::optional<std::string> channel = qm::json::getText(request, "channel");
  std::optional<std::string> domains = qm::json::getText(request, "domain_list");
  std::optional<std::string> value = qm::json::getText(request, "value");
  const int timeout = qm::json::getInt(request, "timeout");
  int code = 61005;
  if (channel && domains && value) {
    code = channelValues().store(channel->c_str(), domains->c_str(), timeout, value->c_str());
  }
  if (value) aes::wipe(*value);
  return failureAnswer(code);
}

JsonMapOwner getChannelValue(const QuillmarkJsonMap* request, const char* origin) {
  std::optional<std::string> channel = qm::json::getText(request, "channel");
  if (!channel) return failureAnswer(61005);
  std::optional<std::string> value = channelValues().read(channel->c_str(), origin);
  if (!value) return failureAnswer(61001);
  JsonMapOwner answer = failureAnswer(value->c_str());
  aes::wipe(*value);
  return answer;
}

}  // namespace

JsonMapOwner processRequest(const QuillmarkJsonMap* request, const char* origin,
                            std::uint32_t serverProcessId) {
  if (request == nullptr || origin == nullptr) {
    QM_NULL_PARAMETER(request == nullptr ? "JsonMap" : "Origin");
    return {};
  }
  JsonMapOwner answer = JsonMapOwner::create();
  if (!answer) {
    QM_ALLOCATION_FAILURE();
    return answer;
  }
  qm::json::dumpParameters(request);

  // Find the session, or make an id for a new one. An unknown id is taken over for the new
  // session (a page keeps its id across an eviction) only when it has the shape of an id made
  // here: ids match as parts of the sent text, so a page-made "_SID" would catch every page.
  std::string sessionId = readText(request, "SessionId", kShortValue);
  std::optional<int> slot;
  if (!sessionId.empty()) slot = findSession(sessionId);
  if (!slot && !sessionId.empty() && !isSessionIdShape(sessionId)) sessionId.clear();
  if (!slot && sessionId.empty()) {
    diag::normal("Generate new session id", "");
    sessionId = newSessionId();
    answer.set("SessionID", sessionId.c_str());
  }
  diag::normal("Session id: ", sessionId);

  const std::string functionName = readText(request, "FunctionName", kLongValue);
  const bool isEcho = isAnyOf(functionName, {"QuillmarkEcho", "Echo"});

  // No session yet: open one (closing calls have nothing to close).
  if (!slot) {
    if (isAnyOf(functionName, {"QuillmarkClose", "QuillmarkForceRelease", "QuillmarkRelease"})) {
      diag::normal("No specific adapter to release", "");
      return answer;
    }
    OpenRequest open;
    if (!chooseAdapter(request, open.libDir, open.comName)) return failureAnswer(61009);
    open.id = sessionId;
    open.origin = origin;
    open.installerName = readText(request, "InstallerName", kLongValue);
    open.minServerVersion = readText(request, "minServerVersion", kShortValue);
    open.minLibVersion = readText(request, "minLibVersion", kShortValue);
    slot = openSession(answer, open);
    if (!slot) return answer;
    if (isEcho) {
      session(*slot)->browserMode = qm::json::getInt(request, "QuillmarkMode") == 1 ? 1 : 0;
      answer.setResult(0);
      return answer;
    }
    return callSessionAdapter(std::move(answer), *slot, request, functionName, serverProcessId);
  }

  // An open session: built-ins first, everything else goes to its adapter.
  diag::normal("Find the loaded adapter", "");
  Session& s = *session(*slot);
  if (equalNoCase(functionName, "QuillmarkForceRelease")) {
    diag::normal("Force release: ", "Active");
    releaseSession(slot);
    return answer;
  }
  if (isAnyOf(functionName, {"QuillmarkClose", "QuillmarkRelease"})) {
    if (s.browserMode == 0) {
      releaseSession(slot);
    } else {
      diag::normal("[Browser mode] Skip release process", "");
    }
    return answer;
  }
  if (equalNoCase(functionName, "setQuillmarkValue")) return setChannelValue(request);
  if (equalNoCase(functionName, "getQuillmarkValue")) return getChannelValue(request, origin);
  if (isEcho) {
    diag::normal("Browser mode: ", "Active");
    answer.set("ServerVersion", kServerVersion);
    answer.set("LibVersion", s.adapterVersion.c_str());
    if (s.installerVersion) answer.set("InstallerVersion", s.installerVersion->c_str());
    answer.setResult(0);
    return answer;
  }
  return callSessionAdapter(std::move(answer), *slot, request, functionName, serverProcessId);
}

}  // namespace qm::session
