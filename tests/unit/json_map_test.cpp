#include "util/json_map.h"

#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "util/aes_text.h"
#include "util/diag.h"
#include "util/tool.h"

namespace qm::json {
namespace {

namespace fs = std::filesystem;

// Logging on for the whole program, so the dump and the warnings run and can be read back.
class LogRoot : public testing::Environment {
 public:
  static fs::path root;

  void SetUp() override {
    char pattern[] = "/tmp/json_map_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    setenv("TMPDIR", root.c_str(), 1);
    std::ofstream(root / "KVLQuillmark.ini")
        << "[KVLQuillmark]\nLog File=" << (root / "log.log").string() << "\nLog Level=5\n";
    ASSERT_TRUE(diag::setLog("JsonMapTest"));
  }
  void TearDown() override { fs::remove_all(root); }
};
fs::path LogRoot::root;
[[maybe_unused]] const auto* const kRoot = testing::AddGlobalTestEnvironment(new LogRoot);

// Log text written since construction.
class LogTail {
 public:
  LogTail() : start_(all().size()) {}
  std::string text() const { return all().substr(std::min(start_, all().size())); }

 private:
  static std::string all() {
    std::string text;
    for (const auto& entry : fs::directory_iterator(LogRoot::root)) {
      if (!entry.path().filename().string().starts_with("log_")) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      text += content.str();
    }
    return text;
  }
  std::size_t start_;
};

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs entriesOf(const JsonMap& map) {
  Pairs pairs;
  for (int i = 0; i < map.count(); ++i) {
    const QuillmarkJsonEntry& e = map.get()->entries[i];
    pairs.emplace_back(e.key, e.value ? e.value : "<null>");
  }
  return pairs;
}

std::string objectOf(int pairs) {
  std::string text = "{";
  for (int i = 0; i < pairs; ++i) {
    text += (i ? "," : "") + std::string("\"K") + std::to_string(i) + "\":\"v" + std::to_string(i) +
            "\"";
  }
  return text + "}";
}

TEST(JsonMapParse, TextsAndTheirEntries) {
  struct Case {
    std::string json;
    Pairs entries;  // sorted without regard to case
  };
  const Case cases[] = {
      {R"({"b":"2","A":"1","c":"3"})", {{"A", "1"}, {"b", "2"}, {"c", "3"}}},
      {R"({"a"})", {}},
      // Nested values stay text, and their pairs are read as well.
      {R"({"a":{"b":"c"}})", {{"a", R"({"b":"c"})"}, {"b", "c"}}},
      {R"({"n":12,"t":true,"z":null,"e":""})",
       {{"e", ""}, {"n", "12"}, {"t", "true"}, {"z", "null"}}},
      // \r \n \t \u000f \u000e \u001b \" are undone; \\ \/ \b and other \u stay as written.
      {R"({"v":"a\nb\\c\"d\u000f\u001b\/\u0041\b"})", {{"v", "a\nb\\\\c\"d\x0f\x1b\\/\\u0041\\b"}}},
      {R"({"v":"x\r\ty\u000e"})", {{"v", "x\r\ty\x0e"}}},
      // Keys are not unescaped.
      {R"({"k\n":"v"})", {{"k\\n", "v"}}},
      // An empty key is skipped; the rest is kept and sorted.
      {R"({"z":"26","":"x","a":"1"})", {{"a", "1"}, {"z", "26"}}},
      {R"({"Key":"x","key":"y"})", {{"Key", "x"}, {"key", "y"}}},
      {" \t\r\n{ \"a\" : \"1\" }\n", {{"a", "1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    JsonMap map = JsonMap::parse(c.json.c_str());
    ASSERT_TRUE(map);
    Pairs got = entriesOf(map);
    if (c.json.find("\"Key\"") != std::string::npos) {
      // Equal without regard to case: either order is sorted.
      std::sort(got.begin(), got.end());
    }
    EXPECT_EQ(got, c.entries);
    ASSERT_NE(map.sourceText(), nullptr);
    EXPECT_STREQ(map.sourceText(), c.json.c_str());
    for (int i = map.count(); i < kCapacity; ++i) EXPECT_EQ(map.get()->entries[i].key, nullptr);
  }
}

TEST(JsonMapParse, BadTextGivesNoMap) {
  std::string deep(300, '[');
  deep += std::string(300, ']');
  const std::string cases[] = {
      "",
      "{}",
      "[]",
      "\"only\"",
      R"({"a":"b")",          // truncated
      R"({"a":"b)",           // string not closed
      R"({"a":"b"]})",        // mismatched bracket
      R"({"a":"b"}})",        // closing bracket without opener
      R"({"a":"\x"})",        // bad escape
      R"({"a":"\u00zz"})",    // bad \u digits
      "{\"a\":tr\x01ue}",     // control byte in a primitive
      "{\"a\":caf\xc3\xa9}",  // byte above 126 in a primitive
      objectOf(129),          // 259 tokens
      deep,                   // more tokens than the parser holds
  };
  for (const std::string& json : cases) {
    SCOPED_TRACE(json.substr(0, 40));
    LogTail log;
    EXPECT_FALSE(JsonMap::parse(json.c_str()));
    EXPECT_NE(log.text().find("jsmn parse error"), std::string::npos);
  }
  EXPECT_EQ(parseJsonMap(nullptr), nullptr);
}

