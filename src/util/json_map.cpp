#include "util/json_map.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "util/aes_text.h"
#include "util/diag.h"
#include "util/tool.h"

// The tokenizer: non-strict (any unquoted run is a primitive), no parent links, kept private to
// this file.
#define JSMN_STATIC
#undef JSMN_STRICT
#undef JSMN_PARENT_LINKS
#include <jsmn.h>

namespace qm::json {

const unsigned char kEncryptedValueIv[16] = {'K', 'V', 'L', 'Q', 'u', 'i', 'l', 'l',
                                             'm', 'a', 'r', 'k', 'I', 'V', '1', '6'};

namespace {

constexpr unsigned kMapTokens = 2 * kCapacity + 1;
constexpr unsigned kKeyReaderTokens = 64;
constexpr char kShareSecretKey[] = "Quillmark_share_secret";

std::atomic<bool> reportFlag{false};
std::atomic<int> lastError{0};
// A dump reads the hide flags, and reading an encrypted value dumps the map: one level only.
thread_local bool dumping = false;

unsigned char fold(char c) {
  auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

int compareFolded(const char* a, const char* b) {
  if (!a) a = "";
  if (!b) b = "";
  for (;; ++a, ++b) {
    unsigned char ca = fold(*a);
    unsigned char cb = fold(*b);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return fold(x) == fold(y); });
}

int usedCount(const QuillmarkJsonMap* map) {
  return std::clamp(map->count, 0, kCapacity);
}

char* copyText(std::string_view text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (!copy) return nullptr;
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

void freeText(char* text) {
  if (!text) return;
  aes::wipe(text, std::strlen(text));
  std::free(text);
}

// What a lookup hands out for an entry: the value, else the binary value's bytes.
std::optional<std::string_view> rawView(const QuillmarkJsonEntry* entry) {
  if (!entry) return std::nullopt;
  if (entry->value) return std::string_view(entry->value);
  if (entry->binaryValue) {
    return std::string_view(reinterpret_cast<const char*>(entry->binaryValue), entry->binaryLength);
  }
  return std::nullopt;
}

const QuillmarkJsonEntry* findEntry(const QuillmarkJsonMap* map, const char* key) {
  int low = 0;
  int high = usedCount(map) - 1;
  while (low <= high) {
    int middle = low + (high - low) / 2;
    int order = compareFolded(key, map->entries[middle].key);
    if (order == 0) return &map->entries[middle];
    if (order < 0) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  return nullptr;
}

// findEntry that records a missing required key. Keys of the system itself and flags never
// count as required.
const QuillmarkJsonEntry* lookupEntry(const QuillmarkJsonMap* map, const char* key) {
  const QuillmarkJsonEntry* entry = findEntry(map, key);
  if (!entry && reportFlag.load(std::memory_order_relaxed) && !std::strstr(key, "Quillmark") &&
      !std::strstr(key, "topui")) {
    diag::warning("Json map key not found: ", key);
    lastError.store(kMissingKey, std::memory_order_relaxed);
  }
  return entry;
}

// A companion flag is on when its value, cut to 7 characters, is "true" in any case.
bool flagOn(const QuillmarkJsonMap* map, std::string& companion, std::string_view key,
            std::string_view suffix) {
  companion.assign(key).append(suffix);
  auto raw = rawView(findEntry(map, companion.c_str()));
  return raw && equalsNoCase(raw->substr(0, 7), "true");
}

std::string cutAtNul(std::string text) {
  auto nul = text.find('\0');
  if (nul != std::string::npos) {
    aes::wipe(text.data() + nul, text.size() - nul);
    text.resize(nul);
  }
  return text;
}

std::optional<std::string> decryptValue(const QuillmarkJsonMap* map, std::string_view raw) {
  diag::normal("find key: ", kShareSecretKey);
  auto secret = rawView(findEntry(map, kShareSecretKey));
  if (!secret) return std::nullopt;
  // The key is the secret's first 32 bytes; a shorter secret is refused, never read past.
  if (secret->size() < aes::kKeySize) {
    diag::warning("Share secret too short: ", static_cast<long long>(secret->size()));
    return std::nullopt;
  }
  std::string cipher = tool::hexDecode(raw);
  auto plain =
      aes::decryptText(cipher.data(), cipher.size(),
                       reinterpret_cast<const unsigned char*>(secret->data()), kEncryptedValueIv);
  aes::wipe(cipher);
  return plain;
}

// Undoes the page's marking of the value of key (at most one, in this order).
std::string decodeValue(const QuillmarkJsonMap* map, const char* key, std::string_view raw) {
  std::string companion;
  if (flagOn(map, companion, key, "_QuillmarkEncryptFlag")) {
    if (!dumping) dumpParameters(map);
    if (auto plain = decryptValue(map, raw)) return std::move(*plain);
    QM_ALLOCATION_FAILURE();
    return std::string(raw);
  }
  if (flagOn(map, companion, key, "_QuillmarkFlag")) return tool::replaceAll(raw, "*", "\\");
  if (flagOn(map, companion, key, "_QuillmarkSlashFlag")) {
    return tool::replaceAll(raw, "==QuillmarkSlash==", "\\");
  }
  if (flagOn(map, companion, key, "_QuillmarkBase64Flag")) {
    std::string step1 = tool::replaceAll(raw, "%2B", "+");
    std::string step2 = tool::replaceAll(step1, "%2F", "/");
    aes::wipe(step1);
    std::string step3 = tool::replaceAll(step2, "%3D", "=");
    aes::wipe(step2);
    std::string bytes = tool::base64Decode(step3);
    aes::wipe(step3);
    return cutAtNul(std::move(bytes));
  }
  return std::string(raw);
}

std::optional<std::string> readDecoded(const QuillmarkJsonMap* map, const char* key) {
  if (!map) {
    QM_NULL_PARAMETER("inputQuillmarkJson");
    return std::nullopt;
  }
  if (!key) {
    QM_NULL_PARAMETER("inputKey");
    return std::nullopt;
  }
  auto raw = rawView(lookupEntry(map, key));
  if (!raw) return std::nullopt;
  try {
    return decodeValue(map, key, *raw);
  } catch (const std::bad_alloc&) {
    QM_ALLOCATION_FAILURE();
    return std::nullopt;
  }
}

// Leading white space, optional sign, decimal digits; clamped to 32 bits.
int leadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(value * 10 + (text[i] - '0'), static_cast<long long>(INT_MAX) + 1);
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// The parser's unescaping: these sequences only, each replaced through the whole text in turn.
// Anything else (\\, \/, \b, \f, other \u) stays as written.
char* copyUnescaped(std::string_view text) {
  if (text.find('\\') == std::string_view::npos) return copyText(text);
  static constexpr std::pair<std::string_view, std::string_view> kEscapes[] = {
      {"\\r", "\r"},       {"\\n", "\n"},       {"\\t", "\t"},  {"\\u000f", "\x0f"},
      {"\\u000e", "\x0e"}, {"\\u001b", "\x1b"}, {"\\\"", "\""},
  };
  try {
    std::string value(text);
    for (const auto& [from, to] : kEscapes) {
      std::string next = tool::replaceAll(value, from, to);
      aes::wipe(value);
      value = std::move(next);
    }
    char* copy = copyText(value);
    aes::wipe(value);
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::string_view tokenText(const char* text, const jsmntok_t& token) {
  if (token.start < 0 || token.end <= token.start) return {};
  return std::string_view(text + token.start, static_cast<std::size_t>(token.end - token.start));
}

void sortEntries(QuillmarkJsonMap* map) {
  std::sort(map->entries, map->entries + usedCount(map),
            [](const QuillmarkJsonEntry& a, const QuillmarkJsonEntry& b) {
              return compareKeys(a, b) < 0;
            });
}

}  // namespace

QuillmarkJsonMap* newJsonMap() {
  auto* map = static_cast<QuillmarkJsonMap*>(std::calloc(1, sizeof(QuillmarkJsonMap)));
  if (!map) QM_ALLOCATION_FAILURE();
  return map;
}

QuillmarkJsonMap* parseJsonMap(const char* text) {
  if (!text) {
    QM_NULL_PARAMETER("inputJsonStr");
    return nullptr;
  }
  std::size_t length = std::strlen(text);
  jsmntok_t tokens[kMapTokens];
  jsmn_parser parser;
  jsmn_init(&parser);
  int count =
      length > INT_MAX ? JSMN_ERROR_INVAL : jsmn_parse(&parser, text, length, tokens, kMapTokens);
  // "{}" is a single token and fails too.
  if (count < 2) {
    diag::error("jsmn parse error", "");
    diag::error("Error json: ", text);
    return nullptr;
  }
  QuillmarkJsonMap* map = newJsonMap();
  if (!map) return nullptr;

  // Pairs from the end: (count-2, count-1), (count-4, count-3), ... while the key is not the
  // outer token. Nested objects and arrays stay text.
  bool complete = true;
  for (int i = count - 2; i > 0 && map->count < kCapacity; i -= 2) {
    std::string_view key = tokenText(text, tokens[i]);
    if (key.empty()) {
      // No key to sort by: the pair is dropped and the rest is kept.
      diag::warning("Json map empty key: ", "Skip");
      continue;
    }
    char* keyCopy = copyText(key);
    char* valueCopy = keyCopy ? copyUnescaped(tokenText(text, tokens[i + 1])) : nullptr;
    if (!valueCopy) {
      std::free(keyCopy);
      QM_ALLOCATION_FAILURE();
      complete = false;
      break;
    }
    map->entries[map->count++] = QuillmarkJsonEntry{keyCopy, valueCopy, nullptr, 0};
  }
  // Sorted even when memory ran out: lookups are binary searches.
  sortEntries(map);
  if (complete) {
    map->sourceText = copyText(std::string_view(text, length));
    if (!map->sourceText) QM_ALLOCATION_FAILURE();
  }
  return map;
}

void freeJsonMap(QuillmarkJsonMap* map) {
  if (!map) return;
  int count = usedCount(map);
  for (int i = 0; i < count; ++i) {
    std::free(map->entries[i].key);
    freeText(map->entries[i].value);
  }
  freeText(map->sourceText);
  std::free(map);
}

int compareKeys(const QuillmarkJsonEntry& a, const QuillmarkJsonEntry& b) {
  return compareFolded(a.key, b.key);
}

std::optional<std::string> BinarySearchQuillmarkJsonMap(const QuillmarkJsonMap* map,
                                                        const char* key) {
  if (!map || !key) {
    QM_NULL_PARAMETER(!map ? "inputQuillmarkJson" : "inputKey");
    return std::nullopt;
  }
  auto raw = rawView(lookupEntry(map, key));
  if (!raw) return std::nullopt;
  try {
    return std::string(*raw);
  } catch (const std::bad_alloc&) {
    QM_ALLOCATION_FAILURE();
    return std::nullopt;
  }
}

std::optional<std::string> getText(const QuillmarkJsonMap* map, const char* key) {
  return readDecoded(map, key);
}

bool getBool(const QuillmarkJsonMap* map, const char* key) {
  auto value = readDecoded(map, key);
  if (!value) return false;
  bool on = equalsNoCase(*value, "true");
  aes::wipe(*value);
  return on;
}

int getInt(const QuillmarkJsonMap* map, const char* key) {
  auto value = readDecoded(map, key);
  if (!value) return 0;
  int number = equalsNoCase(*value, "true")    ? 1
               : equalsNoCase(*value, "false") ? 0
                                               : leadingNumber(*value);
  aes::wipe(*value);
  return number;
}

bool setText(QuillmarkJsonMap* map, const char* key, const char* value) {
  if (!map || !key) {
    QM_NULL_PARAMETER(!map ? "inputQuillmarkJson" : "Key");
    return false;
  }
  int count = usedCount(map);
  char* valueCopy = nullptr;
  if (value && !(valueCopy = copyText(value))) {
    QM_ALLOCATION_FAILURE();
    return false;
  }
  for (int i = 0; i < count; ++i) {
    if (compareFolded(map->entries[i].key, key) == 0) {
      freeText(map->entries[i].value);
      map->entries[i].value = valueCopy;
      return true;
    }
  }
  if (count >= kCapacity) {
    freeText(valueCopy);
    diag::warning("Json map full: ", key);
    return false;
  }
  char* keyCopy = copyText(key);
  if (!keyCopy) {
    freeText(valueCopy);
    QM_ALLOCATION_FAILURE();
    return false;
  }
  map->entries[count] = QuillmarkJsonEntry{keyCopy, valueCopy, nullptr, 0};
  map->count = count + 1;
  // The rest is sorted: moving the new entry into place sorts the table.
  for (int i = count; i > 0 && compareKeys(map->entries[i - 1], map->entries[i]) > 0; --i) {
    std::swap(map->entries[i - 1], map->entries[i]);
  }
  return true;
}

bool setResult(QuillmarkJsonMap* map, int code) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", code);
  return setText(map, "result", text);
}

std::optional<std::string> serialise(const QuillmarkJsonMap* map) {
  if (!map) {
    QM_NULL_PARAMETER("inputQuillmarkJson");
    return std::nullopt;
  }
  try {
    std::string out;
    int count = usedCount(map);
    for (int i = 0; i < count; ++i) {
      const QuillmarkJsonEntry& entry = map->entries[i];
      if (!entry.value) continue;
      out += out.empty() ? "{\"" : ", \"";
      out += entry.key ? entry.key : "";
      out += "\": \"";
      out += tool::base64Encode(entry.value);
      out += '"';
    }
    if (out.empty()) out = "{";
    out += '}';
    return out;
  } catch (const std::bad_alloc&) {
    QM_ALLOCATION_FAILURE();
    return std::nullopt;
  }
}

void dumpParameters(const QuillmarkJsonMap* map) {
  if (!diag::enabled() || !map) return;
  struct Guard {
    bool previous = dumping;
    Guard() { dumping = true; }
    ~Guard() { dumping = previous; }
  } guard;
  try {
    diag::normal("= DISPLAY PARAMETER", " ===== start =====");
    int count = usedCount(map);
    for (int i = 0; i < count; ++i) {
      const QuillmarkJsonEntry& entry = map->entries[i];
      std::string key = entry.key ? entry.key : "";
      std::string label = key + ": ";
      if (!entry.value) {
        diag::normal(label, entry.binaryValue ? "[binary_value]" : "[empty]");
        continue;
      }
      std::string folded = tool::toLower(label);
      bool masked =
          folded.find("quillmark") == std::string::npos &&
          (folded.find("pin") != std::string::npos || folded.find("pw") != std::string::npos ||
           folded.find("pass") != std::string::npos ||
           getBool(map, (key + "_QuillmarkHide").c_str()));
      if (masked) {
        diag::normal(label, std::string(std::strlen(entry.value), '*'));
      } else {
        diag::normal(label, entry.value);
      }
    }
    diag::normal("= DISPLAY PARAMETER", " ===== end =====");
  } catch (const std::bad_alloc&) {
    QM_ALLOCATION_FAILURE();
  }
}

std::optional<std::string> readKey(const char* text, const char* key) {
  if (!text || !key) {
    QM_NULL_PARAMETER(!text ? "inputJSONObj" : "inputKey");
    return std::nullopt;
  }
  std::size_t length = std::strlen(text);
  jsmntok_t tokens[kKeyReaderTokens];
  jsmn_parser parser;
  jsmn_init(&parser);
  int count = length > INT_MAX ? JSMN_ERROR_INVAL
                               : jsmn_parse(&parser, text, length, tokens, kKeyReaderTokens);
  // The value is the token after the key; a key as the last token has none.
  for (int i = 1; i + 1 < count; i += 2) {
    std::string_view name = tokenText(text, tokens[i]);
    if (name.empty() || !equalsNoCase(name, key)) continue;
    std::string_view value = tokenText(text, tokens[i + 1]);
    if (value.empty()) return std::nullopt;
    try {
      return tool::replaceAll(value, "\\\"", "\"");
    } catch (const std::bad_alloc&) {
      QM_ALLOCATION_FAILURE();
      return std::nullopt;
    }
  }
  return std::nullopt;
}

void setReportMissingKeys(bool on) {
  reportFlag.store(on, std::memory_order_relaxed);
}
bool reportMissingKeys() {
  return reportFlag.load(std::memory_order_relaxed);
}
int lastJsonError() {
  return lastError.load(std::memory_order_relaxed);
}
void setLastJsonError(int code) {
  lastError.store(code, std::memory_order_relaxed);
}

}  // namespace qm::json
