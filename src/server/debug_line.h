// A line written straight to the log writer at debug level, only while logging is on.
#pragma once

#include <string_view>

#include "util/diag.h"
#include "util/zdlog.h"

namespace qm::server {

inline constexpr std::string_view kRuleLine =
    "===============================================================================";

inline void debugLine(std::string_view text) {
  if (diag::enabled()) zdlog::writeLine(5, "%.*s", static_cast<int>(text.size()), text.data());
}

}  // namespace qm::server
