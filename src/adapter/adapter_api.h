// The two exports of KVLZDGPKICryptATLAdapter.so, as a host binds them by name.
//
// Both return the library's result text, owned by the library and valid until the next call
// into the same loaded copy; the caller copies it and never frees or changes it. Neither throws.
// One call at a time per loaded copy.
#pragma once

#include "util/json_map.h"

extern "C" {

// Parses the request text, runs the function named by its "FunctionName".
using CallMethodFunction = const char* (*)(const char* requestText);
// Runs the named function with the caller's map; the map is only read.
using CallJsonMapMethodFunction = const char* (*)(const QuillmarkJsonMap* request,
                                                  const char* functionName);

}  // extern "C"

namespace qm::adapter {

inline constexpr char kCallMethodName[] = "callMethod";
inline constexpr char kCallJsonMapMethodName[] = "callJsonMapMethod";

}  // namespace qm::adapter
