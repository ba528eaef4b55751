#include "util/diag.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/process.h"
#include "util/build_info.h"
#include "util/zdlog.h"

namespace fs = std::filesystem;
using namespace qm;

namespace {

constexpr int kChildOn = 10;
constexpr int kChildOff = 11;

// Child mode: a copy of this binary placed in another folder sets up logging from its own
// folder and reports the flag through its exit code.
const bool kIsChild = [] {
  const char* prefix = std::getenv("QM_DIAG_CHILD_PREFIX");
  if (!prefix) return false;
  bool on = diag::setLog(prefix);
  diag::normal("child: ", "done");
  platform::exitProcess(on ? kChildOn : kChildOff);
}();

// Lines of every log file below the folder (ini files excluded).
std::vector<std::string> logLines(const fs::path& dir) {
  std::vector<std::string> lines;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".ini") continue;
    if (entry.path().filename() == "diag_test") continue;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  return lines;
}

// The text after the writer's head "date time [DEBUG] [pid-tid] ".
std::string textOf(const std::string& line) {
  // 'd' stands for a digit. (No std::regex here: it trips a false warning of g++ 12 under the
  // sanitizers.)
  static const std::string kHead = "dddd-dd-dd dd:dd:dd.ddd [DEBUG] [ddddd-ddddd] ";
  bool shaped = line.size() >= kHead.size();
  for (std::size_t i = 0; shaped && i < kHead.size(); ++i) {
    shaped = kHead[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                             : line[i] == kHead[i];
  }
  return shaped ? line.substr(kHead.size()) : "<no head> " + line;
}

class DiagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    dir_ = fs::path("/tmp") / ("qm-diag-" + std::to_string(platform::currentProcessId()) + "-" +
                               std::to_string(counter++));
    fs::remove_all(dir_);
    for (const char* sub : {"tmp", "home", "log", "prog"}) fs::create_directories(dir_ / sub);
    setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    setenv("HOME", (dir_ / "home").c_str(), 1);
  }
  void TearDown() override {
    diag::disable();
    zdlog::reset();
    fs::remove_all(dir_);
  }

  // KVLQuillmark.ini in `folder` sending lines to log/<logName>.
  void writeIni(const fs::path& folder, const std::string& logName, int level = 5) {
    std::ofstream(folder / diag::kLogSettingsFile)
        << "[KVLQuillmark]\nLog File=" << (dir_ / "log" / logName).string()
        << "\nLog Level=" << level << "\n";
  }

  fs::path dir_;
};

TEST_F(DiagTest, SetLogAndLines) {
  writeIni(dir_ / "tmp", "front.log");
  ASSERT_TRUE(diag::setLog("Prog"));

  diag::normal("count: ", 12);
  diag::warning("Verify: ", "text");
  diag::error("code: ", -61001LL);
  diag::normal("wide: ", u"Gr\u00fc\u00dfe \U0001F600");
  diag::normal("bad wide: ", std::u16string_view(u"\xD800x", 2));
  diag::warning("null: ", static_cast<const char*>(nullptr));
  diag::normal("percent: ", "100%s %d");
  diag::nullParameter("inputKey", "Json", 312);
  diag::allocationFailure("x.cpp", 9);

  std::vector<std::string> lines = logLines(dir_);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(textOf(lines[0]), "Log Enable '" + (dir_ / "tmp" / "KVLQuillmark.ini").string() + "'");
  // "diag.cpp <line> setLog Compile Time : <date> <time>"
  const std::string compiled = textOf(lines[1]);
  const std::string tail =
      " setLog Compile Time : " + std::string(build::date()) + " " + build::time();
  ASSERT_TRUE(compiled.starts_with("diag.cpp ") && compiled.ends_with(tail)) << lines[1];
  const std::string sourceLine = compiled.substr(9, compiled.size() - 9 - tail.size());
  EXPECT_TRUE(!sourceLine.empty() &&
              sourceLine.find_first_not_of("0123456789") == std::string::npos)
      << lines[1];
  const std::vector<std::string> expected = {
      "[Prog][Normal] Log state: Enable",
      "[Prog][Normal] count: 12",
      "[Prog][Warning] Verify: text",
      "[Prog][Error] code: -61001",
      "[Prog][Normal] wide: Gr\xC3\xBC\xC3\x9F"
      "e \xF0\x9F\x98\x80",
      "[Prog][Normal] bad wide: ",
      "[Prog][Warning] null: ",
      "[Prog][Normal] percent: 100%s %d",
      "[Prog][Warning] Parameter inputKey is null at Json 312",
      "[Prog][Error] Memory allocate fail at file: x.cpp",
      "[Prog][Error] Memory allocate fail at line: 9",
  };
  ASSERT_EQ(lines.size(), expected.size() + 2);
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(textOf(lines[i + 2]), expected[i]);
}