TEST(JsonMapParse, FullTableAndDeepNestingWithinCapacity) {
  JsonMap full = JsonMap::parse(objectOf(128).c_str());
  ASSERT_TRUE(full);
  ASSERT_EQ(full.count(), 128);
  for (int i = 0; i < 128; ++i) {
    std::string key = "k" + std::to_string(i);
    EXPECT_EQ(full.lookup(key.c_str()), "v" + std::to_string(i)) << key;
  }
  for (int i = 1; i < 128; ++i) {
    EXPECT_LT(compareKeys(full.get()->entries[i - 1], full.get()->entries[i]), 0);
  }
  // 200 nested arrays fit in 257 tokens; their texts become keys and values, harmlessly.
  std::string deep = std::string(200, '[') + std::string(200, ']');
  JsonMap nested = JsonMap::parse(deep.c_str());
  ASSERT_TRUE(nested);
  EXPECT_EQ(nested.count(), 99);
}

TEST(JsonMapLookup, CaseInsensitiveRawValues) {
  JsonMap map =
      JsonMap::parse(R"({"FunctionName":"GPKI_SignData","Pin":"C:*x","Pin_QuillmarkFlag":"true"})");
  ASSERT_TRUE(map);
  EXPECT_EQ(map.lookup("functionname"), "GPKI_SignData");
  EXPECT_EQ(map.lookup("FUNCTIONNAME"), "GPKI_SignData");
  // Lookup does not decode.
  EXPECT_EQ(map.lookup("pin"), "C:*x");
  EXPECT_EQ(map.lookup("Function"), std::nullopt);
  EXPECT_EQ(map.lookup("FunctionNameX"), std::nullopt);

  // A binary value is handed out where the value is null.
  QuillmarkJsonMap* raw = map.get();
  unsigned char bytes[] = {'a', 0, 'b'};
  setText(raw, "bin", nullptr);
  for (int i = 0; i < raw->count; ++i) {
    if (std::string_view(raw->entries[i].key) == "bin") {
      raw->entries[i].binaryValue = bytes;
      raw->entries[i].binaryLength = 3;
    }
  }
  EXPECT_EQ(map.lookup("BIN"), std::string("a\0b", 3));
}

TEST(JsonMapLookup, MissingKeyReport) {
  JsonMap map = JsonMap::parse(R"({"a":"1"})");
  ASSERT_TRUE(map);
  setLastJsonError(0);
  {
    LogTail log;
    EXPECT_EQ(map.text("Cert"), std::nullopt);
    EXPECT_EQ(lastJsonError(), 0);
    EXPECT_EQ(log.text().find("Json map key not found"), std::string::npos);
  }
  setReportMissingKeys(true);
  for (const char* key : {"QuillmarkFunctionIndex", "topuiFlag", "x_Quillmark"}) {
    LogTail log;
    EXPECT_EQ(map.text(key), std::nullopt);
    EXPECT_EQ(lastJsonError(), 0) << key;
    EXPECT_EQ(log.text().find("Json map key not found"), std::string::npos) << key;
  }
  {
    LogTail log;
    EXPECT_EQ(map.integer("Cert"), 0);
    EXPECT_EQ(lastJsonError(), kMissingKey);
    EXPECT_NE(log.text().find("Json map key not found: Cert"), std::string::npos);
  }
  setLastJsonError(0);
  EXPECT_EQ(map.text("A"), "1");  // found keys leave the error alone
  EXPECT_EQ(lastJsonError(), 0);
  setReportMissingKeys(false);
}

