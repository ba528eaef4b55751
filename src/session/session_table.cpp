#include "session/session_table.h"

#include <array>
#include <ctime>
#include <filesystem>
#include <limits>
#include <system_error>

#include "platform/files.h"
#include "platform/locks.h"
#include "platform/paths.h"
#include "session/channel_value.h"
#include "util/diag.h"
#include "util/tool.h"

namespace qm::session {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kNoStamp = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kVersionLength = 63;
constexpr std::size_t kInstallerNameLength = 511;
constexpr char kMarkerName[] = "KVLQuillmarkMainVersion";
constexpr char kMarkerText[] = "Quillmark version=1.0.23.0510";
// Held by the one live server that owns <shared data>/Tempfile; its death releases it.
constexpr char kAreaLockName[] = "KVLQuillmarkSessionArea";

// Process-wide, unguarded: the server lets one request at a time in.
struct Table {
  std::array<Session, kSessionSlots> slots;
  std::array<std::uint64_t, kSessionSlots> stamps;
  std::uint64_t counter = 0;
  std::string sharedDataFolder;
  std::string programFolder;
  std::optional<platform::NamedLock> areaLock;
};

Table& table() {
  static Table instance = [] {
    Table t;
    t.stamps.fill(kNoStamp);
    return t;
  }();
  return instance;
}

std::string cut(std::string text, std::size_t length) {
  if (text.size() > length) text.resize(length);
  return text;
}

std::string sessionArea() {
  return table().sharedDataFolder + "/Tempfile";
}

// Takes the session area when no other live server owns it. A server that started beside a
// live one may take it later, once that one has gone, so that no third server wipes its copies.
bool ownSessionArea() {
  Table& t = table();
  if (!t.areaLock) t.areaLock = tool::getMutexLock(kAreaLockName, 0);
  return t.areaLock.has_value();
}

// The file name a Windows library name stands for here: "X.dll" -> "X.so".
std::string libraryFile(const std::string& comName) {
  return platform::libraryName(comName + ".dll");
}

std::int64_t now() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

// Maps made here for the opening handshake and the release: no source text.
JsonMapOwner handshakeMap(const char* functionName, const char* index, const char* url) {
  JsonMapOwner map = JsonMapOwner::create();
  if (!map) return map;
  map.set("functionname", functionName);
  if (url != nullptr) map.set("url", url);
  map.set("AdapterJsonKeyCheck", "true");
  map.set("QuillmarkFunctionIndex", index);
  return map;
}

// JSON text of a map for the string entry point. Its reader undoes \" \r \n \t and a few \u
// escapes; a backslash is written doubled so that the text stays well formed.
std::string jsonText(const QuillmarkJsonMap* map) {
  auto quoted = [](const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
      unsigned char c = static_cast<unsigned char>(*p);
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          if (c < 0x20) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
          } else {
            out += static_cast<char>(c);
          }
      }
    }
    return out + "\"";
  };
  std::string text = "{";
  for (int i = 0; i < map->count && i < qm::json::kCapacity; ++i) {
    const QuillmarkJsonEntry& entry = map->entries[i];
    if (entry.key == nullptr || entry.value == nullptr) continue;
    if (text.size() > 1) text += ",";
    text += quoted(entry.key) + ":" + quoted(entry.value);
  }
  return text + "}";
}

std::optional<int> oldestSlot() {
  const Table& t = table();
  std::optional<int> oldest;
  for (int slot = 0; slot < kSessionSlots; ++slot) {
    if (t.stamps[slot] == kNoStamp) continue;
    if (!oldest || t.stamps[slot] < t.stamps[*oldest]) oldest = slot;
  }
  return oldest;
}

void logExists(const char* label, const std::string& path) {
  if (platform::fileTest(path)) {
    diag::normal(label, "Exist");
  } else {
    diag::error(label, "Not Exist");
  }
}

// Removes the adapter copies ("*.so") directly inside `folder`.
void deleteLibraries(const fs::path& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    if (it->path().extension() == ".so" && !it->is_directory(typeError)) {
      fs::remove(it->path(), typeError);
    }
  }
}

}  // namespace

JsonMapOwner failureAnswer(const char* result) {
  JsonMapOwner answer = JsonMapOwner::create();
  if (!answer) {
    QM_ALLOCATION_FAILURE();
    return answer;
  }
  answer.set("result", result);
  return answer;
}

