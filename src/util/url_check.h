// URL check list: a page's domain list (".example.com; intranet.local") turned into patterns,
// and the test of an origin against them. Process-wide state, one caller at a time (the channel
// value store): setUnlockURL, checkOrigin, read unlocked(), clearCheckList().
#pragma once

#include <string>
#include <vector>

namespace qm::url {

// Replaces the check list with the patterns of the list text ("*" any run of non-space
// characters, "." literal, a leading "." matching any sub-domain) and locks. A null or empty
// text (or one of separators only) leaves an empty list, which no origin passes.
void setUnlockURL(const char* list);

// Unlocks when the origin ("http(s)://host[/][:port]") has a host that matches the list. An
// origin of another form, an empty list or a bad pattern leaves the state as it was.
void checkOrigin(const char* origin);

bool unlocked();

void clearCheckList();

// The current patterns, in order.
std::vector<std::string> checkList();

}  // namespace qm::url
