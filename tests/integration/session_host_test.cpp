// The session host with real adapter library copies, the scripted component and real files in a
// private temporary root.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../fixtures/scripted_component/scripted_component.h"
#include "platform/process.h"
#include "session/request_processor.h"
#include "session/session_table.h"
#include "util/tool.h"

namespace fs = std::filesystem;
using qm::json::JsonMap;
using namespace qm::session;

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;
using Answer = std::map<std::string, std::string>;

constexpr char kOrigin[] = "https://www.example.com";
constexpr char kTablePathId[] = "cbe8ff3eef8e47caa718006350511855";
constexpr char kAdapterVersion[] = "1,6,5,12020";

struct Root {
  fs::path dir, shared, program, installed, script, record, fakeRecord, logDir;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// One root per process: logging is set up once per process, from the ini in TMPDIR.
const Root& root() {
  static const Root r = [] {
    Root r;
    const fs::path bin = QUILLMARK_BIN_DIR;
    r.dir = fs::temp_directory_path() / ("quillmark-session-" + qm::tool::instanceTag());
    for (const char* sub : {"appdata", "tmp", "home", "run", "log"}) {
      fs::create_directories(r.dir / sub);
    }
    r.shared = r.dir / "appdata" / "KVLQuillmark";
    r.program = r.dir / "program";
    r.installed = r.program / "KVL" / "KVLZDGPKICryptATLAdapter.so";
    r.script = r.dir / "script";
    r.record = r.dir / "record";
    r.fakeRecord = r.dir / "fake-record";
    r.logDir = r.dir / "log";
    fs::create_directories(r.installed.parent_path());
    fs::copy_file(bin / "KVL" / "KVLZDGPKICryptATLAdapter.so", r.installed);
    fs::create_directories(r.program / "fake");
    for (const char* name : {"KVLFakeAdapter.so", "KVLNoEntryAdapter.so"}) {
      fs::copy_file(bin / ".." / "tests" / "adapters" / name, r.program / "fake" / name);
    }
    writeFile(r.program / "fake" / "KVLBroken.so", "not a library");
    writeFile(
        r.dir / "tmp" / "KVLQuillmark.ini",
        "[KVLQuillmark]\nLog File=" + (r.logDir / "session.log").string() + "\nLog Level=5\n");
    const std::pair<const char*, std::string> env[] = {
        {"QUILLMARK_COMMON_APPDATA", (r.dir / "appdata").string()},
        {"TMPDIR", (r.dir / "tmp").string()},
        {"HOME", (r.dir / "home").string()},
        {"XDG_RUNTIME_DIR", (r.dir / "run").string()},
        {"QUILLMARK_COMPONENT_DIR", (bin / qm::test::kComponentDirFromBin).string()},
        {qm::test::kScriptVariable, r.script.string()},
        {qm::test::kRecordVariable, r.record.string()},
        {"QUILLMARK_FAKE_ADAPTER_RECORD", r.fakeRecord.string()},
    };
    for (const auto& [name, value] : env) ::setenv(name, value.c_str(), 1);
    return r;
  }();
  return r;
}

class RootCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root().dir, ec);
  }
};
[[maybe_unused]] const auto* const kCleanup = ::testing::AddGlobalTestEnvironment(new RootCleanup);

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string jsonOf(const Fields& fields) {
  std::string text = "{";
  for (const auto& [key, value] : fields) {
    if (text.size() > 1) text += ",";
    text += quoted(key) + ":" + quoted(value);
  }
  return text + "}";
}

Answer answerOf(const JsonMap& map) {
  Answer answer;
  for (int i = 0; i < map.count(); ++i) {
    const QuillmarkJsonEntry& entry = map.get()->entries[i];
    answer[entry.key] = entry.value ? entry.value : "<null>";
  }
  return answer;
}

