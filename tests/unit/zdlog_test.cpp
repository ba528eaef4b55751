#include "util/zdlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/process.h"

namespace fs = std::filesystem;
using namespace qm;

namespace {

constexpr int kChildLines = 1500;
const std::string kFiller(300, 'x');

// Child mode of the two-writer test: this binary started again with these variables writes its
// lines and ends before any test runs.
const bool kIsChild = [] {
  const char* ini = std::getenv("QM_ZDLOG_CHILD_INI");
  const char* id = std::getenv("QM_ZDLOG_CHILD_ID");
  if (!ini || !id) return false;
  zdlog::initialise(ini);
  for (int i = 0; i < kChildLines; ++i) {
    zdlog::writeLine(5, "child %s line %d %s", id, i, kFiller.c_str());
  }
  platform::exitProcess(0);
}();

// Lines of every file in the folder except the ini files, by file name.
std::map<std::string, std::vector<std::string>> logFiles(const fs::path& dir) {
  std::map<std::string, std::vector<std::string>> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".ini") continue;
    std::ifstream in(entry.path());
    auto& lines = files[entry.path().filename().string()];
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  return files;
}

std::vector<std::string> allLines(const fs::path& dir) {
  std::vector<std::string> lines;
  for (auto& [name, fileLines] : logFiles(dir)) {
    lines.insert(lines.end(), fileLines.begin(), fileLines.end());
  }
  return lines;
}

std::string escaped(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// Pattern of a whole line: date-time, tag, process and thread, message.
std::string lineOf(const std::string& tag, const std::string& message) {
  return R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )" + escaped(tag) + R"( \[\d{5}-\d{5}\] )" +
         escaped(message);
}

class ZdlogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    dir_ = fs::path("/tmp") / ("qm-zdlog-" + std::to_string(platform::currentProcessId()) + "-" +
                               std::to_string(counter++));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    zdlog::reset();
  }
  void TearDown() override {
    zdlog::reset();
    fs::remove_all(dir_);
  }

  std::string writeIni(const std::string& body, const std::string& name = "log.ini") {
    fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << body;
    return path.string();
  }
  std::string iniFor(const std::string& logName, const std::string& more) {
    return writeIni("[KVLQuillmark]\nLog File=" + (dir_ / logName).string() + "\n" + more);
  }

  fs::path dir_;
};