std::string encryptedHex(std::string_view text, std::string_view secret) {
  auto cipher =
      aes::encryptText(std::string(text).c_str(),
                       reinterpret_cast<const unsigned char*>(secret.data()), kEncryptedValueIv);
  return tool::hexEncode(cipher.value());
}

TEST(JsonMapDecoding, CompanionFlags) {
  const std::string secret = "0123456789abcdef0123456789ABCDEF";  // 32 bytes
  const std::string hex = encryptedHex("s3cret PIN", secret);
  // What a key read past a 31-byte secret (into its terminating zero) would decipher.
  const std::string secret31 = secret.substr(0, 31);
  const std::string hexPastEnd = encryptedHex("s3cret PIN", secret31 + '\0');
  std::string lowerHex = tool::toLower(hex);
  std::string tampered = hex;
  tampered[tampered.size() - 1] = tampered.back() == '0' ? '1' : '0';
  struct Case {
    std::string json;
    std::optional<std::string> value;  // of key "v"
  };
  const Case cases[] = {
      {R"({"v":"C:*temp","v_QuillmarkFlag":"TRUE"})", "C:\\temp"},
      {R"({"v":"C:*temp","v_QuillmarkFlag":"true2"})", "C:*temp"},
      {R"({"v":"C:*temp","v_QuillmarkFlag":"false"})", "C:*temp"},
      {R"({"v":"C:==QuillmarkSlash==x","v_QuillmarkSlashFlag":"True"})", "C:\\x"},
      {R"({"v":"SGVsbG8%3D","v_QuillmarkBase64Flag":"true"})", "Hello"},
      {R"({"v":"%2B%2F8%3D","v_QuillmarkBase64Flag":"true"})", "\xfb\xff"},
      // Decoding stops at the first character outside the alphabet.
      {R"({"v":"SGVs@bG8","v_QuillmarkBase64Flag":"true"})", "Hel"},
      {R"({"v":"AEE=","v_QuillmarkBase64Flag":"true"})", ""},  // a text ends at its NUL
      // One marking only, the first in order.
      {R"({"v":"a*b==QuillmarkSlash==c","v_QuillmarkFlag":"true","v_QuillmarkSlashFlag":"true"})",
       "a\\b==QuillmarkSlash==c"},
      {R"({"v":"x","v_QuillmarkHide":"true"})", "x"},
      {R"({"v":")" + hex + R"(","v_QuillmarkEncryptFlag":"true","Quillmark_share_secret":")" +
           secret + "\"}",
       "s3cret PIN"},
      {R"({"v":")" + lowerHex + R"(","v_QuillmarkEncryptFlag":"true","Quillmark_share_secret":")" +
           secret + "extra bytes\"}",
       "s3cret PIN"},
      // Every failed decryption hands out the raw value.
      {R"({"v":")" + hex + R"(","v_QuillmarkEncryptFlag":"true"})", hex},
      {R"({"v":")" + hex + R"(","v_QuillmarkEncryptFlag":"true","Quillmark_share_secret":")" +
           secret31 + "\"}",
       hex},
      {R"({"v":")" + hexPastEnd +
           R"(","v_QuillmarkEncryptFlag":"true","Quillmark_share_secret":")" + secret31 + "\"}",
       hexPastEnd},
      {R"({"v":")" + tampered + R"(","v_QuillmarkEncryptFlag":"true","Quillmark_share_secret":")" +
           secret + "\"}",
       tampered},
      {R"({"v":")" + hex.substr(1) +
           R"(","v_QuillmarkEncryptFlag":"true","Quillmark_share_secret":")" + secret + "\"}",
       hex.substr(1)},
      {R"({"v":")" + hex.substr(0, 30) + "zz" + hex.substr(32) +
           R"(","v_QuillmarkEncryptFlag":"true","Quillmark_share_secret":")" + secret + "\"}",
       hex.substr(0, 30) + "zz" + hex.substr(32)},
      {R"({"v":"","v_QuillmarkEncryptFlag":"true","Quillmark_share_secret":")" + secret + "\"}",
       ""},
      {R"({"w":"1"})", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    JsonMap map = JsonMap::parse(c.json.c_str());
    ASSERT_TRUE(map);
    testing::internal::CaptureStdout();
    EXPECT_EQ(map.text("V"), c.value);
    testing::internal::GetCapturedStdout();
  }
}

