// Drives the adapter library as the server does: a private copy of the built module loaded at
// run time, its two exports, and the scripted component behind it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../fixtures/scripted_component/scripted_component.h"
#include "adapter/adapter_api.h"
#include "platform/dynlib.h"
#include "platform/process.h"
#include "util/json_map.h"

namespace {

namespace fs = std::filesystem;
using Entries = std::vector<std::pair<std::string, std::string>>;

const fs::path kBuiltAdapter = fs::path(QUILLMARK_BIN_DIR) / "KVL" / "KVLZDGPKICryptATLAdapter.so";
constexpr char kVersion[] = "1,6,5,12020";

// A private folder for the whole test program, and the scripted component's channel.
struct TestRoot {
  fs::path dir;
  fs::path script;
  fs::path record;
  std::string componentDir;

  TestRoot() {
    dir = fs::temp_directory_path() /
          ("quillmark_adapter_test_" + std::to_string(qm::platform::currentProcessId()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    script = dir / "script.txt";
    record = dir / "record.txt";
    componentDir = (fs::path(QUILLMARK_BIN_DIR) / qm::test::kComponentDirFromBin).string();
    setenv("QUILLMARK_COMPONENT_DIR", componentDir.c_str(), 1);
    setenv(qm::test::kScriptVariable, script.c_str(), 1);
    setenv(qm::test::kRecordVariable, record.c_str(), 1);
    // No log settings of the machine's temp folder may switch the adapter's logging on.
    setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TestRoot() { fs::remove_all(dir); }
};

TestRoot& root() {
  static TestRoot instance;
  return instance;
}

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Fields of a record line: "call 3 Name args..." -> {"call", "3", "Name args..."}.
struct RecordLine {
  std::string event;
  std::string instance;
  std::string rest;
};

std::vector<RecordLine> recordLines() {
  std::vector<RecordLine> lines;
  for (const std::string& line : qm::test::readRecord(root().record.string())) {
    RecordLine entry;
    std::istringstream words(line);
    words >> entry.event >> entry.instance;
    std::getline(words >> std::ws, entry.rest);
    lines.push_back(entry);
  }
  return lines;
}

// "Name args" of the last method call, "" when none.
std::string lastCall() {
  std::string last;
  for (const RecordLine& line : recordLines()) {
    if (line.event == "call") last = line.rest;
  }
  return last;
}

std::vector<std::string> instances(const std::string& event) {
  std::vector<std::string> found;
  for (const RecordLine& line : recordLines()) {
    if (line.event == event) found.push_back(line.instance);
  }
  return found;
}

std::string jsonText(const Entries& entries) {
  std::string text = "{";
  for (const auto& [key, value] : entries) {
    if (text.size() > 1) text += ",";
    std::string escaped;
    for (char c : value) {
      if (c == '"') escaped += '\\';
      escaped += c;
    }
    text += "\"" + key + "\":\"" + escaped + "\"";
  }
  return text + "}";
}

// One loaded copy of the adapter file, as a session holds it.
class LoadedAdapter {
 public:
  explicit LoadedAdapter(const fs::path& folder) {
    fs::create_directories(folder);
    path_ = folder / kBuiltAdapter.filename();
    fs::copy_file(kBuiltAdapter, path_, fs::copy_options::overwrite_existing);
    std::string error;
    library_ = qm::platform::DynamicLibrary::open(path_.string(), &error);
    if (!library_) throw std::runtime_error("cannot load the adapter: " + error);
    callMethod_ = library_->function<CallMethodFunction>(qm::adapter::kCallMethodName);
    callJsonMapMethod_ =
        library_->function<CallJsonMapMethodFunction>(qm::adapter::kCallJsonMapMethodName);
    if (!callMethod_ || !callJsonMapMethod_) throw std::runtime_error("entry points missing");
  }
  // The server releases a session's component before it unloads the library.
  ~LoadedAdapter() {
    release();
    library_.reset();
    fs::remove(path_);
  }
  LoadedAdapter(const LoadedAdapter&) = delete;
  LoadedAdapter& operator=(const LoadedAdapter&) = delete;

  const char* rawText(const char* request) { return callMethod_(request); }
  const char* rawMap(const QuillmarkJsonMap* request, const char* name) {
    return callJsonMapMethod_(request, name);
  }

  std::string text(const std::string& request) { return copy(rawText(request.c_str())); }
  std::string map(const Entries& entries, const char* name) {
    qm::json::JsonMap request = qm::json::JsonMap::create();
    for (const auto& [key, value] : entries) request.set(key.c_str(), value.c_str());
    return copy(rawMap(request.get(), name));
  }
  std::string release() { return map({{"QuillmarkFunctionIndex", "-3"}}, "Quillmark_Release"); }

  const fs::path& path() const { return path_; }

 private:
  static std::string copy(const char* result) { return result ? result : "<null pointer>"; }

  fs::path path_;
  std::optional<qm::platform::DynamicLibrary> library_;
  CallMethodFunction callMethod_ = nullptr;
  CallJsonMapMethodFunction callJsonMapMethod_ = nullptr;
};

class AdapterTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove(root().script);
    writeFile(root().record, "");
    static int copies = 0;
    adapter_.emplace(root().dir / ("session_" + std::to_string(++copies)));
  }
  void TearDown() override { adapter_.reset(); }

  // The script takes effect with the next instance, so the current one is released.
  void script(const std::string& text) {
    writeFile(root().script, text);
    adapter().release();
  }

  LoadedAdapter& adapter() { return *adapter_; }

 private:
  std::optional<LoadedAdapter> adapter_;
};

// The component functions as the page sees them.
enum Kind { kText, kInt };
enum Output { kTextOutput, kIntegerOutput, kVariantOutput, kNoOutput };
struct Parameter {
  const char* key;
  Kind kind;
};
struct Function {
  int index;
  const char* name;
  std::vector<Parameter> parameters;
  Output output;
  bool keyCheck;
};

const Function kFunctions[] = {
    {0, "get_lastError", {}, kIntegerOutput, false},
    {1, "GPKI_EnumCerts", {{"iFlags", kInt}}, kVariantOutput, true},
    {2, "CAPICertGetSerialNumber", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {3, "CAPICertGetIssuer", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {4, "CAPICertGetSubject", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {5, "GPKI_GetTailOfCitizenID", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {6, "GPKI_GetCertType", {{"strCert", kText}, {"iFlags", kInt}}, kIntegerOutput, true},
    {7, "GPKI_GetOrganizationID", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {8, "GPKI_GetCardHolderRank", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {9, "GPKI_GetCertTypeOID", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {10, "GPKI_GetEntityOID", {{"cert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {11, "CAPICertGetPublicKey", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {12, "CAPICertGetNotBefore", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {13, "CAPICertGetNotAfter", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {14, "CAPICertGetVersion", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {15,
     "GPKI_EncryptByCert",
     {{"strCert", kText}, {"strData", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {16,
     "GPKI_Decrypt",
     {{"strCipher", kText}, {"iFlags", kInt}, {"iKeyUsage", kInt}},
     kTextOutput,
     true},
    {17,
     "GPKI_Decrypt2File",
     {{"strCipher", kText}, {"strOutFilePath", kText}, {"iFlags", kInt}, {"iKeyUsage", kInt}},
     kIntegerOutput,
     true},
    {18,
     "GPKI_XMLSignTemplate",
     {{"bstrPIN", kText}, {"bstrXML", kText}, {"bstrSignId", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {19, "GPKI_SetReaderSlot", {{"iFlags", kInt}, {"slot", kInt}}, kIntegerOutput, true},
    {20, "GPKI_EnumCertsToString", {{"iFlags", kInt}}, kTextOutput, true},
    {21, "GPKI_Base64Encode", {{"srcData", kText}, {"codePage", kText}}, kTextOutput, true},
    {22, "GPKI_Base64Decode", {{"base64String", kText}, {"outCodePage", kText}}, kTextOutput, true},
    {23,
     "GPKI_DecryptEx",
     {{"sOptPIN", kText}, {"strCipher", kText}, {"iFlags", kInt}, {"iKeyUsage", kInt}},
     kTextOutput,
     true},
    {24, "GPKI_SignDataInit", {{"sOptPIN", kText}, {"lFlags", kInt}}, kIntegerOutput, true},
    {25, "GPKI_SignDataFinal", {{"lFlags", kInt}}, kIntegerOutput, true},
    {26,
     "GPKI_XMLSignTemplateFile",
     {{"bstrPIN", kText}, {"bstrXMLFilePath", kText}, {"bstrSignId", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {27,
     "GPKI_XMLCalcTemplateDigest",
     {{"bstrXML", kText}, {"bstrSignId", kText}},
     kTextOutput,
     true},
    {28,
     "GPKI_XMLCalcTemplateFileDigest",
     {{"bstrXMLFilePath", kText}, {"bstrSignId", kText}},
     kTextOutput,
     true},
    {29,
     "GPKI_XMLSignTemplateDigest",
     {{"bstrPIN", kText}, {"bstrXML", kText}, {"bstrSignId", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {30,
     "GPKI_XMLSignTemplateFileUpdate",
     {{"bstrXMLFilePath", kText}, {"bstrSignId", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {31, "GPKI_SignInit", {{"sOptPIN", kText}, {"lFlags", kInt}}, kIntegerOutput, true},
    {32, "GPKI_SignFinal", {{"lFlags", kInt}}, kIntegerOutput, true},
    {33,
     "GPKI_XMLSignTemplateDigestUpdate",
     {{"bstrXML", kText}, {"bstrSignId", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {34, "SetXMLReferenceDirs", {{"bstrMultiRefDir", kText}}, kNoOutput, true},
    {35, "GPKI_GetSerialNumber", {}, kTextOutput, false},
    {36,
     "GPKI_RSADecrypt",
     {{"strCipher", kText}, {"strPinCode", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {37,
     "GPKI_RSAEncryptByCert",
     {{"strCert", kText}, {"strData", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {38,
     "GPKI_XMLSignTemplateUpdate",
     {{"bstrXML", kText}, {"bstrSignId", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {39,
     "GPKI_XMLSignTemplateFile2File",
     {{"bstrPIN", kText},
      {"bstrInXMLFilePath", kText},
      {"bstrOutXMLFilePath", kText},
      {"bstrSignId", kText},
      {"iFlags", kInt}},
     kIntegerOutput,
     true},
    {40,
     "GPKI_XMLSignTemplateDigest2File",
     {{"bstrPIN", kText},
      {"bstrXML", kText},
      {"bstrOutXMLFilePath", kText},
      {"bstrSignId", kText},
      {"iFlags", kInt}},
     kIntegerOutput,
     true},
    {41,
     "GPKI_GetAttributeCert",
     {{"strReader", kText}, {"strPIN", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {42, "SetCodePage", {{"codePage", kInt}}, kNoOutput, true},
    {43, "GPKI_GetSlotCount", {}, kIntegerOutput, false},
    {44, "GPKI_VerifyPIN", {{"bPIN", kText}, {"iFlags", kInt}}, kIntegerOutput, true},
    {45, "GPKI_GetErrorPINCount", {}, kIntegerOutput, false},
    {46, "GetVersion", {{"flag", kInt}}, kTextOutput, false},
    {47,
     "GPKI_SignData",
     {{"sOptPIN", kText},
      {"sData", kText},
      {"signcodepage", kText},
      {"iFlags", kInt},
      {"iHashFlag", kInt}},
     kTextOutput,
     true},
    {48,
     "GPKI_SignDataUpdate",
     {{"sData", kText}, {"signcodepage", kText}, {"iFlags", kInt}, {"iHashFlag", kInt}},
     kTextOutput,
     true},
    {49,
     "GPKI_PureSign",
     {{"sOptPIN", kText},
      {"sData", kText},
      {"signcodepage", kText},
      {"iFlags", kInt},
      {"iHashFlag", kInt}},
     kTextOutput,
     true},
    {50,
     "CryptCertGetSignatureAlgorithm",
     {{"strCert", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {51,
     "CryptSignatureGetAlgorithm",
     {{"strSignature", kText}, {"iFlags", kInt}, {"index", kInt}},
     kTextOutput,
     true},
    {52, "GPKI_SignInitLogin", {{"sOptPIN", kText}, {"lFlags", kInt}}, kIntegerOutput, true},
    {53, "GPKI_DetectCard", {{"iFlags", kInt}}, kIntegerOutput, true},
    {54, "GPKI_GetCachedCert", {}, kTextOutput, false},
    {55,
     "GPKI_CertGetSubjectDirectoryAttrs",
     {{"strCert", kText}, {"strOID", kText}, {"iFlags", kInt}},
     kTextOutput,
     true},
    {56, "CryptCertGetExtension", {{"strCert", kText}, {"iFlags", kInt}}, kTextOutput, true},
    {57,
     "SetDialogString",
     {{"dlgID", kInt}, {"IDS", kInt}, {"value", kText}},
     kIntegerOutput,
     true},
};

// What the scripted component answers by default.
std::string defaultResult(const Function& function) {
  switch (function.output) {
    case kTextOutput:
      return function.name;
    case kIntegerOutput:
      return std::to_string(7 + function.index);
    case kVariantOutput:
      return std::string(function.name) + ";";
    case kNoOutput:
      return "0";
  }
  return "";
}

TEST_F(AdapterTest, EveryFunctionReadsItsParametersAndCallsItsOwnMethod) {
  for (const Function& function : kFunctions) {
    SCOPED_TRACE(function.name);
    Entries parameters = {{"AdapterJsonKeyCheck", "true"}};
    std::string expectedCall = function.name;
    int position = 0;
    for (const Parameter& parameter : function.parameters) {
      ++position;
      std::string value =
          parameter.kind == kText
              ? std::string(parameter.key) + "-" + std::to_string(function.index)
              : std::to_string((position % 2 ? -1 : 1) * (function.index * 10 + position));
      parameters.emplace_back(parameter.key, value);
      expectedCall += parameter.kind == kText ? " \"" + value + "\"" : " " + value;
    }
    std::string expected = defaultResult(function);
    Entries indexed = parameters;
    indexed.emplace_back("QuillmarkFunctionIndex", std::to_string(function.index));

    Entries request = indexed;
    request.emplace_back("FunctionName", function.name);
    writeFile(root().record, "");
    EXPECT_EQ(adapter().text(jsonText(request)), expected);
    EXPECT_EQ(lastCall(), expectedCall);

    writeFile(root().record, "");
    EXPECT_EQ(adapter().map(indexed, function.name), expected);
    EXPECT_EQ(lastCall(), expectedCall);

    // Without an index the name is searched, in any case.
    std::string shouted = function.name;
    for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    writeFile(root().record, "");
    EXPECT_EQ(adapter().map(parameters, shouted.c_str()), expected);
    EXPECT_EQ(lastCall(), expectedCall);
  }
}

TEST_F(AdapterTest, ReservedFunctions) {
  struct Case {
    Entries entries;
    const char* name;
    const char* expected;
  } cases[] = {
      {{}, "quillmark_GETVERSION", kVersion},
      {{{"QuillmarkFunctionIndex", "-1"}}, "CAPICertGetSubject", kVersion},
      {{{"QuillmarkFunctionIndex", "-1"}}, "no such name", kVersion},
      {{}, "Quillmark_Unlock", "0"},
      {{{"QuillmarkFunctionIndex", "-2"}, {"url", "https://example.test"}}, "x", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(adapter().map(c.entries, c.name), c.expected);
  }
  EXPECT_EQ(adapter().text(R"({"FunctionName":"Quillmark_GetVersion"})"), kVersion);
  EXPECT_EQ(lastCall(), "");  // none of them reached the component
}

TEST_F(AdapterTest, ReleaseFreesTheComponentAndTheNextCallCreatesItAgain) {
  EXPECT_EQ(adapter().map({}, "GPKI_GetSlotCount"), "50");
  ASSERT_EQ(instances("create").size(), 1u);
  std::string first = instances("create")[0];

  EXPECT_EQ(adapter().map({}, "quillmark_release"), "");
  EXPECT_EQ(instances("release"), std::vector<std::string>{first});

  EXPECT_EQ(adapter().text(R"({"FunctionName":"x","QuillmarkFunctionIndex":"-3"})"), "");
  ASSERT_EQ(instances("create").size(), 2u);  // the index alone released a new instance
  EXPECT_EQ(instances("release").size(), 2u);

  EXPECT_EQ(adapter().map({}, "GPKI_GetSlotCount"), "50");
  auto created = instances("create");
  ASSERT_EQ(created.size(), 3u);
  EXPECT_NE(created[2], first);

  // A component that throws from Release: the release answers 61011 and still ends the instance,
  // so the next call creates a new one instead of calling a dead one.
  script("Release throw\n");
  writeFile(root().record, "");
  EXPECT_EQ(adapter().map({}, "GPKI_GetSlotCount"), "50");
  EXPECT_EQ(adapter().release(), "61011");
  EXPECT_EQ(adapter().map({}, "GPKI_GetSlotCount"), "50");
  created = instances("create");
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(instances("release"), std::vector<std::string>{created[0]});
  EXPECT_EQ(recordLines().back().instance, created[1]);
}

TEST_F(AdapterTest, BadInputAnswersTheDefinedResultAndTheNextCallStillWorks) {
  using Call = std::function<std::string(LoadedAdapter&)>;
  auto text = [](const char* request) -> Call {
    return [request](LoadedAdapter& a) {
      const char* result = a.rawText(request);
      return std::string(result ? result : "<null pointer>");
    };
  };
  auto map = [](Entries entries, std::string name) -> Call {
    return [entries, name](LoadedAdapter& a) { return a.map(entries, name.c_str()); };
  };
  auto index = [&](const char* value, const char* name) {
    return map({{"QuillmarkFunctionIndex", value}}, name);
  };
  struct Case {
    const char* what;
    Call call;
    const char* expected;
  } cases[] = {
      {"null text", text(nullptr), ""},
      {"empty text", text(""), ""},
      {"not JSON", text("FunctionName=GPKI_GetSlotCount"), ""},
      {"single token", text("{}"), ""},
      {"no FunctionName", text(R"({"functionIndex":"43"})"), "61005"},
      {"unknown name", text(R"({"FunctionName":"GPKI_NoSuchFunction"})"), "61005"},
      {"null map",
       [](LoadedAdapter& a) {
         const char* result = a.rawMap(nullptr, "GPKI_GetSlotCount");
         return std::string(result ? result : "<null pointer>");
       },
       ""},
      {"null name",
       [](LoadedAdapter& a) {
         qm::json::JsonMap request = qm::json::JsonMap::create();
         const char* result = a.rawMap(request.get(), nullptr);
         return std::string(result ? result : "<null pointer>");
       },
       ""},
      {"empty name", map({}, ""), "61005"},
      {"name of 200 characters", map({}, std::string(200, 'G')), "61005"},
      {"long name that starts like a function",
       map({}, "GPKI_GetSlotCount" + std::string(183, 'x')), "61005"},
      {"index -4", index("-4", "GPKI_GetSlotCount"), "50"},
      {"index 58", index("58", "GPKI_GetSlotCount"), "50"},
      {"huge index", index("99999999999999999999", "GPKI_GetSlotCount"), "50"},
      {"huge negative index", index("-99999999999999999999", "GPKI_GetSlotCount"), "50"},
      {"index that is no number", index("abc", "GPKI_GetSlotCount"), "50"},
      {"index of another function", index("5", "GPKI_GetSlotCount"), "50"},
      {"index of another function, unknown name", index("5", "GPKI_NoSuchFunction"), "61005"},
      {"index and name in another case", index("43", "gpki_getslotcount"), "50"},
      {"index true", index("true", "GPKI_EnumCerts"), "GPKI_EnumCerts;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(adapter()), c.expected);
    EXPECT_EQ(adapter().map({}, "GPKI_GetErrorPINCount"), "52");
  }
}

TEST_F(AdapterTest, ParametersReachTheComponentAsTheirKindsRead) {
  struct Case {
    const char* name;
    Entries entries;
    const char* expectedCall;  // nullptr: the component is not called
    const char* expectedResult;
  } cases[] = {
      {"CAPICertGetIssuer",
       {{"strCert", "abc"}, {"iFlags", "abc"}},
       R"(CAPICertGetIssuer "abc" 0)",
       "CAPICertGetIssuer"},
      {"CAPICertGetIssuer", {{"iFlags", "true"}}, "CAPICertGetIssuer null 1", "CAPICertGetIssuer"},
      {"CAPICertGetIssuer", {{"IFLAGS", "False"}}, "CAPICertGetIssuer null 0", "CAPICertGetIssuer"},
      {"CAPICertGetIssuer",
       {{"iFlags", " -12xyz"}},
       "CAPICertGetIssuer null -12",
       "CAPICertGetIssuer"},
      {"CAPICertGetIssuer",
       {{"iFlags", "99999999999"}},
       "CAPICertGetIssuer null 2147483647",
       "CAPICertGetIssuer"},
      {"CAPICertGetIssuer", {{"strCert", ""}}, R"(CAPICertGetIssuer "" 0)", "CAPICertGetIssuer"},
      {"CAPICertGetIssuer",
       {{"strCert", "Zo\xC3\xAB \xE6\xB8\xAC"}},
       R"(CAPICertGetIssuer "Zo%C3%AB%20%E6%B8%AC" 0)",
       "CAPICertGetIssuer"},
      // Bytes that are not UTF-8 arrive as replacement characters.
      {"CAPICertGetIssuer",
       {{"strCert",
         "\xFF\xFE"
         "A\xC3"}},
       R"(CAPICertGetIssuer "%EF%BF%BD%EF%BF%BDA%EF%BF%BD" 0)",
       "CAPICertGetIssuer"},
      {"CAPICertGetIssuer",
       {{"strCert", "SGVsbG8%3D"}, {"strCert_QuillmarkBase64Flag", "true"}},
       R"(CAPICertGetIssuer "Hello" 0)",
       "CAPICertGetIssuer"},
      {"GPKI_GetEntityOID",
       {{"strCert", "x"}, {"iFlags", "1"}},
       "GPKI_GetEntityOID null 1",
       "GPKI_GetEntityOID"},
      {"GPKI_GetEntityOID",
       {{"cert", "x"}, {"iFlags", "1"}},
       R"(GPKI_GetEntityOID "x" 1)",
       "GPKI_GetEntityOID"},
      // The key check.
      {"CAPICertGetIssuer", {{"AdapterJsonKeyCheck", "true"}, {"iFlags", "1"}}, nullptr, "61016"},
      {"CAPICertGetIssuer", {{"AdapterJsonKeyCheck", "TRUE"}, {"strCert", "a"}}, nullptr, "61016"},
      {"CAPICertGetIssuer",
       {{"AdapterJsonKeyCheck", "false"}},
       "CAPICertGetIssuer null 0",
       "CAPICertGetIssuer"},
      {"GPKI_SignData", {{"AdapterJsonKeyCheck", "true"}, {"sOptPIN", "1234"}}, nullptr, "61016"},
      {"GetVersion", {{"AdapterJsonKeyCheck", "true"}}, "GetVersion 0", "GetVersion"},
      {"GPKI_GetSlotCount", {{"AdapterJsonKeyCheck", "true"}}, "GPKI_GetSlotCount", "50"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(jsonText(c.entries));
    writeFile(root().record, "");
    EXPECT_EQ(adapter().map(c.entries, c.name), c.expectedResult);
    EXPECT_EQ(lastCall(), c.expectedCall ? c.expectedCall : "");
  }
}

TEST_F(AdapterTest, OutputsBecomeText) {
  struct Case {
    const char* name;
    const char* directive;
    const char* expected;
  } cases[] = {
      {"CAPICertGetSubject", "text Zo%C3%AB%20A", "Zo\xC3\xAB A"},
      {"CAPICertGetSubject", "text", ""},
      {"CAPICertGetSubject", "null", ""},
      {"GPKI_GetCertType", "int -5", "-5"},
      {"get_lastError", "int 0", "0"},
      {"SetXMLReferenceDirs", "text ignored", "0"},
      {"GPKI_EnumCerts", "bool 1", "1"},
      {"GPKI_EnumCerts", "bool 0", "0"},
      {"GPKI_EnumCerts", "array s:A s:B", "A;B;"},
      {"GPKI_EnumCerts", "array lb=1 i4:7 int:-3 empty bool:1 s:%C3%A9", "7;-3;;;\xC3\xA9;"},
      {"GPKI_EnumCerts", "array", ""},
      {"GPKI_EnumCerts", "i4 5", ""},
      {"GPKI_EnumCerts", "nullarray", ""},
      {"CAPICertGetSubject", "fail", "61011"},
      {"GPKI_VerifyPIN", "fail 0x80070005", "61011"},
      {"SetCodePage", "fail", "61011"},
      {"GPKI_EnumCerts", "throw", "61011"},
      {"GPKI_XMLSignTemplate", "throw", "61011"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.directive);
    script(std::string(c.name) + " " + c.directive + "\n");
    EXPECT_EQ(adapter().map({}, c.name), c.expected);
    EXPECT_EQ(adapter().map({}, "GPKI_GetSlotCount"), "50");
  }

  script("SetCodePage text\n");
  writeFile(root().record, "");
  EXPECT_EQ(adapter().map({{"codePage", "65001"}}, "SetCodePage"), "0");
  EXPECT_EQ(lastCall(), "SetCodePage 65001");
}

TEST_F(AdapterTest, ArrayOfAnotherElementTypeIsReportedOnStandardOutput) {
  script("GPKI_EnumCerts i4array 1 2\n");
  testing::internal::CaptureStdout();
  std::string result = adapter().map({}, "GPKI_EnumCerts");
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, "");
  EXPECT_EQ(printed, "Error!! value->vt & ~VT_ARRAY = 3\n");
}

TEST_F(AdapterTest, ComponentThatCannotBeCreatedAnswers61905UntilItCanBe) {
  for (const char* directive : {"create fail", "create fail 0x80040154", "create throw"}) {
    SCOPED_TRACE(directive);
    script(std::string(directive) + "\n");
    EXPECT_EQ(adapter().map({}, "GPKI_GetSlotCount"), "61905");
    EXPECT_EQ(adapter().text(R"({"FunctionName":"Quillmark_GetVersion"})"), "61905");
  }
  EXPECT_EQ(lastCall(), "");

  script("");
  setenv("QUILLMARK_COMPONENT_DIR", (root().dir / "no_components").c_str(), 1);
  EXPECT_EQ(adapter().map({}, "GPKI_GetSlotCount"), "61905");
  setenv("QUILLMARK_COMPONENT_DIR", root().componentDir.c_str(), 1);

  EXPECT_EQ(adapter().map({}, "GPKI_GetSlotCount"), "50");
  EXPECT_EQ(lastCall(), "GPKI_GetSlotCount");
}

TEST(AdapterCopiesTest, TwoCopiesOfTheFileKeepSeparateState) {
  fs::remove(root().script);
  writeFile(root().record, "");
  // The host's own JSON map state, which the copies must not touch.
  qm::json::setReportMissingKeys(true);
  qm::json::setLastJsonError(4242);
  {
    LoadedAdapter a(root().dir / "copy_a");
    LoadedAdapter b(root().dir / "copy_b");

    qm::json::JsonMap request = qm::json::JsonMap::create();
    const char* fromA = a.rawMap(request.get(), "CAPICertGetSubject");
    EXPECT_EQ(b.map({{"AdapterJsonKeyCheck", "true"}}, "CAPICertGetIssuer"), "61016");
    EXPECT_STREQ(fromA, "CAPICertGetSubject");  // b's call left a's result alone

    auto created = instances("create");
    ASSERT_EQ(created.size(), 2u);
    EXPECT_NE(created[0], created[1]);

    EXPECT_EQ(a.release(), "");
    EXPECT_EQ(instances("release"), std::vector<std::string>{created[0]});
    writeFile(root().record, "");
    EXPECT_EQ(b.map({}, "GPKI_GetSlotCount"), "50");
    auto lines = recordLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].instance, created[1]);  // b kept its instance
  }
  EXPECT_TRUE(qm::json::reportMissingKeys());
  EXPECT_EQ(qm::json::lastJsonError(), 4242);
  qm::json::setReportMissingKeys(false);
  qm::json::setLastJsonError(0);
}

// A server loads and unloads a copy per session: an unloaded copy must leave no descriptor open.
TEST(AdapterCopiesTest, UnloadedCopiesLeaveNoDescriptorOpen) {
  fs::remove(root().script);
  auto openDescriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  auto session = [](int n) {
    LoadedAdapter adapter(root().dir / ("unloaded_" + std::to_string(n)));
    EXPECT_EQ(adapter.map({}, "GPKI_GetSlotCount"), "50");
  };
  session(0);  // whatever a first load opens for the process
  auto before = openDescriptors();
  for (int n = 1; n <= 5; ++n) session(n);
  EXPECT_EQ(openDescriptors(), before);
}

std::set<std::string> dynamicSymbols(const char* which) {
  fs::path out = root().dir / "symbols.txt";
  std::string command =
      std::string("nm -D ") + which + " '" + kBuiltAdapter.string() + "' > '" + out.string() + "'";
  EXPECT_EQ(qm::platform::runAndWait(command, true), 0) << command;
  std::set<std::string> names;
  std::istringstream lines(readFile(out));
  for (std::string line; std::getline(lines, line);) {
    names.insert(line.substr(line.find_last_of(' ') + 1));
  }
  return names;
}

TEST(AdapterModuleTest, ExportsOnlyItsEntryPointsAndBindsNothingOfTheHost) {
  EXPECT_EQ(dynamicSymbols("--defined-only"),
            (std::set<std::string>{"callJsonMapMethod", "callMethod"}));
  for (const std::string& name : dynamicSymbols("--undefined-only")) {
    EXPECT_EQ(name.find("qm"), std::string::npos) << name;
    EXPECT_EQ(name.find("Quillmark"), std::string::npos) << name;
  }
}

TEST(AdapterLogTest, IndexModeFindsEveryFunctionAndAMismatchFallsBackToTheName) {
  fs::remove(root().script);
  fs::path folder = root().dir / "logged";
  fs::create_directories(folder);
  writeFile(folder / "KVLQuillmark.ini",
            "[KVLQuillmark]\nLog File=" + (folder / "adapter.log").string() + "\nLog Level=5\n");
  {
    LoadedAdapter adapter(folder);
    for (const Function& function : kFunctions) {
      adapter.map({{"QuillmarkFunctionIndex", std::to_string(function.index)}}, function.name);
    }
    EXPECT_EQ(adapter.map({{"QuillmarkFunctionIndex", "5"}}, "GPKI_GetSlotCount"), "50");
  }
  std::string log;
  for (const auto& file : fs::directory_iterator(folder)) {
    if (file.path().filename().string().rfind("adapter", 0) == 0 &&
        file.path().extension() == ".log") {
      log += readFile(file.path());
    }
  }
  auto count = [&](const std::string& text) {
    std::size_t n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("[Normal] Init adapter: KVLZDGPKICryptATLAdapter"), 1u);
  EXPECT_EQ(count("[Normal] Enable adapter func: "), 61u);
  EXPECT_EQ(count("[Normal] \tComponent api: 58"), 1u);
  EXPECT_EQ(count("[Normal] \tSystem api: 3"), 1u);
  // Only the last call missed its index.
  EXPECT_EQ(count("[Warning] FunctionIndex mode: Fail"), 1u);
  EXPECT_EQ(count("[Warning] FunctionName in adapter: GPKI_GetTailOfCitizenID"), 1u);
  EXPECT_EQ(count("[Normal] Function search name mode: GPKI_GetSlotCount"), 1u);
  EXPECT_EQ(count("[Normal] Finish component func: "), 59u);
}

}  // namespace
