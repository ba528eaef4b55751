// Text, number, encoding and time helpers. Folders, files, processes and locks are in
// tool_system.cpp.
#include "util/tool.h"

#include <algorithm>
#include <climits>

#include "platform/clock.h"
#include "platform/random.h"
#include "util/diag.h"

namespace qm::tool {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kTagAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// Process-wide, like the callers expect; conversions run on one thread at a time.
int lastError = 0;

bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

int digitValue(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9')
    v = c - '0';
  else if (c >= 'a' && c <= 'z')
    v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'Z')
    v = c - 'A' + 10;
  return v < base ? v : -1;
}

// strtol-like reading of a signed 32-bit number; the result code is 0 or kNotANumber.
struct Parsed {
  int value = 0;
  int error = 0;
};

Parsed parseNumber(std::string_view text, int base, bool strict) {
  std::size_t i = 0;
  bool negative = false;
  if (strict) {
    negative = text.starts_with('-');
    i = negative ? 1 : 0;
    if (i == text.size()) return {0, kNotANumber};
    for (std::size_t k = i; k < text.size(); ++k)
      if (!isDigit(text[k])) return {0, kNotANumber};
  } else {
    while (i < text.size() && isSpace(text[i])) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // "0x" counts as a prefix only when a hex digit follows, else the "0" is the number.
    if (base == 16 && i + 2 < text.size() && text[i] == '0' &&
        (text[i + 1] == 'x' || text[i + 1] == 'X') && digitValue(text[i + 2], 16) >= 0)
      i += 2;
  }
  std::uint64_t magnitude = 0;
  std::size_t digits = 0;
  for (; i < text.size(); ++i, ++digits) {
    int d = digitValue(text[i], base);
    if (d < 0) break;
    magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    if (magnitude > 0x80000000ULL) return {0, kNotANumber};
  }
  if (digits == 0) return {0, kNotANumber};
  long long value =
      negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  if (value > INT_MAX || value < INT_MIN) return {0, kNotANumber};
  return {static_cast<int>(value), 0};
}

int convert(const char* text, int base, bool strict) {
  if (text == nullptr) {
    lastError = kNullNumber;
    return 0;
  }
  Parsed p = parseNumber(text, base, strict);
  lastError = p.error;
  return p.value;
}

int base64Value(char c) {
  const char* at = std::find(kBase64Alphabet, kBase64Alphabet + 64, c);
  return at == kBase64Alphabet + 64 ? -1 : static_cast<int>(at - kBase64Alphabet);
}

void logStringCompare(std::string_view a, std::string_view b) {
  diag::warning("Version check: ", "String compare mode");
  diag::warning(" - Version A: ", a);
  diag::warning(" - Version B: ", b);
}

std::vector<std::string> versionParts(const char* version) {
  std::string text(version, std::min<std::size_t>(std::char_traits<char>::length(version), 511));
  std::erase(text, ' ');
  std::replace(text.begin(), text.end(), '.', ',');
  return split(text, ",");
}

}  // namespace

// ---- texts ----

bool startsWith(const char* prefix, const char* text) {
  if (prefix == nullptr) return true;
  if (text == nullptr) {
    QM_NULL_PARAMETER("inputMainString");
    return false;
  }
  return std::string_view(text).starts_with(prefix);
}

bool isDisplayNameFile(std::string_view text) {
  return text.size() > 14 && text.ends_with("DisplayName.txt");
}

std::string toLower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string replaceAll(std::string_view text, std::string_view needle,
                       std::string_view replacement) {
  if (needle.empty()) return std::string(text);
  std::string out;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(needle, from)) != std::string_view::npos;
       from = at + needle.size()) {
    out.append(text.substr(from, at - from));
    out.append(replacement);
  }
  out.append(text.substr(from));
  return out;
}

std::string stripExe(std::string_view name) {
  return replaceAll(name, ".exe", "");
}

std::string padLeft(std::string_view text, std::size_t width, char fill) {
  if (text.size() >= width) return std::string(text.substr(text.size() - width));
  return std::string(width - text.size(), fill).append(text);
}

std::vector<std::string> split(std::string_view text, std::string_view delimiter) {
  std::vector<std::string> pieces;
  if (text.empty() || delimiter.empty()) return pieces;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(delimiter, from)) != std::string_view::npos;
       from = at + delimiter.size())
    pieces.emplace_back(text.substr(from, at - from));
  // The rest after the last delimiter; empty exactly when the text ends with the delimiter.
  pieces.emplace_back(text.substr(from));
  return pieces;
}

// ---- hexadecimal and Base64 ----

std::string hexDecode(std::string_view text) {
  std::string out(text.size() / 2, '\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    int hi = std::max(digitValue(text[2 * i], 16), 0);
    int lo = std::max(digitValue(text[2 * i + 1], 16), 0);
    out[i] = static_cast<char>(hi << 4 | lo);
  }
  return out;
}