TEST_F(ZdlogTest, IniReaderFollowsTheFileRules) {
  struct Case {
    const char* body;
    std::size_t size;
    int code;
    const char* value;
    std::string key() const {
      return std::string(body).find("Log File") != std::string::npos ? "Log File" : "Log Level";
    }
  };
  const Case cases[] = {
      {"[KVLQuillmark]\nLog Level=5\n", 16, 0, "5"},
      {"[KVLQuillmark]\n Log Level=5\n", 16, 103, ""},
      {"[KVLQuillmark]\nLog Level =5\n", 16, 103, ""},
      {"[KVLQuillmark]\nLog Level= 5\n", 16, 0, " 5"},
      {"[KVLQuillmark]\nlog level=3\r\n", 16, 0, "3"},
      {"[KVLQuillmark]\nLog Level\n", 16, 103, ""},
      {"[KVLQuillmark]\nLog Level=\n", 16, 0, ""},
      {"[KVLQuillmark]\n;Log Level=4\nLog Level=2\nLog Level=1\n", 16, 0, "2"},
      {"[KVLQuillmark]\nLog File=\"D:\\logs\\app.log\"\n", 128, 0, "D:\\logs\\app.log"},
      {"[KVLQuillmark]\nLog File=  'a \"b\" c'  \n", 128, 0, "a \"b\" c"},
      {"[KVLQuillmark]\nLog File= \"open\n", 128, 0, " \"open"},
      {"  [ kvlquillmark ]  \nLog Level=5", 16, 0, "5"},
      {"[Other]\nLog Level=5\n", 16, 102, ""},
      {"Log Level=5\n[KVLQuillmark2]\nLog Level=5\n", 16, 102, ""},
      {"[KVLQuillmark]\nA=1\n[Other]\nLog Level=5\n", 16, 103, ""},
      {"[Other]\nLog Level=1\n[KVLQuillmark]\nLog Level=5\n", 16, 0, "5"},
      {"[KVLQuillmark]\nLog Level=123456789012345\n", 16, 0, "123456789012345"},
      {"[KVLQuillmark]\nLog Level=1234567890123456\n", 16, 104, ""},
      {"[KVLQuillmark]\nLog Level=\"123456789012345\"\n", 16, 0, "123456789012345"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    std::string path = writeIni(c.body);
    std::string value;
    EXPECT_EQ(zdlog::readIniValue(c.key(), value, c.size, path), c.code);
    if (c.code == 0) {
      EXPECT_EQ(value, c.value);
    }
  }
  std::string value;
  EXPECT_EQ(zdlog::readIniValue("Log Level", value, 16, (dir_ / "missing.ini").string()), 101);
  EXPECT_EQ(zdlog::readIniValue("Log Level", value, 16, dir_.string()), 101);
}

TEST_F(ZdlogTest, DailyNames) {
  struct Case {
    const char* logFile;
    int index;
    const char* expected;
  };
  const Case cases[] = {
      {"/tmp/ZDLog.log", 0, "/tmp/ZDLog_20240621.log"},
      {"/tmp/ZDLog.log", 2, "/tmp/ZDLog_20240621_2.log"},
      {"D:\\logs\\app.log", 0, "D:/logs/app_20240621.log"},
      {"/var/a.b/applog", 0, "/var/a.b/applog_20240621"},
      {"/var/a.b/applog", 1, "/var/a.b/applog_20240621_1"},
      {"/x/app.tar.gz", 0, "/x/app.tar_20240621.gz"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(zdlog::dailyFileName(c.logFile, 2024, 6, 21, c.index), c.expected);
  }
  EXPECT_EQ(zdlog::dailyFileName(std::string(126, 'n') + ".log", 2024, 6, 21, 0),
            std::string(126, 'n') + "_");
}

TEST_F(ZdlogTest, LevelsFilterAndTagLines) {
  const char* const kTags[] = {"",        "[FATAL]", "[ERROR]", "[WARN ]",
                               "[INFO ]", "[DEBUG]", "[TRACE]"};
  struct Case {
    const char* levelLine;
    int code;
    int level;  // configured level when code is 0
  };
  const Case cases[] = {
      {"Log Level=5", 0, 5},   {"Log Level=3", 0, 3},
      {"Log Level=0", 0, 0},   {"Log Level=7", 0, 7},
      {"Log Level= 4x", 0, 4}, {"Log Level =5", 103, 0},
      {"Log Lev=5", 103, 0},   {"Log Level=1234567890123456", 104, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.levelLine);
    zdlog::reset();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::string ini = iniFor("app.log", std::string(c.levelLine) + "\n");
    ASSERT_EQ(zdlog::initialise(ini.c_str()), c.code);
    EXPECT_EQ(zdlog::configuredLevel(), c.level);
    EXPECT_EQ(zdlog::initialised(), c.code == 0);

    std::vector<std::string> expected;
    if (c.code == 0)
      expected.push_back(lineOf(kTags[std::min(c.level, 6)], "Log Enable '" + ini + "'"));
    for (int level = 0; level <= 6; ++level) {
      bool passes = c.code == 0 && level <= c.level;
      EXPECT_EQ(zdlog::writeLine(level, "level %d", level), passes ? 0 : -2);
      if (passes) expected.push_back(lineOf(kTags[level], "level " + std::to_string(level)));
    }
    if (c.code != 0) {
      EXPECT_TRUE(logFiles(dir_).empty()) << "a silent writer creates no file";
      continue;
    }
    std::vector<std::string> lines = allLines(dir_);
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];
    }
  }
}

TEST_F(ZdlogTest, LineLayout) {
  std::string ini = iniFor("app.log", "Log Level=5\n");
  ASSERT_EQ(zdlog::initialise(ini.c_str()), 0);
  std::string longText(5000, 'q');
  zdlog::writeLine(5, "short %d %s", 7, "100%");
  zdlog::writeLine(5, "%s", longText.c_str());

  char ids[32];
  std::snprintf(ids, sizeof ids, "[%05lu-%05lu]",
                static_cast<unsigned long>(platform::currentProcessId() % 100000),
                static_cast<unsigned long>(platform::currentThreadId() % 100000));
  const std::string head =
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[DEBUG\] )" + escaped(ids) + " ";
  std::vector<std::string> lines = allLines(dir_);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(head + "Log Enable '.*'"))) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(head + "short 7 100%"))) << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(head + longText))) << lines[2].size();

  // LF only, nothing after the last line.
  std::ifstream in(dir_ / logFiles(dir_).begin()->first, std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(raw.find('\r'), std::string::npos);
  EXPECT_EQ(raw.back(), '\n');
}

TEST_F(ZdlogTest, SecondInitialiseIsRefused) {
  std::string first = iniFor("first.log", "Log Level=5\n");
  ASSERT_EQ(zdlog::initialise(first.c_str()), 0);
  std::string second =
      writeIni("[KVLQuillmark]\nLog File=" + (dir_ / "second.log").string() + "\nLog Level=1\n",
               "second.ini");
  EXPECT_EQ(zdlog::initialise(second.c_str()), -1);
  EXPECT_EQ(zdlog::configuredLevel(), 5);
  zdlog::writeLine(5, "still here");
  auto files = logFiles(dir_);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files.begin()->first.rfind("first_", 0), 0u);
  EXPECT_EQ(files.begin()->second.size(), 2u);
}

