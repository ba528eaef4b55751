// The 58 component functions: each reads its parameters from the request map, calls one method
// of the crypto component and leaves the output as text in the result slot.
#pragma once

#include <string_view>

#include "util/json_map.h"

namespace qm::adapter {

inline constexpr int kComponentFunctionCount = 58;

// Name of function `index` (0 .. kComponentFunctionCount-1), in slot order.
std::string_view componentFunctionName(int index);

// Runs function `index` with the request; a handler of the function map.
void runComponentFunction(const QuillmarkJsonMap* request, int index);

}  // namespace qm::adapter