TEST(JsonMapDecoding, BooleanAndInteger) {
  struct Case {
    const char* value;
    bool boolean;
    int integer;
  };
  const Case cases[] = {
      {"true", true, 1},
      {"TRUE", true, 1},
      {"false", false, 0},
      {"FaLsE", false, 0},
      {"12", false, 12},
      {" \t-42abc", false, -42},
      {"+7", false, 7},
      {"abc", false, 0},
      {"", false, 0},
      {"true ", false, 0},
      {"99999999999", false, INT_MAX},
      {"-99999999999", false, INT_MIN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    JsonMap map = JsonMap::create();
    ASSERT_TRUE(map.set("k", c.value));
    EXPECT_EQ(map.boolean("k"), c.boolean);
    EXPECT_EQ(map.integer("k"), c.integer);
  }
  JsonMap map = JsonMap::parse(R"({"n":"-2*0","n_QuillmarkFlag":"true"})");
  EXPECT_EQ(map.integer("n"), -2);  // decoded first: -2\\0
  EXPECT_FALSE(map.boolean("absent"));
  EXPECT_EQ(map.integer("absent"), 0);
  EXPECT_FALSE(getBool(nullptr, "k"));
  EXPECT_EQ(getInt(map.get(), nullptr), 0);
  EXPECT_EQ(getText(nullptr, "k"), std::nullopt);
}

TEST(JsonMapSet, AnswerSerialisesExactly) {
  JsonMap answer = JsonMap::create();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer.serialise(), "{}");
  ASSERT_TRUE(answer.set("SessionID", "ab"));
  ASSERT_TRUE(answer.setResult(0));
  EXPECT_EQ(answer.serialise(), R"({"result": "MA==", "SessionID": "YWI="})");
  // Same key in another case replaces the value and keeps the stored key.
  ASSERT_TRUE(answer.set("RESULT", "61005"));
  EXPECT_EQ(answer.count(), 2);
  EXPECT_EQ(answer.serialise(), R"({"result": "NjEwMDU=", "SessionID": "YWI="})");
  ASSERT_TRUE(answer.set("SessionID", nullptr));
  ASSERT_TRUE(answer.set("result", nullptr));
  EXPECT_EQ(answer.serialise(), "{}");
  EXPECT_EQ(answer.sourceText(), nullptr);

  EXPECT_FALSE(setText(nullptr, "k", "v"));
  EXPECT_FALSE(answer.set(nullptr, "v"));
  EXPECT_EQ(serialise(nullptr), std::nullopt);
}

TEST(JsonMapSet, ParseSetSerialiseRoundTrip) {
  JsonMap map =
      JsonMap::parse(R"({"FunctionName":"Echo","zeta":"z \"q\"","Alpha":"a\nb","mid":"ü"})");
  ASSERT_TRUE(map);
  ASSERT_TRUE(map.setResult(-5));
  ASSERT_TRUE(map.set("Beta", ""));
  auto text = map.serialise();
  ASSERT_TRUE(text);
  // Reading the answer back: keys in table order, values Base64.
  JsonMap back = JsonMap::parse(text->c_str());
  ASSERT_TRUE(back);
  Pairs decoded;
  for (auto& [key, value] : entriesOf(back)) decoded.emplace_back(key, tool::base64Decode(value));
  EXPECT_EQ(decoded, (Pairs{{"Alpha", "a\nb"},
                            {"Beta", ""},
                            {"FunctionName", "Echo"},
                            {"mid", "ü"},
                            {"result", "-5"},
                            {"zeta", "z \"q\""}}));
}