Answer call(const Fields& fields, const char* origin = kOrigin) {
  JsonMap request = JsonMap::parse(jsonOf(fields).c_str());
  EXPECT_TRUE(request);
  JsonMap answer = processRequest(request.get(), origin, qm::platform::currentProcessId());
  EXPECT_TRUE(answer);
  return answerOf(answer);
}

Fields openFields(const std::string& function, Fields extra = {}) {
  Fields fields = {
      {"FunctionName", function}, {"PathID", kTablePathId}, {"minServerVersion", "1.0.23.0510"}};
  fields.insert(fields.end(), extra.begin(), extra.end());
  return fields;
}

// Opens a session with the table's adapter and returns its id.
std::string open(const std::string& function = "GPKI_GetSerialNumber", Fields extra = {},
                 const char* origin = kOrigin) {
  Answer answer = call(openFields(function, std::move(extra)), origin);
  EXPECT_EQ(answer["LibVersion"], kAdapterVersion);
  return answer["SessionID"];
}

// Every adapter file below the shared data folder.
std::vector<fs::path> copies() {
  std::vector<fs::path> found;
  for (const auto& entry : fs::recursive_directory_iterator(root().shared)) {
    if (entry.path().extension() == ".so") found.push_back(entry.path());
  }
  return found;
}

std::string log() {
  std::string text;
  for (const auto& entry : fs::directory_iterator(root().logDir)) text += readFile(entry.path());
  return text;
}

int openSlots() {
  int open = 0;
  for (int slot = 0; slot < kSessionSlots; ++slot) open += session(slot) != nullptr;
  return open;
}

class SessionHost : public ::testing::Test {
 protected:
  void SetUp() override {
    const Root& r = root();
    setScript("");
    std::error_code ec;
    fs::remove(r.record, ec);
    fs::remove(r.fakeRecord, ec);
    ::unsetenv("QUILLMARK_FAKE_ADAPTER_VERSION");
    ASSERT_TRUE(initialiseSessionTable(r.shared.string(), r.program.string()));
  }
  void TearDown() override { releaseAllSessions(); }

  static void setScript(const std::string& text) { writeFile(root().script, text); }
};

TEST_F(SessionHost, InitialisationBuildsTheSessionAreaAndTheVersionMarker) {
  EXPECT_EQ(readFile(root().shared / "KVLQuillmarkMainVersion"), "Quillmark version=1.0.23.0510");
  for (int slot : {0, 31}) EXPECT_TRUE(fs::is_directory(sessionFolder(slot)));
  EXPECT_EQ(sessionFolder(7), (root().shared / "Tempfile" / "Session_7").string());
  EXPECT_EQ(openSlots(), 0);
}

TEST_F(SessionHost, FirstRequestOpensASessionAndLaterOnesFindItInsideTheirId) {
  Answer first = call(openFields("GPKI_GetSerialNumber"));
  const std::string id = first["SessionID"];
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-Z]{8}_SID"))) << id;
  EXPECT_EQ(first, (Answer{{"SessionID", id},
                           {"ServerVersion", "1.0.23.0510"},
                           {"LibVersion", kAdapterVersion},
                           {"result", "GPKI_GetSerialNumber"}}));
  const fs::path copy = fs::path(sessionFolder(0)) / "KVLZDGPKICryptATLAdapter.so";
  ASSERT_NE(session(0), nullptr);
  EXPECT_EQ(session(0)->loadedPath, copy.string());
  EXPECT_TRUE(fs::exists(copy));

  EXPECT_EQ(call({{"SessionId", "xx" + id + "yy"},
                  {"FunctionName", "CAPICertGetSubject"},
                  {"strCert", "c"},
                  {"iFlags", "0"}}),
            (Answer{{"result", "CAPICertGetSubject"}}));

  EXPECT_EQ(call({{"SessionId", id}, {"FunctionName", "QuillmarkClose"}}), Answer{});
  EXPECT_FALSE(findSession(id));
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_TRUE(fs::exists(root().installed));
}

