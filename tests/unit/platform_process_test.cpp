#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../fixtures/platform_helper/helper_client.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace qm::platform {
namespace {

using testing::helperPath;
using testing::TempRoot;
using testing::waitForFile;
using testing::waitForText;

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

TEST(SplitCommandLine, FollowsWindowsRules) {
  struct Case {
    const char* line;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"", {}},
      {"  \t ", {}},
      {"KVLQuillmarkWorker.exe -start", {"KVLQuillmarkWorker.exe", "-start"}},
      {"  a   b\tc  ", {"a", "b", "c"}},
      {"\"C:/Program Files/x.exe\" -a", {"C:/Program Files/x.exe", "-a"}},
      {"p \"two words\" x\"y z\"w", {"p", "two words", "xy zw"}},
      {"p \"\" end", {"p", "", "end"}},
      {"p \"unterminated arg", {"p", "unterminated arg"}},
      {"p a\\b \\\\server", {"p", "a\\b", "\\\\server"}},
      {"p \\\"q\\\" \"a\\\\\" b", {"p", "\"q\"", "a\\", "b"}},
      {"p \"say \"\"hi\"\"\"", {"p", "say \"hi\""}},
      // The program name takes no backslash escapes.
      {"C:\\dir\\p.exe x", {"C:\\dir\\p.exe", "x"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(splitCommandLine(c.line), c.args) << c.line;
  }
}

TEST(JoinArguments, JoinsWithoutProgramName) {
  const char* argv[] = {"prog", "-start", "two words", ""};
  EXPECT_EQ(joinArguments(4, argv), "-start two words ");
  EXPECT_EQ(joinArguments(1, argv), "");
  EXPECT_EQ(joinArguments(0, nullptr), "");
}

TEST(RunAndWait, ExitStatuses) {
  const std::string helper = helperPath();
  struct Case {
    std::string command;
    bool shell;
    int status;
  };
  const Case cases[] = {
      {helper + " exit 0", false, 0},
      {helper + " exit 3", false, 3},
      {helper + " exit 61005", false, 77},  // low 8 bits only
      {helper + ".exe exit 4", false, 4},   // ".exe" dropped
      {quoted(helper) + " exit 5", false, 5},
      {helper + " raise 9", false, 128 + 9},
      {"exit 61005", true, 77},
      {"kill -9 $$", true, 128 + 9},
      {"exit 3", false, 0},  // not a program: not started
      {"quillmark_no_such_program -x", false, 0},
      {"", false, 0},
      {"quillmark_no_such_program -x", true, 127},  // the shell's own status
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runAndWait(c.command, c.shell), c.status) << c.command << " shell=" << c.shell;
  }
}

TEST(RunAndWait, ArgumentsReachTheChildIntact) {
  TempRoot root;
  struct Case {
    std::string arguments;
    bool shell;
    std::string lines;
  };
  const Case cases[] = {
      {"\"two words\" plain \"\" \"C:\\dir\\\\\" end", false,
       "two words\nplain\n\nC:\\dir\\\nend\n"},
      {"'single quoted' \"a  b\" x\\ y", true, "single quoted\na  b\nx y\n"},
  };
  for (const auto& c : cases) {
    std::string out = root / "args.txt";
    std::filesystem::remove(out);
    ASSERT_EQ(runAndWait(quoted(helperPath()) + " args " + out + " " + c.arguments, c.shell), 0);
    EXPECT_EQ(readTextFile(out), c.lines) << c.arguments;
  }
}

// Children of this process that have not been reaped.
std::vector<int> childrenOfThisProcess() {
  std::vector<int> children;
  const std::string self = std::to_string(currentProcessId());
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    auto stat = readTextFile((entry.path() / "stat").string());
    if (!stat) continue;
    // pid (comm) state ppid ...; comm may hold spaces and parentheses.
    auto close = stat->rfind(')');
    if (close == std::string::npos) continue;
    std::vector<std::string> fields = splitCommandLine(stat->substr(close + 1));
    if (fields.size() > 1 && fields[1] == self)
      children.push_back(std::stoi(entry.path().filename()));
  }
  return children;
}