JsonMapOwner failureAnswer(int code) {
  return failureAnswer(std::to_string(code).c_str());
}

bool initialiseSessionTable(const std::string& sharedDataFolder, const std::string& programFolder) {
  diag::setLog("QuillmarkSession");
  Table& t = table();
  for (Session& s : t.slots) s = Session{};
  t.stamps.fill(kNoStamp);
  t.sharedDataFolder = sharedDataFolder;
  t.programFolder = programFolder;
  std::error_code ec;
  if (!sharedDataFolder.empty()) fs::create_directories(sharedDataFolder, ec);

  channelValues().initialise();

  std::string marker = sharedDataFolder.empty() ? "" : sharedDataFolder + "/" + kMarkerName;
  if (marker.empty() || !platform::writeTextFile(marker, kMarkerText)) {
    diag::warning("Write Quillmark version: ", "Fail");
  }
  if (sharedDataFolder.empty()) return false;

  // A crashed run may have left copies behind; the area is rebuilt at every start, but never
  // under a live server, whose sessions run from the copies in it.
  if (ownSessionArea()) {
    fs::remove_all(sessionArea(), ec);
  } else {
    diag::warning("Session area kept, in use by another server: ", sessionArea());
  }
  fs::create_directories(sessionArea(), ec);
  for (int slot = 0; slot < kSessionSlots; ++slot) fs::create_directory(sessionFolder(slot), ec);
  return platform::folderExists(sessionArea());
}

void releaseAllSessions() {
  diag::normal("[QuillmarkFinal] ", "Start release all adapters");
  while (std::optional<int> slot = oldestSlot()) {
    diag::normal("Release session index: ", *slot);
    releaseSession(slot);
  }
  // Copies whose deletion failed during the run (and stale ones) go now; those of another live
  // server stay.
  const Table& t = table();
  if (t.sharedDataFolder.empty() || !ownSessionArea()) return;
  deleteLibraries(t.sharedDataFolder);
  for (int slot = 0; slot < kSessionSlots; ++slot) deleteLibraries(sessionFolder(slot));
}

std::optional<int> findSession(std::string_view id) {
  const Table& t = table();
  for (int slot = 0; slot < kSessionSlots; ++slot) {
    const std::string& slotId = t.slots[slot].id;
    if (!slotId.empty() && id.find(slotId) != std::string_view::npos) return slot;
  }
  return std::nullopt;
}

std::string newSessionId() {
  const Table& t = table();
  for (;;) {
    std::string id = tool::instanceTag();
    bool used = false;
    for (int slot = 0; slot < kSessionSlots && !used; ++slot) {
      if (t.slots[slot].id == id) {
        diag::normal("Session id collision index: ", slot);
        used = true;
      }
    }
    if (!used) return id;
  }
}