TEST_F(ZdlogTest, BareNameNeedsLogFileInAPlace) {
  const char* oldHome = std::getenv("HOME");
  std::string savedHome = oldHome ? oldHome : "";
  fs::path home = dir_ / "home";
  fs::create_directories(home);
  setenv("HOME", home.c_str(), 1);
  const std::string name = "qm-zdlog-test-" + std::to_string(platform::currentProcessId()) + ".ini";

  // Only "Log File" makes a place count: without it the last place (/tmp) is used and missing.
  std::ofstream(home / name) << "[KVLQuillmark]\nLog Level=5\n";
  EXPECT_EQ(zdlog::initialise(name.c_str()), 101);

  std::ofstream(home / name) << "[KVLQuillmark]\nLog File=" << (dir_ / "home.log").string()
                             << "\nLog Level=5\n";
  EXPECT_EQ(zdlog::initialise(name.c_str()), 0);
  std::vector<std::string> lines = allLines(dir_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Log Enable '" + (home / name).string() + "'"), std::string::npos);
  setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(ZdlogTest, RotationBySize) {
  struct Case {
    const char* logName;
    std::string rotatedPattern;
  };
  const Case cases[] = {{"app.log", R"(app_\d{8}_(\d+)\.log)"},
                        {"applog", R"(applog_\d{8}_(\d+))"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logName);
    zdlog::reset();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::string ini = iniFor(c.logName, "Log MaxSize=1000\nLog Level=5\n");
    ASSERT_EQ(zdlog::initialise(ini.c_str()), 0);
    auto files = logFiles(dir_);
    ASSERT_EQ(files.size(), 1u);
    const std::string current = files.begin()->first;

    // Exactly the maximum: still used.
    fs::resize_file(dir_ / current, 1000);
    zdlog::writeLine(5, "at 1000");
    ASSERT_EQ(logFiles(dir_).size(), 1u);
    EXPECT_GT(fs::file_size(dir_ / current), 1000u);

    // Above it: the next index.
    zdlog::writeLine(5, "rotated");
    files = logFiles(dir_);
    ASSERT_EQ(files.size(), 2u);
    files.erase(current);
    const std::string next = files.begin()->first;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(next, m, std::regex(c.rotatedPattern))) << next;
    std::smatch old;
    int oldIndex =
        std::regex_match(current, old, std::regex(c.rotatedPattern)) ? std::stoi(old[1].str()) : 0;
    EXPECT_EQ(std::stoi(m[1].str()), oldIndex + 1);
    ASSERT_EQ(files.begin()->second.size(), 1u);
    EXPECT_NE(files.begin()->second[0].find("rotated"), std::string::npos);
  }
}

TEST_F(ZdlogTest, NameWithoutRoomForTheIndexKeepsItsFile) {
  // The daily name is cut back to the configured name itself, whatever the index.
  std::string logName(127 - dir_.string().size() - 1, 'n');
  std::string ini = iniFor(logName, "Log MaxSize=10\nLog Level=5\n");
  ASSERT_EQ(zdlog::initialise(ini.c_str()), 0);
  zdlog::writeLine(5, "one");
  zdlog::writeLine(5, "two");
  auto files = logFiles(dir_);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files.begin()->first, logName);
  EXPECT_EQ(files.begin()->second.size(), 3u);
}

TEST_F(ZdlogTest, UnwritableFolderDropsLines) {
  std::ofstream(dir_ / "plain") << "not a folder";
  std::string ini = writeIni("[KVLQuillmark]\nLog File=" + (dir_ / "plain" / "app.log").string() +
                             "\nLog Level=5\n");
  ASSERT_EQ(zdlog::initialise(ini.c_str()), 0);
  EXPECT_EQ(zdlog::writeLine(5, "dropped"), 0);
  EXPECT_EQ(fs::file_size(dir_ / "plain"), 12u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(ZdlogTest, TwoProcessesShareOneFile) {
  std::string ini = iniFor("shared.log", "Log Level=5\n");
  std::string self = platform::programFolder() + "/zdlog_test";
  std::string command;
  for (int id = 1; id <= 2; ++id) {
    command += "QM_ZDLOG_CHILD_ID=" + std::to_string(id) + " QM_ZDLOG_CHILD_INI='" + ini + "' '" +
               self + "' & ";
  }
  command += "wait";
  ASSERT_EQ(platform::runAndWait(command, true), 0);

  const std::regex pattern(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[DEBUG\] \[\d{5}-\d{5}\] child ([12]) line (\d+) )" +
      kFiller);
  std::set<std::pair<int, int>> seen;
  int enables = 0;
  for (const std::string& line : allLines(dir_)) {
    std::smatch m;
    if (line.find("Log Enable") != std::string::npos) {
      ++enables;
    } else if (std::regex_match(line, m, pattern)) {
      EXPECT_TRUE(seen.insert({std::stoi(m[1].str()), std::stoi(m[2].str())}).second) << line;
    } else {
      ADD_FAILURE() << "broken line: " << line.substr(0, 120);
    }
  }
  EXPECT_EQ(enables, 2);
  EXPECT_EQ(seen.size(), 2u * kChildLines);
}

}  // namespace
