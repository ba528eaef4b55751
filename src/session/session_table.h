// The table of 32 sessions. Each session runs its own copy of the adapter library, copied into
// its session folder, so every page gets its own library state and component instance.
// Not thread-safe: the server serialises every request and the final release with one lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dynlib.h"
#include "util/json_map.h"

namespace qm::session {

// Owner of a map made here (the C table QuillmarkJsonMap is what crosses the adapter boundary).
using JsonMapOwner = qm::json::JsonMap;

inline constexpr char kServerVersion[] = "1.0.23.0510";
inline constexpr int kSessionSlots = 32;

// Adapter library exports.
using CallMethodFn = const char* (*)(const char* jsonText);
using CallJsonMapMethodFn = const char* (*)(const QuillmarkJsonMap* map, const char* functionName);

struct Session {
  std::string id;  // empty: free slot
  std::string adapterName;
  std::string adapterVersion;
  std::optional<std::string> installerVersion;
  std::string loadedPath;
  bool loadedCopy = false;  // loadedPath is the session copy, which release deletes
  std::optional<platform::DynamicLibrary> library;
  CallMethodFn callMethod = nullptr;
  CallJsonMapMethodFn callJsonMapMethod = nullptr;
  int browserMode = 0;
  std::int64_t startTime = 0;
};

// Session area <sharedDataFolder>/Tempfile removed and recreated, 32 slots free, creation stamps
// none, channel store reset and its key drawn, version marker written. The area belongs to one
// live server per user (a named lock held until the process ends): when another holds it, the
// area is left as it is. False when the shared data folder is empty.
bool initialiseSessionTable(const std::string& sharedDataFolder, const std::string& programFolder);

// Releases every open session, oldest first, and, when this server owns the session area,
// deletes the adapter copies left in it.
void releaseAllSessions();

// First slot whose id occurs inside `id` (case-sensitive); nullopt when none.
std::optional<int> findSession(std::string_view id);

// A fresh instance tag that no slot uses.
std::string newSessionId();

struct OpenRequest {
  std::string id;
  std::string libDir;
  std::string comName;
  std::string origin;
  std::string installerName;
  std::string minServerVersion;
  std::string minLibVersion;
};

// Opens a session (evicting the oldest when all slots are taken): copy, load, bind, unlock,
// version query and checks, installer version. On success returns the slot and has set
// "ServerVersion", "LibVersion" (and "InstallerVersion") in `answer`. On failure the slot is
// free again and `answer` holds what the page gets: a fresh map with the failure "result", or
// the map as it was.
std::optional<int> openSession(JsonMapOwner& answer, const OpenRequest& request);

// Ends the session in `slot` and frees the slot; free slots and nullopt are ignored.
void releaseSession(std::optional<int> slot);

// The record of an open slot; nullptr for a free slot or a number out of range.
Session* session(int slot);

// Calls the adapter of `slot`: the map entry point when bound, else the string entry point with
// the map's source text (or the map as JSON text when it has none). nullptr when the slot has
// neither. The text stays owned by the library until its next call.
const char* callAdapter(Session& session, const QuillmarkJsonMap* map, const char* functionName);

// A fresh answer map holding only "result" (the failure answer); empty when it cannot be made.
JsonMapOwner failureAnswer(const char* result);
JsonMapOwner failureAnswer(int code);

// Drops the characters < > : " / \ | ? * ; & $ from a folder or file name; ".." becomes empty.
std::string sanitiseName(std::string_view name);

// Creation stamp of a slot (tests and logs); nullopt for "none".
std::optional<std::uint64_t> creationStamp(int slot);

// Folder of a slot's session copy: <shared data>/Tempfile/Session_<slot>.
std::string sessionFolder(int slot);

}  // namespace qm::session