std::optional<int> openSession(JsonMapOwner& answer, const OpenRequest& request) {
  Table& t = table();
  if (request.id.empty()) return std::nullopt;  // an id-less slot would count as free

  // A free slot, else the oldest session makes room.
  std::optional<int> free;
  for (int slot = 0; slot < kSessionSlots && !free; ++slot) {
    if (t.slots[slot].id.empty()) free = slot;
  }
  if (!free) {
    diag::warning("Quillmark slot is full, release the oldest one", "");
    free = oldestSlot();
    if (!free) {
      diag::warning("Get the oldest SessionIndex fail", "");
      return std::nullopt;
    }
    diag::normal("Release session index: ", *free);
    releaseSession(free);
  }
  const int slot = *free;
  Session& s = t.slots[slot];
  ownSessionArea();  // claimed late when this server started beside a live one

  // Stamp and identity.
  t.stamps[slot] = t.counter++;
  diag::normal("Session index: ", slot);
  s.id = request.id;
  s.startTime = now();
  diag::normal("Init time: ", static_cast<long long>(s.startTime));

  // Copy and load; the installed file is the fall-back.
  const std::string file = libraryFile(request.comName);
  const std::string installed = t.programFolder + "/" + request.libDir + "/" + file;
  const std::string copy = sessionFolder(slot) + "/" + file;
  diag::normal("Original adapter: ", installed);
  diag::normal("Copy adapter: ", copy);

  std::error_code copyError;
  const bool copied =
      fs::copy_file(installed, copy, fs::copy_options::none, copyError) && !copyError;
  std::string loadError;
  if (copied) {
    diag::normal("Copy adapter state: ", "Success");
    s.library = platform::DynamicLibrary::open(copy, &loadError);
    if (s.library) {
      diag::normal("Copied adapter: ", "Active");
      s.loadedPath = copy;
      s.loadedCopy = true;
    } else {
      diag::warning("Copied adapter: ", "Inactive");
    }
  } else {
    diag::warning("Copy adapter state: ", "Fail");
  }
  if (!s.library) {
    s.library = platform::DynamicLibrary::open(installed, &loadError);
    if (s.library) {
      diag::normal("Origin adapter: ", "Active");
      s.loadedPath = installed;
      s.loadedCopy = false;
    } else {
      diag::warning("Origin adapter: ", "Inactive");
      if (diag::enabled()) {
        logExists("Origin adpater: ", installed);
        logExists("Copied adpater: ", copy);
      }
      diag::warning("Adapter load error reason: ", loadError);
      diag::normal("Release session index: ", slot);
      if (copied) fs::remove(copy, copyError);
      releaseSession(slot);
      answer = failureAnswer(61902);
      return std::nullopt;
    }
  }
  // A copy that would not load would block this slot's copies for the rest of the run.
  if (copied && !s.loadedCopy) fs::remove(copy, copyError);

  // Bind the exports.
  s.adapterName = request.comName;
  s.callMethod = s.library->function<CallMethodFn>("callMethod");
  s.callJsonMapMethod = s.library->function<CallJsonMapMethodFn>("callJsonMapMethod");
  if (diag::enabled()) {
    diag::normal("Json string callMethod: ", s.callMethod ? "Active" : "Inactive");
    diag::normal("Json map callMethod: ", s.callJsonMapMethod ? "Active" : "Inactive");
  }
  if (s.callMethod == nullptr && s.callJsonMapMethod == nullptr) {
    diag::warning("All callMethod load fail", "");
    releaseSession(slot);
    answer = failureAnswer(61906);
    return std::nullopt;
  }
  if (s.callJsonMapMethod != nullptr) {
    diag::normal("Json map init: ", "Active");
  } else {
    diag::normal("Json string init: ", "Active");
  }

  // Unlock.
  {
    JsonMapOwner unlock = handshakeMap("Quillmark_Unlock", "-2", request.origin.c_str());
    const char* result = callAdapter(s, unlock.get(), "Quillmark_Unlock");
    std::string text = result ? result : "";
    if (text != "0") {
      diag::warning("Unlock result: ", text);
      releaseSession(slot);
      answer = failureAnswer(text.c_str());
      return std::nullopt;
    }
    diag::normal("Unlock: ", "Success");
  }

  // Version query; a code in the adapter's error range ends the opening.
  std::string version;
  {
    JsonMapOwner query = handshakeMap("Quillmark_GetVersion", "-1", nullptr);
    const char* result = callAdapter(s, query.get(), "Quillmark_GetVersion");
    version = cut(result ? result : "", kVersionLength);
  }
  if (version.empty()) {
    diag::warning("Init adapter: ", "Fail");
    releaseSession(slot);
    return std::nullopt;
  }
  s.adapterVersion = version;
  const int number = tool::decimalConversion(version.c_str(), false);
  if (!tool::lastConversionFailed() && number >= 61000 && number <= 61999) {
    diag::warning("Parse component version error: ", number);
    releaseSession(slot);
    answer = failureAnswer(number);
    return std::nullopt;
  }
  diag::normal("Extract component version: ", "Success");

  // Version checks: the minimum must not be above the real version.
  const std::string installerName = sanitiseName(cut(request.installerName, kInstallerNameLength));
  const std::string minServer = cut(request.minServerVersion, kVersionLength);
  std::string minLib = cut(request.minLibVersion, kVersionLength);
  if (minLib.empty()) minLib = "0.0.0.0";
  auto passes = [](const std::string& minimum, const std::string& real) {
    int order = tool::versionCompare(minimum.c_str(), real.c_str());
    return order == 0 || order == -1;
  };

  answer.set("ServerVersion", kServerVersion);
  answer.set("LibVersion", version.c_str());
  diag::warning("Mini server version: ", minServer);
  diag::warning("Real server version: ", kServerVersion);
  if (!passes(minServer, kServerVersion)) {
    diag::warning("Verify server version: ", "Fail");
    releaseSession(slot);
    answer = failureAnswer(61203);
    return std::nullopt;
  }
  diag::normal("Verify server version: ", "Pass");

  diag::warning("Mini adapter version: ", minLib);
  diag::warning("Real adapter version: ", version);
  if (!passes(minLib, version)) {
    diag::warning("Verify adapter version: ", "Fail");
    releaseSession(slot);
    answer = failureAnswer(61204);
    return std::nullopt;
  }
  diag::normal("Verify adapter version: ", "Pass");

  // Installer version file of the named installer.
  if (!installerName.empty()) {
    diag::normal("InstallerName: ", installerName);
    std::string file = tool::stripExe(t.sharedDataFolder + "/" + installerName + "Version.txt");
    diag::normal("InstallerVersionFile: ", file);
    std::string installerVersion =
        cut(tool::readTextFile(file.c_str()).value_or(""), kVersionLength);
    diag::normal("InstallerVersion: ", installerVersion);
    answer.set("InstallerVersion", installerVersion.c_str());
    s.installerVersion = installerVersion;
  }
  return slot;
}

