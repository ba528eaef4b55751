// Entry points of the adapter library, its initialisation, the function map and dispatch.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/adapter_api.h"
#include "adapter/component_binding.h"
#include "adapter/component_functions.h"
#include "adapter/function_map.h"
#include "adapter/result_slot.h"
#include "util/build_info.h"
#include "util/diag.h"
#include "util/json_map.h"
#include "util/zdlog.h"

namespace qm::adapter {

namespace {

constexpr char kModuleName[] = "KVLZDGPKICryptATLAdapter";
constexpr char kLibraryVersion[] = "1,6,5,12020";
constexpr int kUnknownFunctionResult = 61005;
constexpr int kNoComponentResult = 61905;
constexpr int kComponentErrorResult = 61011;

constexpr int kReleaseIndex = -3;
constexpr int kUnlockIndex = -2;
constexpr int kGetVersionIndex = -1;

// Process-wide state; each loaded copy of the library has its own.
bool initialised = false;
FunctionMap functionMap;
std::vector<FunctionEntry> indexTable;  // the component functions in the order they were added
int componentCount = 0;

void logBuild() {
  diag::normal("Adatper compile date: ", build::date());
  diag::normal("Adatper compile time: ", build::time());
}

void getVersion(const QuillmarkJsonMap*, int) {
  storeResult(kLibraryVersion);
}

// Every origin may use the library.
void unlock(const QuillmarkJsonMap*, int) {
  storeResult("0");
}

void release(const QuillmarkJsonMap*, int) {
  functionMap.clear();
  indexTable.clear();
  componentCount = 0;
  freeResult();
  if (initialised) {
    int line = __LINE__;
    try {
      releaseComponent();
    } catch (...) {
      diag::warning("Catch component exception", "");
      storeResult(kComponentErrorResult);
      char where[512];
      std::snprintf(where, sizeof where, "Safe in %s at %d lines in %s", "QuillmarkRelease", line,
                    __FILE_NAME__);
      diag::error("[Safe Line] ", where);
    }
    initialised = false;
  }
  diag::normal("QuillmarkRelease", "");
}

bool initialise() {
  if (initialised) return true;
  diag::setLog(kModuleName);
  diag::normal("Init adapter: ", kModuleName);
  logBuild();

  bool created = false;
  try {
    created = createComponent();
  } catch (...) {
    created = false;
  }
  if (!created) {
    diag::warning("Component init error!", "");
    storeResult(kNoComponentResult);
    return false;
  }

  functionMap.clear();
  for (int i = 0; i < kComponentFunctionCount; ++i) {
    functionMap.add(componentFunctionName(i), runComponentFunction, i);
  }
  indexTable = functionMap.entries();
  componentCount = functionMap.count();
  functionMap.add("Quillmark_GetVersion", getVersion);
  functionMap.add("Quillmark_Release", release);
  functionMap.add("Quillmark_Unlock", unlock);
  functionMap.sort();
  diag::normal("Success enable:", "");
  diag::normal("\tComponent api: ", componentCount);
  diag::normal("\tSystem api: ", functionMap.count() - componentCount);
  initialised = true;
  return true;
}

// Copies the entry first: "Quillmark_Release" empties the map it was found in.
void run(const FunctionEntry& entry, const QuillmarkJsonMap* request) {
  Handler handler = entry.handler;
  int tag = entry.tag;
  handler(request, tag);
}

void dispatch(const QuillmarkJsonMap* request, std::string_view name) {
  int index = json::getInt(request, "QuillmarkFunctionIndex");
  diag::normal("FunctionIndex: ", index);
  switch (index) {
    case kReleaseIndex:
      release(request, 0);
      return;
    case kUnlockIndex:
      unlock(request, 0);
      return;
    case kGetVersionIndex:
      getVersion(request, 0);
      return;
    default:
      break;
  }

  if (index < kReleaseIndex || index >= componentCount) {
    diag::warning("FunctionIndex: ", "Out of range");
  } else {
    const FunctionEntry& entry = indexTable[static_cast<std::size_t>(index)];
    if (sameName(entry.name, name)) {
      run(entry, request);
      return;
    }
    diag::warning("QuillmarkFunctionIndex is not match with adapter", "");
    diag::warning("FunctionName from web: ", name);
    diag::warning("FunctionName in adapter: ", entry.name);
  }
  diag::warning("FunctionIndex mode: ", "Fail");
  diag::normal("Function search name mode: ", name);

  if (const FunctionEntry* entry = functionMap.find(name)) {
    run(*entry, request);
    return;
  }
  diag::warning("Function name does not match: ", name);
  storeResult(kUnknownFunctionResult);
}

const char* callMethod(const char* text) {
  diag::normal("Into adapter: ", kModuleName);
  logBuild();
  freeResult();
  if (text == nullptr) {
    QM_NULL_PARAMETER("JSONObj");
    return resultText();
  }
  json::JsonMap request = json::JsonMap::parse(text);
  if (!request) {
    QM_ALLOCATION_FAILURE();
    return resultText();
  }
  request.dump();
  std::optional<std::string> name = request.text("FunctionName");
  if (!name) {
    diag::warning("Function name is null", "");
    storeResult(kUnknownFunctionResult);
  } else if (initialise()) {
    dispatch(request.get(), *name);
  }
  return resultText();
}

const char* callJsonMapMethod(const QuillmarkJsonMap* request, const char* name) {
  diag::normal("Into json map adapter: ", kModuleName);
  logBuild();
  freeResult();
  if (request == nullptr) {
    QM_NULL_PARAMETER("JsonMap");
  } else if (name == nullptr) {
    QM_NULL_PARAMETER("FunctionName");
  } else if (initialise()) {
    dispatch(request, name);
  }
  return resultText();
}

// A copy is unloaded when its session ends; the log writer's lock must not outlive it.
struct UnloadCleanup {
  ~UnloadCleanup() { zdlog::closeForUnload(); }
} unloadCleanup;

// What an entry point answers when something unforeseen escaped it.
const char* const kNoResult = "";

}  // namespace

}  // namespace qm::adapter

// Nothing leaves these two functions as an exception.
extern "C" __attribute__((visibility("default"))) const char* callMethod(
    const char* requestText) noexcept {
  try {
    return qm::adapter::callMethod(requestText);
  } catch (...) {
    return qm::adapter::kNoResult;
  }
}

extern "C" __attribute__((visibility("default"))) const char* callJsonMapMethod(
    const QuillmarkJsonMap* request, const char* functionName) noexcept {
  try {
    return qm::adapter::callJsonMapMethod(request, functionName);
  } catch (...) {
    return qm::adapter::kNoResult;
  }
}
