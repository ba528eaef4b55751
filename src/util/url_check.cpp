#include "util/url_check.h"

// GCC 12 under the sanitizers takes the regex engine's moved states for uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#endif

#include <exception>
#include <regex>
#include <string_view>

#include "util/diag.h"

namespace qm::url {

namespace {

std::vector<std::string> patterns;
bool unlockedFlag = false;

// Matching without backtracking: a page's list must not be able to stall the server with a
// pattern of many "*", nor a long origin exhaust the stack.
std::regex makeRegex(const std::string& pattern, bool ignoreCase) {
  auto flags = std::regex::ECMAScript | std::regex_constants::__polynomial;
  if (ignoreCase) flags |= std::regex::icase;
  return std::regex(pattern, flags);
}

const std::regex& originSyntax() {
  static const std::regex re = makeRegex(
      R"(^https?:\/\/(((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)(\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)){3})|(([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9])(\.([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9]))*))\/?(:\d+)?$)",
      true);
  return re;
}

struct Helpers {
  std::regex star = makeRegex(R"(\*)", false);
  std::regex dot = makeRegex(R"(\.)", false);
  std::regex scheme = makeRegex(R"(https?:\/\/)", false);
  std::regex port = makeRegex(R"(:.*)", false);
  std::regex separator = makeRegex(R"(;)", false);
};

const Helpers& helpers() {
  static const Helpers h;
  return h;
}

// The regex compiler and matcher recurse once per term and per group: a page's list must not
// be able to exhaust a listener thread's stack. Real lists stay far below these bounds.
constexpr std::size_t kMaxPatternLength = 2048;
constexpr int kMaxGroupDepth = 32;

bool withinLimits(std::string_view pattern) {
  if (pattern.size() > kMaxPatternLength) return false;
  int depth = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '\\') {
      ++i;
    } else if (pattern[i] == '(') {
      if (++depth > kMaxGroupDepth) return false;
    } else if (pattern[i] == ')') {
      --depth;
    }
  }
  return true;
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\v\f\r";
  auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

void setUnlockURL(const char* list) {
  if (!list || !*list) {
    // Nothing allowed: a value without domains must not inherit an earlier unlock.
    patterns.clear();
    unlockedFlag = false;
    return;
  }
  try {
    const Helpers& h = helpers();
    std::vector<std::string> pieces;
    std::string text(list);
    for (std::sregex_token_iterator it(text.begin(), text.end(), h.separator, -1), end; it != end;
         ++it) {
      std::string piece(trim(it->str()));
      if (piece.empty()) continue;
      if (piece.front() == '.') piece = "*" + piece;
      if (piece.back() == '.') piece += '*';
      pieces.push_back(std::move(piece));
    }
    diag::normal("Enable url check list", "");
    unlockedFlag = false;
    std::vector<std::string> converted;
    for (const std::string& piece : pieces) {
      diag::normal("Url check list: ", piece);
      converted.push_back(
          std::regex_replace(std::regex_replace(piece, h.star, R"(\S*)"), h.dot, R"(\.)"));
    }
    patterns = std::move(converted);
  } catch (const std::exception& e) {
    diag::warning("setUnlockURL exception: ", e.what());
  } catch (...) {
    diag::warning("setUnlockURL exception: ", "Unknown exception");
  }
}

void checkOrigin(const char* origin) {
  try {
    if (!origin || !std::regex_match(origin, originSyntax())) {
      diag::warning("[Warning] ", "Input domain is not url");
      return;
    }
    if (unlockedFlag || patterns.empty()) return;
    diag::normal("Unlock original domain input: ", origin);
    // (a\/?)|(b\/?): each entry with an optional trailing slash of its own.
    std::string pattern;
    for (const std::string& entry : patterns) {
      pattern += '(';
      pattern += entry;
      if (!pattern.empty() && pattern.back() == '/') pattern.pop_back();
      pattern += R"(\/?)|)";
    }
    pattern.pop_back();
    if (!withinLimits(pattern)) throw std::regex_error(std::regex_constants::error_complexity);
    const Helpers& h = helpers();
    std::string host = std::regex_replace(std::string(origin), h.scheme, "");
    host = std::regex_replace(host, h.port, "");
    if (std::regex_match(host, makeRegex(pattern, true))) unlockedFlag = true;
  } catch (const std::exception& e) {
    diag::warning("unlock exception: ", e.what());
  } catch (...) {
    diag::warning("unlock exception: ", "Unknown exception");
  }
}

bool unlocked() {
  return unlockedFlag;
}

void clearCheckList() {
  patterns.clear();
}

std::vector<std::string> checkList() {
  return patterns;
}

}  // namespace qm::url