TEST_F(SessionHost, UnknownIdIsTakenOverOnlyWhenShapedLikeAnId) {
  // A page whose session was evicted keeps its id.
  Answer kept = call(openFields("Echo", {{"SessionId", "ABCDEFGH_SID"}}));
  EXPECT_EQ(kept.count("SessionID"), 0u);
  EXPECT_EQ(findSession("ABCDEFGH_SID"), 0);
  // Any other text would match inside other pages' ids; it gets a fresh id instead.
  for (const char* foreign : {"_SID", "S", "abcdefgh_SID"}) {
    Answer fresh = call(openFields("Echo", {{"SessionId", foreign}}));
    EXPECT_TRUE(std::regex_match(fresh["SessionID"], std::regex("[0-9A-Z]{8}_SID"))) << foreign;
    EXPECT_EQ(findSession(foreign), std::nullopt) << foreign;
  }
  EXPECT_EQ(findSession("xxABCDEFGH_SIDyy"), 0);
}

TEST_F(SessionHost, ClosingWithoutASessionOpensNothing) {
  for (const char* name : {"QuillmarkClose", "QuillmarkForceRelease", "QuillmarkRelease"}) {
    Answer answer = call({{"FunctionName", name}, {"PathID", kTablePathId}});
    EXPECT_EQ(answer.size(), 1u) << name;
    EXPECT_EQ(answer.count("SessionID"), 1u) << name;
  }
  EXPECT_EQ(openSlots(), 0);
  EXPECT_TRUE(copies().empty());
}

TEST_F(SessionHost, NullRequestOrOriginGivesNoAnswer) {
  JsonMap request = JsonMap::parse(jsonOf(openFields("GPKI_GetSerialNumber")).c_str());
  EXPECT_FALSE(processRequest(nullptr, kOrigin, 1));
  EXPECT_FALSE(processRequest(request.get(), nullptr, 1));
  EXPECT_EQ(openSlots(), 0);
}

