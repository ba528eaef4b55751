// The request processor: finds or opens the caller's session, answers the built-in functions
// and hands every other function to the session's adapter library. It never sees HTTP.
// Not thread-safe: the server holds one process-wide lock around the whole request path.
#pragma once

#include <cstdint>

#include "session/session_table.h"

namespace qm::session {

// One request: the answer map (the caller owns it), or an empty owner when request or origin is
// null.
qm::json::JsonMap processRequest(const QuillmarkJsonMap* request, const char* origin,
                                 std::uint32_t serverProcessId);

}  // namespace qm::session