TEST(JsonMapSet, FullTableRefusesNewKeys) {
  JsonMap map = JsonMap::parse(objectOf(128).c_str());
  ASSERT_EQ(map.count(), 128);
  const QuillmarkJsonEntry before = map.get()->entries[127];
  LogTail log;
  EXPECT_FALSE(map.set("another", "x"));
  EXPECT_FALSE(map.setResult(0));
  EXPECT_NE(log.text().find("Json map full: another"), std::string::npos);
  EXPECT_EQ(map.count(), 128);
  EXPECT_EQ(map.get()->entries[127].key, before.key);
  EXPECT_EQ(map.lookup("another"), std::nullopt);
  // Replacing stays possible.
  EXPECT_TRUE(map.set("K5", "new"));
  EXPECT_EQ(map.lookup("k5"), "new");
  EXPECT_EQ(map.lookup("k127"), "v127");
}

TEST(JsonMapSet, InsertionsKeepOrder) {
  JsonMap map = JsonMap::create();
  const char* keys[] = {"m", "B", "a", "Z", "_x", "c", "b2", "A1", "zz", "0"};
  for (const char* key : keys) ASSERT_TRUE(map.set(key, key));
  ASSERT_EQ(map.count(), 10);
  for (int i = 1; i < map.count(); ++i) {
    EXPECT_LT(compareKeys(map.get()->entries[i - 1], map.get()->entries[i]), 0);
  }
  for (const char* key : keys) EXPECT_EQ(map.lookup(key), key);
}

TEST(JsonMapDump, MasksSecretsAndHiddenValues) {
  JsonMap map = JsonMap::parse(
      R"({"userPin":"q7z4","Quillmark_share_secret":"abc","note":"hello","Data":"xyz",)"
      R"("Data_QuillmarkHide":"true","UserPW":"pw1","passphrase":"p"})");
  ASSERT_TRUE(map);
  ASSERT_TRUE(map.set("empty", nullptr));
  LogTail log;
  map.dump();
  std::string text = log.text();
  for (const char* line :
       {"= DISPLAY PARAMETER ===== start =====", "userPin: ****", "Quillmark_share_secret: abc",
        "note: hello", "Data: ***", "UserPW: ***", "passphrase: *", "empty: [empty]",
        "= DISPLAY PARAMETER ===== end ====="}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(text.find("q7z4"), std::string::npos);
}

TEST(JsonMapDump, EncryptedHideFlagDoesNotRecurse) {
  // Reading v dumps the map; the dump reads the hide flag, itself marked encrypted.
  JsonMap map =
      JsonMap::parse(R"({"v":"00","v_QuillmarkEncryptFlag":"true","v_QuillmarkHide":"true",)"
                     R"("v_QuillmarkHide_QuillmarkEncryptFlag":"true"})");
  ASSERT_TRUE(map);
  LogTail log;
  testing::internal::CaptureStdout();
  EXPECT_EQ(map.text("v"), "00");
  testing::internal::GetCapturedStdout();
  EXPECT_NE(log.text().find("v: **"), std::string::npos);
}

TEST(JsonMapReadKey, SingleValues) {
  const std::string message =
      R"({"From":"KVLQuillmark.exe","To":"KVLMonitor","Message":"say \"hi\"","Empty":""})";
  struct Case {
    std::string text;
    const char* key;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {message, "to", "KVLMonitor"},
      {message, "FROM", "KVLQuillmark.exe"},
      {message, "Message", "say \"hi\""},
      {message, "Empty", std::nullopt},
      {message, "Missing", std::nullopt},
      {message, "KVLMonitor", std::nullopt},    // values are not keys
      {R"({"a":"1","b"})", "b", std::nullopt},  // a key without value
      {R"({"a":"1")", "a", std::nullopt},
      {objectOf(40), "K1", std::nullopt},  // more than 64 tokens
      {"", "a", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " / " + c.key);
    EXPECT_EQ(readKey(c.text.c_str(), c.key), c.value);
  }
  EXPECT_EQ(readKey(nullptr, "a"), std::nullopt);
  EXPECT_EQ(readKey("{\"a\":\"1\"}", nullptr), std::nullopt);
}