TEST(SessionNames, SanitiserDropsPathCharactersAndABareParentFolder) {
  const std::pair<std::string, std::string> cases[] = {
      {"..\\KVL", "..KVL"},
      {"..", ""},
      {"...", "..."},
      {"K<V>L", "KVL"},
      {"a:b\"c/d|e?f*g;h&i$j", "abcdefghij"},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(sanitiseName(name), expected) << name;
}

TEST_F(SessionHost, PathTableDecidesWhichLibraryMayLoad) {
  struct Case {
    Fields fields;
    std::string result;      // expected failure result; empty: the session opens
    std::string libVersion;  // of the opened session
  };
  const std::string table = "KVLZDGPKICryptATLAdapter";
  const Case cases[] = {
      {{}, "61009", ""},
      {{{"LibDir", "KVL"}, {"ComName", table}}, "", kAdapterVersion},
      {{{"LibDir", "kvl"}, {"ComName", "kvlzdgpkicryptatladapter"}}, "", kAdapterVersion},
      {{{"LibDir", "fake"}, {"ComName", "KVLFakeAdapter"}}, "61009", ""},
      {{{"PathID", kTablePathId}, {"LibDir", "x"}, {"ComName", "y"}}, "", kAdapterVersion},
      {{{"PathID", "other"}, {"LibDir", "fake"}, {"ComName", "KVLFakeAdapter"}}, "", "2.0.0.0"},
      {{{"PathID", "other"}, {"LibDir", "K<V>L"}, {"ComName", table}}, "", kAdapterVersion},
      {{{"PathID", "other"}, {"LibDir", ".."}, {"ComName", table}}, "61009", ""},
      {{{"PathID", "other"}, {"LibDir", "../KVL"}, {"ComName", table}}, "61902", ""},
      {{{"PathID", "other"}, {"LibDir", "fake"}, {"ComName", "KVLBroken"}}, "61902", ""},
      {{{"PathID", "other"}, {"LibDir", "fake"}, {"ComName", "KVLNoEntryAdapter"}}, "61906", ""},
  };
  for (const Case& c : cases) {
    Fields fields = {{"FunctionName", "Echo"}, {"minServerVersion", "1.0.23.0510"}};
    fields.insert(fields.end(), c.fields.begin(), c.fields.end());
    const std::string name = jsonOf(fields);
    Answer answer = call(fields);
    if (c.result.empty()) {
      EXPECT_EQ(answer["result"], "0") << name;
      EXPECT_EQ(answer["LibVersion"], c.libVersion) << name;
      call({{"SessionId", answer["SessionID"]}, {"FunctionName", "QuillmarkForceRelease"}});
    } else {
      EXPECT_EQ(answer, (Answer{{"result", c.result}})) << name;
    }
    EXPECT_EQ(openSlots(), 0) << name;
    EXPECT_TRUE(copies().empty()) << name;
  }
}

TEST_F(SessionHost, VersionChecksDecideWhetherTheSessionOpens) {
  struct Case {
    std::optional<std::string> minServer, minLib;
    std::string result;  // empty: opens
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, "61203"},
      {"1.0.23.0510", std::nullopt, ""},
      {"1.0.22.9999", "1.6.5.12020", ""},
      {"1.0.23.0511", "", "61203"},
      {"1.0", "", "61203"},
      {"1.0.23.0510", "1.6.5.12021", "61204"},
      {"1.0.23.0510", "1.6.5", "61204"},
  };
  for (const Case& c : cases) {
    Fields fields = {{"FunctionName", "Echo"}, {"PathID", kTablePathId}};
    if (c.minServer) fields.emplace_back("minServerVersion", *c.minServer);
    if (c.minLib) fields.emplace_back("minLibVersion", *c.minLib);
    const std::string name = jsonOf(fields);
    Answer answer = call(fields);
    if (c.result.empty()) {
      EXPECT_EQ(answer["result"], "0") << name;
      call({{"SessionId", answer["SessionID"]}, {"FunctionName", "QuillmarkForceRelease"}});
    } else {
      EXPECT_EQ(answer, (Answer{{"result", c.result}})) << name;
    }
    EXPECT_EQ(openSlots(), 0) << name;
    EXPECT_TRUE(copies().empty()) << name;
  }
}

TEST_F(SessionHost, AdapterFailuresDuringTheHandshakeFreeTheSlot) {
  struct Case {
    const char* script;
    std::optional<std::string> fakeVersion;  // set: the string-only adapter answers this
    bool keepsSessionId;                     // the answer is left as it was
    std::string result;
  };
  const Case cases[] = {
      {"create fail\n", std::nullopt, false, "61905"},
      {"", "61011", false, "61011"},
      {"", "", true, ""},
  };
  for (const Case& c : cases) {
    setScript(c.script);
    Fields fields = openFields("GPKI_GetSerialNumber");
    if (c.fakeVersion) {
      ::setenv("QUILLMARK_FAKE_ADAPTER_VERSION", c.fakeVersion->c_str(), 1);
      fields = openFields("Any",
                          {{"PathID", "other"}, {"LibDir", "fake"}, {"ComName", "KVLFakeAdapter"}});
    }
    Answer answer = call(fields);
    if (c.keepsSessionId) {
      EXPECT_EQ(answer.size(), 1u);
      EXPECT_EQ(answer.count("SessionID"), 1u);
    } else {
      EXPECT_EQ(answer, (Answer{{"result", c.result}}));
    }
    EXPECT_EQ(openSlots(), 0);
    EXPECT_TRUE(copies().empty());
  }
}