TEST(StartDetached, StartsWithoutWaitingAndLeavesNoChild) {
  TempRoot root;
  std::string out = root / "detached.txt";
  ASSERT_EQ(startDetached(helperPath() + " args " + out + " \"a b\" c", false), 0);
  EXPECT_EQ(waitForText(out), "a b\nc\n");
  std::string shellOut = root / "shell.txt";
  ASSERT_EQ(startDetached("echo started > " + shellOut, true), 0);
  EXPECT_EQ(waitForText(shellOut), "started\n");
  // Neither a zombie nor a running child of ours remains to be reaped.
  EXPECT_TRUE(childrenOfThisProcess().empty());

  EXPECT_EQ(startDetached("quillmark_no_such_program", false), ENOENT);
  EXPECT_EQ(startDetached("", false), ENOENT);
}

TEST(ResolveProgram, ProgramFolderBeforePath) {
  TempRoot root;
  const std::string name = "quillmark_resolve_" + std::to_string(currentProcessId());
  // A copy in this test's own program folder and one on PATH.
  const std::string own = programFolder() + "/" + name;
  std::filesystem::copy_file(helperPath(), own);
  std::filesystem::create_directories(root.path() / "bin");
  const std::string onPath = root / ("bin/" + name);
  std::filesystem::copy_file(helperPath(), onPath);
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (root / "bin").c_str(), 1);

  EXPECT_EQ(resolveProgram(name + ".exe"), own);
  std::filesystem::remove(own);
  EXPECT_EQ(resolveProgram(name + ".EXE"), onPath);
  EXPECT_EQ(resolveProgram(onPath), onPath);
  EXPECT_EQ(resolveProgram("quillmark_no_such_program"), "");
  std::filesystem::permissions(onPath,
                               std::filesystem::perms::owner_all |
                                   std::filesystem::perms::group_all |
                                   std::filesystem::perms::others_all,
                               std::filesystem::perm_options::remove);
  std::filesystem::permissions(onPath, std::filesystem::perms::owner_read,
                               std::filesystem::perm_options::add);
  EXPECT_EQ(resolveProgram(name), "") << "not executable";
  ::setenv("PATH", oldPath.c_str(), 1);
}

TEST(FindAndKillProcesses, ByExecutableName) {
  TempRoot root;
  const std::string copy = testing::uniqueHelperCopy(root, "find");
  const std::string image = std::filesystem::path(copy).filename().string() + ".exe";
  std::string upper = image;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  EXPECT_FALSE(isProcessRunning(image));
  ASSERT_EQ(startDetached(copy + " sleep 30000", false), 0);
  std::vector<int> found;
  for (int i = 0; i < 1000 && found.empty(); ++i, sleepMs(5)) found = findProcesses(image);
  ASSERT_EQ(found.size(), 1u);
  // A deleted executable still counts (its link reads "<path> (deleted)").
  std::filesystem::remove(copy);
  EXPECT_EQ(findProcesses(upper), found);
  EXPECT_TRUE(findProcesses(upper, true).empty());
  EXPECT_TRUE(isProcessRunning(upper));

  EXPECT_EQ(killProcesses(upper), 0) << "exact case only";
  EXPECT_EQ(killProcesses(image), 1);
  bool gone = false;
  for (int i = 0; i < 1000 && !gone; ++i, sleepMs(5)) gone = !isProcessRunning(image);
  EXPECT_TRUE(gone);
}

TEST(KillProcesses, EveryOtherProcessButNeverItself) {
  TempRoot root;
  const std::string copy = testing::uniqueHelperCopy(root, "kill");
  const std::string image = std::filesystem::path(copy).filename().string() + ".exe";
  ASSERT_EQ(startDetached(copy + " sleep 30000", false), 0);
  std::vector<int> found;
  for (int i = 0; i < 1000 && found.size() != 1; ++i, sleepMs(5)) found = findProcesses(image);
  ASSERT_EQ(found.size(), 1u);
  // The same program kills its sibling, survives and reports one.
  const std::string out = root / "killed.txt";
  EXPECT_EQ(runAndWait(copy + " kill " + image + " " + out, false), 0);
  EXPECT_EQ(readTextFile(out), "1");
  bool gone = false;
  for (int i = 0; i < 1000 && !gone; ++i, sleepMs(5)) gone = findProcesses(image).empty();
  EXPECT_TRUE(gone);
}

}  // namespace
}  // namespace qm::platform