std::string hexEncode(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 0xF]);
  }
  return out;
}

std::string base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (n > 1) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (n > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
    for (std::size_t k = 0; k < 4; ++k)
      out.push_back(k <= n ? kBase64Alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
  }
  return out;
}

std::string base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t group = 0;
  int count = 0;
  for (char c : text) {
    int v = base64Value(c);
    if (v < 0) break;
    group = group << 6 | static_cast<unsigned>(v);
    if (++count == 4) {
      out.push_back(static_cast<char>(group >> 16));
      out.push_back(static_cast<char>(group >> 8));
      out.push_back(static_cast<char>(group));
      group = 0;
      count = 0;
    }
  }
  // A trailing group of 2 or 3 characters carries 1 or 2 bytes; a single one carries none.
  if (count == 2) {
    out.push_back(static_cast<char>(group >> 4));
  } else if (count == 3) {
    out.push_back(static_cast<char>(group >> 10));
    out.push_back(static_cast<char>(group >> 2));
  }
  return out;
}

// ---- numbers and versions ----

int decimalConversion(const char* text, bool strict) {
  return convert(text, 10, strict);
}

int hexadecimalConversion(const char* text) {
  return convert(text, 16, false);
}

int lastConversionError() {
  return lastError;
}

bool lastConversionFailed() {
  return lastError == kNotANumber || lastError == kNullNumber;
}

int versionCompare(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) {
    QM_NULL_PARAMETER(a == nullptr ? "inputVersionA" : "inputVersionB");
    return kNullArgument;
  }
  std::vector<std::string> partsA = versionParts(a);
  std::vector<std::string> partsB = versionParts(b);
  if (partsA.size() != partsB.size()) return 3;
  auto isEmpty = [](const std::string& s) { return s.empty(); };
  if (std::ranges::any_of(partsA, isEmpty) || std::ranges::any_of(partsB, isEmpty))
    return kEmptyVersionPart;
  for (std::size_t i = 0; i < partsA.size(); ++i) {
    const std::string& pa = partsA[i];
    const std::string& pb = partsB[i];
    Parsed na = parseNumber(pa, 10, true);
    if (na.error != 0) {
      logStringCompare(pa, pb);
      if (pa != pb) return 2;
      continue;
    }
    Parsed nb = parseNumber(pb, 10, true);
    if (nb.error != 0) {
      if (pa == pb) continue;
      logStringCompare(pa, pb);
      return 2;
    }
    if (na.value != nb.value) return na.value < nb.value ? -1 : 1;
  }
  return 0;
}

// ---- time and randomness ----

std::uint64_t timeValue(const platform::LocalTime& t) {
  int y = t.yearsSince1900;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  std::uint64_t yearSeconds = leap ? 31622400 : 31536000;
  std::uint64_t inYear =
      ((24ULL * static_cast<std::uint64_t>(t.day) + static_cast<std::uint64_t>(t.hour)) * 60 +
       static_cast<std::uint64_t>(t.minute)) *
          60 +
      static_cast<std::uint64_t>(t.second);
  return (static_cast<std::uint64_t>(y) - 115) * yearSeconds + inYear;
}

std::uint64_t timeValue() {
  std::optional<platform::LocalTime> now = platform::localNow();
  return now ? timeValue(*now) : 0;
}

std::string timeValueText(std::uint64_t value) {
  std::string out;
  do {
    out.insert(out.begin(), "0123456789abcdef"[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return out;
}

std::string timeValueText() {
  return timeValueText(timeValue());
}

std::string localTimeText(const platform::LocalTime& t) {
  auto two = [](int v) { return padLeft(std::to_string(v), 2, '0'); };
  return std::to_string(t.year) + "-" + two(t.month) + "-" + two(t.day) + " " + two(t.hour) + "-" +
         two(t.minute) + "-" + two(t.second);
}

std::string localTimeText() {
  std::optional<platform::LocalTime> now = platform::localNow();
  return now ? localTimeText(*now) : "Unknow time";
}

bool randomBytes(void* buffer, std::size_t size) {
  if (buffer == nullptr) return size == 0;
  return platform::randomBytes(buffer, size);
}

std::string instanceTagFromBytes(const unsigned char bytes[8]) {
  std::string tag;
  for (int i = 0; i < 8; ++i) {
    // The byte is read as a signed char: 0x80..0xFF become large unsigned values.
    auto extended =
        static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(bytes[i])));
    tag.push_back(kTagAlphabet[extended % 36]);
  }
  return tag + "_SID";
}

std::string instanceTag() {
  unsigned char bytes[8] = {};
  if (!randomBytes(bytes, sizeof bytes)) std::fill(std::begin(bytes), std::end(bytes), 0);
  return instanceTagFromBytes(bytes);
}

}  // namespace qm::tool