TEST_F(SessionHost, StringEntryPointGetsTheRequestTextAndTheHandshakeAsJson) {
  const Fields fields = openFields(
      "Anything",
      {{"PathID", "other"}, {"LibDir", "fake"}, {"ComName", "KVLFakeAdapter"}, {"note", "a\"b"}});
  Answer answer = call(fields);
  EXPECT_EQ(answer["result"], jsonOf(fields));
  EXPECT_EQ(answer["LibVersion"], "2.0.0.0");
  call({{"SessionId", answer["SessionID"]}, {"FunctionName", "QuillmarkRelease"}});

  const auto lines = qm::test::readRecord(root().fakeRecord.string());
  ASSERT_EQ(lines.size(), 4u);
  for (const auto& [line, pieces] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {lines[0],
            {"\"functionname\":\"Quillmark_Unlock\"", "\"url\":\"https://www.example.com\"",
             "\"QuillmarkFunctionIndex\":\"-2\"", "\"AdapterJsonKeyCheck\":\"true\""}},
           {lines[1], {"\"functionname\":\"Quillmark_GetVersion\"", "\"-1\""}},
           {lines[3], {"\"functionname\":\"Quillmark_Release\"", "\"-3\""}}}) {
    for (const std::string& piece : pieces) EXPECT_NE(line.find(piece), std::string::npos) << line;
  }
}

TEST_F(SessionHost, EchoAnswersVersionsAndBrowserModeSkipsClosing) {
  writeFile(root().shared / "FooSetupVersion.txt", "3.1.4");
  Answer opened =
      call(openFields("echo", {{"QuillmarkMode", "true"}, {"InstallerName", "FooSetup.exe"}}));
  const std::string id = opened["SessionID"];
  const Answer versions = {{"ServerVersion", "1.0.23.0510"},
                           {"LibVersion", kAdapterVersion},
                           {"InstallerVersion", "3.1.4"},
                           {"result", "0"}};
  Answer expected = versions;
  expected["SessionID"] = id;
  EXPECT_EQ(opened, expected);
  for (const std::string& line : qm::test::readRecord(root().record.string())) {
    EXPECT_NE(line.rfind("call ", 0), 0u) << "echo reached the component: " << line;
  }

  for (const char* name : {"QuillmarkClose", "QuillmarkRelease"}) {
    EXPECT_EQ(call({{"SessionId", id}, {"FunctionName", name}}), Answer{});
  }
  EXPECT_TRUE(findSession(id));
  EXPECT_EQ(call({{"SessionId", id}, {"FunctionName", "QuillmarkEcho"}}), versions);
  EXPECT_EQ(call({{"SessionId", id}, {"FunctionName", "QuillmarkForceRelease"}}), Answer{});
  EXPECT_FALSE(findSession(id));

  // Without browser mode a close ends the session.
  const std::string plain = call(openFields("Echo", {{"QuillmarkMode", "0"}}))["SessionID"];
  EXPECT_EQ(call({{"SessionId", plain}, {"FunctionName", "QuillmarkClose"}}), Answer{});
  EXPECT_FALSE(findSession(plain));
  EXPECT_TRUE(copies().empty());
}

TEST_F(SessionHost, ThirtyThirdSessionEvictsTheOldestAndReusesItsSlot) {
  std::vector<std::string> ids;
  for (int i = 0; i < kSessionSlots; ++i) ids.push_back(open());
  ASSERT_EQ(openSlots(), kSessionSlots);
  ASSERT_EQ(copies().size(), static_cast<std::size_t>(kSessionSlots));
  // Use does not matter, only age: the first session is the one to go.
  EXPECT_EQ(call({{"SessionId", ids[0]}, {"FunctionName", "GPKI_GetSerialNumber"}})["result"],
            "GPKI_GetSerialNumber");

  const std::string newest = open();
  EXPECT_FALSE(findSession(ids[0]));
  EXPECT_EQ(findSession(newest), 0);
  EXPECT_EQ(findSession(ids[1]), 1);
  EXPECT_GT(creationStamp(0), creationStamp(31));
  EXPECT_EQ(session(0)->loadedPath,
            (fs::path(sessionFolder(0)) / "KVLZDGPKICryptATLAdapter.so").string());
  EXPECT_EQ(copies().size(), static_cast<std::size_t>(kSessionSlots));
}