void releaseSession(std::optional<int> slot) {
  if (!slot || *slot < 0 || *slot >= kSessionSlots) return;
  Table& t = table();
  Session& s = t.slots[*slot];
  t.stamps[*slot] = kNoStamp;
  if (s.id.empty()) return;

  s.browserMode = 0;
  diag::normal("Release Session id: ", s.id);
  diag::normal("Release AdapterName: ", s.adapterName);
  diag::normal("Release Adapter Version: ", s.adapterVersion);
  diag::normal("Release Installer Version: ", s.installerVersion.value_or(""));
  s.id.clear();
  s.adapterName.clear();
  s.adapterVersion.clear();
  s.installerVersion.reset();

  {
    JsonMapOwner release = handshakeMap("Quillmark_Release", "-3", nullptr);
    callAdapter(s, release.get(), "Quillmark_Release");
  }
  s.callMethod = nullptr;
  s.callJsonMapMethod = nullptr;
  s.startTime = 0;

  if (s.library) {
    s.library->close();
    s.library.reset();
  } else {
    diag::warning("FreeLibrary: ", "NULL");
  }
  if (diag::enabled()) diag::normal("Release adapter state: ", "Success");

  // Only the session copy goes; the installed library stays.
  if (s.loadedCopy) {
    std::error_code ec;
    const bool deleted = fs::remove(s.loadedPath, ec) && !ec;
    if (diag::enabled()) {
      if (deleted) {
        diag::normal("Delete adapter state: ", "Success");
      } else {
        diag::warning("Delete adapter state: ", "Fail");
      }
    }
  }
  s.loadedPath.clear();
  s.loadedCopy = false;
}

Session* session(int slot) {
  if (slot < 0 || slot >= kSessionSlots) return nullptr;
  Session& s = table().slots[slot];
  return s.id.empty() ? nullptr : &s;
}

const char* callAdapter(Session& session, const QuillmarkJsonMap* map, const char* functionName) {
  if (session.callJsonMapMethod != nullptr) return session.callJsonMapMethod(map, functionName);
  if (session.callMethod == nullptr) return nullptr;
  if (map == nullptr) return session.callMethod(nullptr);
  if (map->sourceText != nullptr) return session.callMethod(map->sourceText);
  // Maps built here have no source text; the string entry point gets them as JSON text.
  const std::string text = jsonText(map);
  return session.callMethod(text.c_str());
}

std::optional<std::uint64_t> creationStamp(int slot) {
  if (slot < 0 || slot >= kSessionSlots || table().stamps[slot] == kNoStamp) return std::nullopt;
  return table().stamps[slot];
}

std::string sessionFolder(int slot) {
  return sessionArea() + "/Session_" + std::to_string(slot);
}

std::string sanitiseName(std::string_view name) {
  static constexpr std::string_view kRemoved = "<>:\"/\\|?*;&$";
  std::string out;
  for (char c : name) {
    if (kRemoved.find(c) == std::string_view::npos) out.push_back(c);
  }
  if (out == "..") out.clear();
  return out;
}

}  // namespace qm::session