// Random and mutated texts through the parser, every reader, set, serialise and the key reader:
// no crash or over-read (the sanitizer build checks), and every map that parses keeps its
// invariants.
TEST(JsonMapRobustness, RandomAndMutatedTexts) {
  std::mt19937 random(20240611);
  auto below = [&](std::size_t n) { return n ? random() % n : 0; };
  const std::string secret = "0123456789abcdef0123456789ABCDEF";
  const std::string seeds[] = {
      R"({"FunctionName":"GPKI_SignData","SessionId":"AB12CD34_SID","Pin":"C:*x",)"
      R"("Pin_QuillmarkFlag":"TRUE","w":"a==QuillmarkSlash==b","w_QuillmarkSlashFlag":"true"})",
      R"({"v":"SGVsbG8%3D","v_QuillmarkBase64Flag":"true","n":" -12x","t":true,"z":null,"e":""})",
      R"({"v":")" + encryptedHex("s3cret", secret) +
          R"(","v_QuillmarkEncryptFlag":"true","Quillmark_share_secret":")" + secret +
          R"(","v_QuillmarkHide":"true","userPin":"1234"})",
      R"({"a":{"b":[1,2,{"c":"\u000f\"\n\\"}]},"d":[[["x"]]],"k\"":"\u001b\t\r"})",
      R"({"From":"KVLQuillmark.exe","To":"KVLMonitor","Message":"say \"hi\"","Empty":""})",
      objectOf(128),
  };
  const std::string alphabet = "{}[]\":,\\ \tunrtf019aAeEQ*=%/+-._";
  auto someByte = [&] {
    return below(8) == 0 ? static_cast<char>(1 + below(255)) : alphabet[below(alphabet.size())];
  };
  auto mutate = [&](std::string text) {
    for (std::size_t n = 1 + below(4); n > 0; --n) {
      std::size_t at = below(text.size() + 1);
      std::size_t length = std::min<std::size_t>(1 + below(8), text.size() - at);
      switch (below(5)) {
        case 0:
          if (at < text.size()) text[at] = someByte();
          break;
        case 1:
          text.insert(at, 1, someByte());
          break;
        case 2:
          text.erase(at, length);
          break;
        case 3:
          text.insert(at, text.substr(at, length));
          break;
        default:
          text.resize(at);
      }
    }
    return text;
  };
  const char* const kFlags[] = {"_QuillmarkEncryptFlag", "_QuillmarkFlag", "_QuillmarkSlashFlag",
                                "_QuillmarkBase64Flag", "_QuillmarkHide"};

  testing::internal::CaptureStdout();  // code 65 lines of short cipher texts
  int parsed = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    if (round % 4 == 0) {
      for (std::size_t n = below(48); n > 0; --n) text += someByte();
    } else {
      text = mutate(seeds[below(std::size(seeds))]);
    }
    SCOPED_TRACE(text);
    EXPECT_EQ(readKey(text.c_str(), "From").has_value(), readKey(text.c_str(), "from").has_value());
    JsonMap map = JsonMap::parse(text.c_str());
    if (!map) continue;
    ++parsed;
    const QuillmarkJsonMap* raw = map.get();
    ASSERT_GE(raw->count, 0);
    ASSERT_LE(raw->count, kCapacity);
    ASSERT_STREQ(raw->sourceText, text.c_str());
    for (int i = 1; i < raw->count; ++i) {
      ASSERT_LE(compareKeys(raw->entries[i - 1], raw->entries[i]), 0);
    }
    for (int i = raw->count; i < kCapacity; ++i) ASSERT_EQ(raw->entries[i].key, nullptr);

    Pairs pairs = entriesOf(map);
    for (const auto& [key, value] : pairs) {
      EXPECT_TRUE(map.lookup(key.c_str()).has_value());
      map.text(key.c_str());
      map.boolean(key.c_str());
      map.integer(key.c_str());
      readKey(text.c_str(), key.c_str());
    }
    // Mark a value at random and read it back through the decoding.
    if (!pairs.empty()) {
      const std::string& key = pairs[below(pairs.size())].first;
      map.set((key + kFlags[below(std::size(kFlags))]).c_str(), "true");
      if (below(2)) map.set("Quillmark_share_secret", below(2) ? secret.c_str() : "short");
      EXPECT_TRUE(map.text(key.c_str()).has_value());
    }
    map.setResult(round);
    auto answer = map.serialise();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->front(), '{');
    EXPECT_EQ(answer->back(), '}');
  }
  testing::internal::GetCapturedStdout();
  // The mutations must reach the readers, not only the parser's error paths.
  EXPECT_GT(parsed, 400);
}

}  // namespace
}  // namespace qm::json