TEST_F(SessionHost, StaleCopyIsNotOverwrittenAndTheInstalledFileRuns) {
  const fs::path stale = fs::path(sessionFolder(0)) / "KVLZDGPKICryptATLAdapter.so";
  writeFile(stale, "stale");
  const std::string id = open();
  ASSERT_NE(session(0), nullptr);
  EXPECT_EQ(session(0)->loadedPath, root().installed.string());
  EXPECT_EQ(call({{"SessionId", id}, {"FunctionName", "QuillmarkClose"}}), Answer{});
  EXPECT_TRUE(fs::exists(root().installed));
  EXPECT_EQ(readFile(stale), "stale");

  releaseAllSessions();
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(root().installed));
}

TEST_F(SessionHost, ChannelValuesTravelBetweenSessionsOfAllowedOrigins) {
  const std::string writer = open();
  const std::string reader = open("GPKI_GetSerialNumber", {}, "https://app.example.com");
  auto request = [](const std::string& id, const char* function, Fields extra) {
    Fields fields = {{"SessionId", id}, {"FunctionName", function}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return fields;
  };
  EXPECT_EQ(call(request(writer, "setQuillmarkValue",
                         {{"channel", "Ch"},
                          {"domain_list", ".example.com"},
                          {"value", "s3cret"},
                          {"timeout", "0"}})),
            (Answer{{"result", "0"}}));

  struct Case {
    Fields fields;
    const char* origin;
    const char* result;
  };
  const Case cases[] = {
      {{{"channel", "ch"}}, "https://app.example.com", "s3cret"},
      {{{"channel", "ch"}}, "https://evil.test", ""},
      {{{"channel", "other"}}, "https://app.example.com", ""},
      {{}, "https://app.example.com", "61005"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(call(request(reader, "getQuillmarkValue", c.fields), c.origin),
              (Answer{{"result", c.result}}))
        << jsonOf(c.fields) << " from " << c.origin;
  }
  EXPECT_EQ(call(request(writer, "setQuillmarkValue", {{"channel", "Ch"}, {"domain_list", "x"}})),
            (Answer{{"result", "61005"}}));
}

TEST_F(SessionHost, ComponentResultLineHonoursHideResult) {
  const std::size_t logged = log().size();
  Answer hidden = call(openFields("GPKI_GetSerialNumber", {{"hide_result", "TRUE"}}));
  EXPECT_EQ(hidden["result"], "GPKI_GetSerialNumber");

  setScript("GPKI_GetSerialNumber text first%0Asecond\n");
  Answer shown = call(openFields("GPKI_GetSerialNumber"));
  EXPECT_EQ(shown["result"], "first\nsecond");

  const std::string text = log().substr(logged);
  EXPECT_NE(text.find(" Component result: " + std::string(20, '*') + "\n"), std::string::npos);
  EXPECT_EQ(text.find(" Component result: GPKI_GetSerialNumber"), std::string::npos);
  EXPECT_NE(text.find(" Component result:\nfirst\nsecond\n"), std::string::npos);
}

TEST_F(SessionHost, ReleaseAllSessionsReleasesEveryAdapterAndDeletesEveryCopy) {
  for (int i = 0; i < 3; ++i) open();
  writeFile(root().shared / "Leftover.so", "x");
  writeFile(fs::path(sessionFolder(5)) / "Leftover.so", "x");
  releaseAllSessions();

  EXPECT_EQ(openSlots(), 0);
  EXPECT_TRUE(copies().empty());
  EXPECT_TRUE(fs::exists(root().installed));
  int created = 0, released = 0;
  for (const std::string& line : qm::test::readRecord(root().record.string())) {
    created += line.rfind("create ", 0) == 0;
    released += line.rfind("release ", 0) == 0;
  }
  EXPECT_EQ(created, 3);
  EXPECT_EQ(released, 3);
}

}  // namespace
