#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/self_delete.h"
#include "worker/worker.h"

namespace qm::worker {
namespace {

TEST(WorkerCommand, WordsAndTheirCaseRules) {
  struct Case {
    std::string text;
    Command command;
  };
  const std::vector<Case> cases = {
      {"-start", Command::kStart},
      {"-START", Command::kStart},
      {"-Stop", Command::kStop},
      {"-reStart", Command::kRestart},
      {"-ALLSTOP", Command::kAllStop},
      {"-Reset", Command::kReset},
      {"-MonitorStart", Command::kMonitorStart},
      {"-WATCHDOG", Command::kWatchdog},
      {"-importrootcacert", Command::kImportRootCACert},
      {"-start now", Command::kNone},  // whole words take nothing after them
      {" -start", Command::kNone},
      {"-uninstalldetect a.exe b", Command::kUninstallDetect},
      {"-delete /tmp/x", Command::kDelete},
      {"-delete", Command::kDelete},
      {"-KeyToByte k.pem", Command::kKeyToByte},
      {"-Delete /tmp/x", Command::kNone},  // prefix words keep their case
      {"-KEYTOBYTE k.pem", Command::kNone},
      {"-UninstallDetect a.exe b", Command::kNone},
      {"", Command::kNone},
      {std::string(10 * 1024, 'x'), Command::kNone},
      {"\"-start", Command::kNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(classifyCommand(c.text), c.command) << c.text.substr(0, 40);
  }
  int locked = 0;
  for (Command command :
       {Command::kStart, Command::kStop, Command::kRestart, Command::kAllStop, Command::kReset,
        Command::kMonitorStart, Command::kWatchdog, Command::kImportRootCACert,
        Command::kUninstallDetect, Command::kDelete, Command::kKeyToByte, Command::kNone}) {
    locked += takesWorkerLock(command) ? 1 : 0;
  }
  EXPECT_EQ(locked, 6);
}

TEST(WorkerCommand, UninstallArgumentsKeepExePathsWithSpacesTogether) {
  struct Case {
    std::string text;
    std::vector<std::string> arguments;
    std::size_t fragments;
  };
  const std::vector<Case> cases = {
      {"C:\\Program Files\\X\\un.exe D:\\y.exe", {"C:\\Program Files\\X\\un.exe", "D:\\y.exe"}, 3},
      {"/opt/a b/un.exe /tmp/c d/y.exe", {"/opt/a b/un.exe", "/tmp/c d/y.exe"}, 4},
      {"un.exe", {"un.exe"}, 1},
      {"a b c", {"a b c"}, 3},
      {"un.exe tail without", {"un.exe", "tail without"}, 3},
      {"", {}, 0},
      {"a  b.exe", {"a  b.exe"}, 3},  // an empty fragment keeps its space
  };
  for (const Case& c : cases) {
    std::size_t fragments = 99;
    EXPECT_EQ(uninstallArguments(c.text, &fragments), c.arguments) << c.text;
    EXPECT_EQ(fragments, c.fragments) << c.text;
  }
}

TEST(WorkerCommand, PatternMatching) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"*", "anything", true},      {"*", ".", true},           {"*.so", "a.so", true},
      {"*.so", ".hidden.so", true}, {"*.so", "a.so.1", false},  {"*.so", ".", false},
      {"*.so", "so", false},        {"a*b*c", "axxbyyc", true}, {"a*b*c", "axxbyy", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(patternMatches(c.pattern, c.name), c.matches) << c.pattern << " " << c.name;
  }
}

class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> serial{0};
    path_ = (std::filesystem::temp_directory_path() /
             ("qm-worker-" + std::to_string(platform::currentProcessId()) + "-" +
              std::to_string(serial++)))
                .string();
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  void file(const std::string& relative, const std::string& text = "x") const {
    std::filesystem::create_directories(
        std::filesystem::path(path_ + "/" + relative).parent_path());
    std::ofstream(path_ + "/" + relative) << text;
  }

 private:
  std::string path_;
};

TEST(WorkerCommand, ListingWalksBreadthFirstAndTheFilterAppliesToFolders) {
  TempFolder tree;
  tree.file("top.so");
  tree.file("readme.txt");
  tree.file("KVL/adapter.so");
  tree.file("KVL/deeper/more.so");
  tree.file("odd.so/inside.txt");
  std::filesystem::create_directory_symlink(tree.path(), tree.path() + "/loop");

  auto all = listFiles(tree.path(), "*");
  ASSERT_TRUE(all);
  std::vector<std::string> sorted = *all;
  std::sort(sorted.begin(), sorted.end());
  const std::string& r = tree.path();
  EXPECT_EQ(sorted,
            (std::vector<std::string>{r + "/KVL/adapter.so", r + "/KVL/deeper/more.so", r + "/loop",
                                      r + "/odd.so/inside.txt", r + "/readme.txt", r + "/top.so"}));
  // Files of a folder come before those of the folders below it.
  auto position = [&](const std::string& path) {
    return std::find(all->begin(), all->end(), path) - all->begin();
  };
  EXPECT_LT(position(r + "/top.so"), position(r + "/KVL/adapter.so"));
  EXPECT_LT(position(r + "/KVL/adapter.so"), position(r + "/KVL/deeper/more.so"));

  // "*.so" lists the top folder, and walks only folders named like that (finding nothing there).
  EXPECT_FALSE(listFiles(tree.path(), "*.so"));
  std::filesystem::remove_all(r + "/odd.so");
  auto libraries = listFiles(tree.path(), "*.so");
  ASSERT_TRUE(libraries);
  EXPECT_EQ(*libraries, (std::vector<std::string>{r + "/top.so"}));

  EXPECT_FALSE(listFiles(r + "/missing", "*"));
}

TEST(WorkerCommand, KeyToByteText) {
  EXPECT_EQ(keyToByteText("k_RSA.pem", "AB"), "byte RSAKey[] = { 0x41, 0x42};");
  EXPECT_EQ(keyToByteText("k_EC.pem", "\n"), "byte ECKey[] = { 0xA};");
  EXPECT_EQ(keyToByteText("k_RSA.pem.bak", std::string("\x00\xff", 2)),
            "byte RSAKey[] = { 0x0, 0xFF};");
  EXPECT_EQ(keyToByteText("k_RSApem", "A"), "byte ECKey[] = { 0x41};");
  EXPECT_EQ(keyToByteText("empty", ""), "byte ECKey[] = {};");
}

TEST(WorkerCommand, SelfDeleteQuotesThePathForTheShell) {
  TempFolder folder;
  // Were any name to reach the shell as syntax, "qm-injected" would appear in the working folder.
  const std::string marker = "qm-injected";
  for (std::string name :
       {"plain", "with space", "it's", "$(touch qm-injected)", "a;touch qm-injected",
        "`touch qm-injected`", "x' ; touch 'qm-injected"}) {
    const std::string path = folder.path() + "/" + name;
    std::ofstream(path) << "x";
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(platform::runAndWait(platform::selfDeleteCommand(path, 0), true), 0) << name;
    EXPECT_FALSE(std::filesystem::exists(path)) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
}

}  // namespace
}  // namespace qm::worker