TEST_F(DiagTest, PrefixIsCutAndKept) {
  writeIni(dir_ / "tmp", "prefix.log");
  const std::string longPrefix(80, 'p');
  ASSERT_TRUE(diag::setLog(longPrefix.c_str()));
  EXPECT_TRUE(diag::setLog("Other"));
  diag::normal("a: ", "b");
  std::vector<std::string> lines = logLines(dir_);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(textOf(lines.back()), "[" + longPrefix.substr(0, 63) + "][Normal] a: b");
}

TEST_F(DiagTest, WriterBelowDebugLevelKeepsFrontSilent) {
  writeIni(dir_ / "tmp", "quiet.log", 4);
  EXPECT_TRUE(diag::setLog("Prog"));
  diag::error("e: ", "x");
  std::vector<std::string> lines = logLines(dir_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[INFO ]"), std::string::npos);
  EXPECT_NE(lines[0].find("Log Enable"), std::string::npos);
}

TEST_F(DiagTest, WithoutSettingsNothingIsWritten) {
  EXPECT_FALSE(diag::setLog(nullptr));
  if (fs::exists("/etc/KVLQuillmark.ini") || fs::exists("/tmp/KVLQuillmark.ini")) {
    GTEST_SKIP() << "this machine has log settings of its own";
  }
  EXPECT_FALSE(diag::setLog("Prog"));
  EXPECT_FALSE(diag::enabled());
  diag::error("e: ", "x");
  EXPECT_TRUE(logLines(dir_).empty());
}

// The program's own folder comes first, then the user temp folder; the home folder is only
// reached through the writer's search for the bare name.
TEST_F(DiagTest, SearchOrder) {
  const fs::path prog = dir_ / "prog";
  fs::copy_file(platform::programFolder() + "/diag_test", prog / "diag_test");
  struct Case {
    bool inProgram, inTemp, inHome;
    const char* expectedLog;  // nullptr: logging stays off
  };
  const Case cases[] = {
      {true, true, true, "program.log"},
      {false, true, true, "temp.log"},
      {false, false, true, "home.log"},
      {false, false, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expectedLog ? c.expectedLog : "none");
    fs::remove_all(dir_ / "log");
    fs::create_directories(dir_ / "log");
    for (const fs::path& folder : {prog, dir_ / "tmp", dir_ / "home"}) {
      fs::remove(folder / diag::kLogSettingsFile);
    }
    if (c.inProgram) writeIni(prog, "program.log");
    if (c.inTemp) writeIni(dir_ / "tmp", "temp.log");
    if (c.inHome) writeIni(dir_ / "home", "home.log");

    int code = platform::runAndWait(
        "QM_DIAG_CHILD_PREFIX=Child '" + (prog / "diag_test").string() + "'", true);
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir_ / "log")) {
      files.push_back(entry.path().filename().string());
    }
    if (!c.expectedLog) {
      EXPECT_EQ(code, kChildOff);
      EXPECT_TRUE(files.empty());
      continue;
    }
    EXPECT_EQ(code, kChildOn);
    ASSERT_EQ(files.size(), 1u);
    std::string stem = fs::path(c.expectedLog).stem().string();
    EXPECT_EQ(files[0].rfind(stem + "_", 0), 0u) << files[0];
    std::vector<std::string> lines = logLines(dir_ / "log");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(textOf(lines.back()), "[Child][Normal] child: done");
  }
}

}  // namespace
