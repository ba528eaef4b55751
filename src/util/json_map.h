// The JSON map: every request and answer in memory. A flat table of at most 128 text key/value
// pairs sorted by key without regard to case, plus the JSON text it was parsed from.
//
// The table layout is a binary interface: the server hands its own map to the adapter library,
// so QuillmarkJsonMap keeps a fixed C layout and every key, value and source text is a separate
// malloc block owned by the map (either side may free it with freeJsonMap). Everything else in
// the code uses the JsonMap owner below.
//
// Readers hand out copies (std::optional<std::string>; nullopt is "null"). Texts are 8-bit
// C texts: a decoded value ends at its first NUL byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

extern "C" {

struct QuillmarkJsonEntry {
  char* key;                   // NUL-terminated, never null in a used entry
  char* value;                 // NUL-terminated, or null
  unsigned char* binaryValue;  // never set by the map; returned and shown, not freed
  std::uint32_t binaryLength;
};

struct QuillmarkJsonMap {
  QuillmarkJsonEntry entries[128];  // 0 .. count-1 used and sorted; the rest zero
  char* sourceText;                 // copy of the parsed text; null in a map created empty
  std::int32_t count;
};

}  // extern "C"

static_assert(sizeof(void*) != 4 || sizeof(QuillmarkJsonEntry) == 16);
static_assert(sizeof(void*) != 4 || sizeof(QuillmarkJsonMap) == 2056);

namespace qm::json {

inline constexpr int kCapacity = 128;
// Last JSON error of a required key that a read did not find.
inline constexpr int kMissingKey = 61016;
// Initialisation vector of values a page sends encrypted (the "%s_QuillmarkEncryptFlag"
// marking). Pages that encrypt values use the same 16 bytes.
extern const unsigned char kEncryptedValueIv[16];

// ---- the C table ----
// New zeroed map (count 0, no source text); null with the allocation-failure message.
QuillmarkJsonMap* newJsonMap();
// Parses a JSON object into a new map; null (with "jsmn parse error") for bad or
// single-token text.
QuillmarkJsonMap* parseJsonMap(const char* text);
// Frees keys, values (wiped first: they may hold PINs), the source text and the block.
void freeJsonMap(QuillmarkJsonMap* map);

// -1, 0, 1: keys folded to lower case and compared byte by byte (the table order).
int compareKeys(const QuillmarkJsonEntry& a, const QuillmarkJsonEntry& b);

// Raw copy of the value of key (the binary value's bytes when the value is null), no value
// decoding. A miss while the report-missing-keys switch is on logs "Json map key not found: "
// and sets the last JSON error, unless the key contains "Quillmark" or "topui".
std::optional<std::string> BinarySearchQuillmarkJsonMap(const QuillmarkJsonMap* map,
                                                        const char* key);

// Typed readers: the value with its page marking undone (encrypt, "*" flag, slash, Base64
// companion keys, in that order; the raw value when the undoing fails).
std::optional<std::string> getText(const QuillmarkJsonMap* map, const char* key);
// "true" without regard to case; false when absent.
bool getBool(const QuillmarkJsonMap* map, const char* key);
// 1 for "true", 0 for "false", else the leading decimal number clamped to 32 bits; 0 when
// absent.
int getInt(const QuillmarkJsonMap* map, const char* key);

// Replaces the value of key (case-insensitive match) or inserts the pair in order. value may
// be null. False when nothing was stored: null map or key, a full table (128 entries), or no
// memory; the map is unchanged then.
bool setText(QuillmarkJsonMap* map, const char* key, const char* value);
// "result" = the code as decimal text.
bool setResult(QuillmarkJsonMap* map, int code);

// The answer text: '{"result": "MA==", "SessionID": "YWI="}', each value Base64-encoded,
// entries without a value left out, "{}" when none has one.
std::optional<std::string> serialise(const QuillmarkJsonMap* map);

// Logs every entry at Normal level (PINs and passwords masked); nothing while logging is off.
void dumpParameters(const QuillmarkJsonMap* map);

// Value of one key straight out of JSON text (IPC messages), with \" undone; null for a
// missing key or an empty value.
std::optional<std::string> readKey(const char* text, const char* key);

// Report-missing-keys switch (off at start) and last JSON error. One caller at a time.
void setReportMissingKeys(bool on);
bool reportMissingKeys();
int lastJsonError();
void setLastJsonError(int code);

// ---- the owner ----
class JsonMap {
 public:
  JsonMap() = default;
  // Adopts a map (it will be freed with freeJsonMap).
  explicit JsonMap(QuillmarkJsonMap* map) : map_(map) {}
  ~JsonMap() { freeJsonMap(map_); }
  JsonMap(JsonMap&& other) noexcept : map_(other.release()) {}
  JsonMap& operator=(JsonMap&& other) noexcept {
    if (this != &other) {
      freeJsonMap(map_);
      map_ = other.release();
    }
    return *this;
  }
  JsonMap(const JsonMap&) = delete;
  JsonMap& operator=(const JsonMap&) = delete;

  // An empty answer map; holds nothing only when memory ran out.
  static JsonMap create() { return JsonMap(newJsonMap()); }
  // Holds nothing when the text does not parse.
  static JsonMap parse(const char* text) { return JsonMap(parseJsonMap(text)); }

  explicit operator bool() const { return map_ != nullptr; }
  QuillmarkJsonMap* get() const { return map_; }
  QuillmarkJsonMap* release() {
    QuillmarkJsonMap* map = map_;
    map_ = nullptr;
    return map;
  }

  int count() const { return map_ ? map_->count : 0; }
  const char* sourceText() const { return map_ ? map_->sourceText : nullptr; }

  std::optional<std::string> lookup(const char* key) const {
    return BinarySearchQuillmarkJsonMap(map_, key);
  }
  std::optional<std::string> text(const char* key) const { return getText(map_, key); }
  bool boolean(const char* key) const { return getBool(map_, key); }
  int integer(const char* key) const { return getInt(map_, key); }
  bool set(const char* key, const char* value) { return setText(map_, key, value); }
  bool setResult(int code) { return qm::json::setResult(map_, code); }
  std::optional<std::string> serialise() const { return qm::json::serialise(map_); }
  void dump() const { dumpParameters(map_); }

 private:
  QuillmarkJsonMap* map_ = nullptr;
};

}  // namespace qm::json
