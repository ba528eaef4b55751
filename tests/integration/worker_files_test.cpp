// The worker's file work: uninstall detection, removal, key conversion and deleting itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ipc_test_support.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

class WorkerFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { worker = installCopy(workerPath(), folder, "KVLQuillmarkWorker"); }

  std::vector<std::string> run(const std::vector<std::string>& args, int expected = 0) {
    Program program(root, worker, args, record);
    EXPECT_EQ(program.wait(60000), expected) << args.front();
    return program.log();
  }
  // A command line started the way the programs start one; the exit status its parent saw.
  std::string runLine(const std::string& line, const char* mode = "run") {
    Record result(root.path() + "/line.txt");
    fs::remove(result.path());
    EXPECT_EQ(runPeer(root, result, {mode, line}), 0);
    auto lines = result.lines();
    return lines.empty() ? "" : lines.back();
  }
  static void write(const std::string& path, const std::string& text = "x") {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
  }
  bool workerGone(int timeoutMs = 15000) const {
    return waitUntil([&] { return !fs::exists(worker); }, timeoutMs);
  }

  TempRoot root;
  Record record{root.path() + "/record.txt"};
  std::string folder = root.path() + "/program";
  std::string worker;
};

TEST_F(WorkerFilesTest, UninstallDetectWithOneArgumentExitsWith61005AndStays) {
  const std::string quoted = "\"" + worker + "\"";
  // The parent sees the low 8 bits of 61005.
  EXPECT_EQ(runLine(quoted + " -uninstalldetect \"" + root.path() + "/only one.exe\""), "exit 77");
  EXPECT_EQ(runLine(quoted + " -uninstalldetect \"unbalanced"), "exit 77");
  EXPECT_EQ(countIn(root.logLines(), "Quillmark uninstall detect: Parameter error"), 2u);
  platform::sleepMs(3000);
  EXPECT_TRUE(fs::exists(worker));
}

TEST_F(WorkerFilesTest, UninstalledSetRunsTheUninstallerAndRemovesLibraryCopies) {
  // No library left in the program folder: uninstalled.
  const std::string shared = root.sharedData();
  write(shared + "/KVLZDGPKICryptATLAdapter.so");
  write(shared + "/.hidden-copy.so");
  write(shared + "/KVLQuillmarkMainVersion");
  auto log = run({"-uninstalldetect", "C:\\Program", "Files\\X\\un.exe", "D:\\y.exe"});
  EXPECT_EQ(countIn(log, "SplitLength: 3"), 1u);
  EXPECT_EQ(countIn(log, "SplitLength: 2"), 1u);
  EXPECT_EQ(countIn(log, "argv[0] = C:\\Program Files\\X\\un.exe"), 1u);
  EXPECT_EQ(countIn(log, "argv[1] = D:\\y.exe"), 1u);
  EXPECT_EQ(countIn(log, "MainFileList: Uninstall mode"), 1u);
  EXPECT_EQ(countIn(log, "->Unstall"), 1u);
  EXPECT_EQ(countIn(log, "hideNOWaitCommand: \"C:/Program Files/X/un.exe\" /S"), 1u);
  EXPECT_FALSE(fs::exists(shared + "/KVLZDGPKICryptATLAdapter.so"));
  EXPECT_FALSE(fs::exists(shared + "/.hidden-copy.so"));
  EXPECT_TRUE(fs::exists(shared + "/KVLQuillmarkMainVersion"));
  EXPECT_TRUE(workerGone());
}

TEST_F(WorkerFilesTest, UninstallerPathWithShellCharactersReachesTheUninstallerWhole) {
  // The uninstaller: the peer under a name full of shell syntax, in a folder with a space.
  const std::string name = "it's $(touch pwned) `touch pwned`;un";
  installCopy(peerPath(), root.path() + "/a b", name);
  auto log =
      run({"-uninstalldetect", root.path() + "/a b/" + name + ".exe", root.path() + "/y.exe"});
  EXPECT_EQ(countIn(log, "SplitLength: 7"), 1u);
  EXPECT_TRUE(record.waitFor("unknown " + name + " /S")) << root.logLines().back();
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_FALSE(fs::exists(root.path() + "/pwned"));
  EXPECT_TRUE(workerGone());
}

TEST_F(WorkerFilesTest, InstalledSetAsksTheMonitorToStart) {
  write(folder + "/top.so");
  write(folder + "/KVL/KVLZDGPKICryptATLAdapter.so");
  installCopy(peerPath(), folder, "KVLQuillmarkMonitor");
  Program monitor(root, folder + "/KVLQuillmarkMonitor", {}, record);
  ASSERT_TRUE(record.waitFor("monitor ready"));

  auto log = run({"-uninstalldetect", folder + "/un.exe", "second"});
  EXPECT_EQ(countIn(log, "Uninstall detect result: TotolSize = 2 MainSize = 1"), 1u);
  EXPECT_EQ(countIn(log, "->MonitorStart"), 1u);
  EXPECT_TRUE(monitor.waitLog("Receive UNKNOW instruction: QuillmarkInstruction_MonitorStart"));
  // The lock transport made the monitor start "KVLQuillmarkWorker.exe -start", which found the
  // monitor running and instructed it.
  EXPECT_TRUE(record.waitFor("monitor start", 20000));
  EXPECT_FALSE(record.has("unknown"));
  monitor.kill();
}

TEST_F(WorkerFilesTest, RemovalTakesEmptyParentsAndStopsAtTheFirstOtherOne) {
  // A folder named with a dot and given with a trailing separator, and (in double quotes, as an
  // installer passes it) a file whose path has spaces and shell syntax; both parents' parent
  // holds another file. A bare file name, without any separator or dot, is a file too. The runs
  // go side by side.
  write(root.path() + "/keep/other.txt");
  fs::create_directories(root.path() + "/keep/sub/v1.2");
  const std::string odd = root.path() + "/keep/a b/it's $(touch pwned);x.txt";
  write(odd);
  write(root.path() + "/bare/plain");
  Program byFolder(root, worker, {"-delete", root.path() + "/keep/sub/v1.2/"}, record);
  Record line(root.path() + "/line.txt");
  Program byFile(root, peerPath(), {"run", "\"" + worker + "\" -delete \"" + odd + "\""}, line);
  Record bareLine(root.path() + "/bare-line.txt");
  Program byName(root, peerPath(),
                 {"shell", "cd \"" + root.path() + "/bare\" && \"" + worker + "\" -delete plain"},
                 bareLine);

  EXPECT_EQ(byFolder.wait(60000), 0);
  EXPECT_EQ(byFile.wait(60000), 0);
  EXPECT_EQ(byName.wait(60000), 0);
  EXPECT_TRUE(line.has("exit 0"));
  EXPECT_TRUE(bareLine.has("exit 0"));
  EXPECT_FALSE(fs::exists(root.path() + "/keep/sub"));
  EXPECT_FALSE(fs::exists(root.path() + "/keep/a b"));
  EXPECT_FALSE(fs::exists(root.path() + "/bare/plain"));
  EXPECT_TRUE(fs::exists(root.path() + "/keep/other.txt"));
  EXPECT_FALSE(fs::exists(root.path() + "/pwned"));

  auto log = root.logLines();
  EXPECT_EQ(countIn(log, "Input: " + odd), 1u);
  EXPECT_EQ(countIn(log, "File mode"), 1u);  // said for a name with a dot only
  EXPECT_EQ(countIn(log, "Delete " + odd + " success"), 1u);
  EXPECT_EQ(countIn(log, "Delete plain success"), 1u);
  EXPECT_EQ(countIn(log, "Delete " + root.path() + "/keep/sub/v1.2 success"), 1u);
  EXPECT_EQ(countIn(log, "Delete " + root.path() + "/keep/sub success"), 1u);
  EXPECT_EQ(countIn(log, "[Normal] Delete " + root.path() + "/keep retry too many times"), 2u);
}

TEST_F(WorkerFilesTest, RemovalOfNothingEndsQuietly) {
  auto log = run({"-delete"});
  EXPECT_EQ(countIn(log, "Input is empty"), 1u);
  EXPECT_TRUE(workerGone());  // the word still deletes the worker
}

TEST_F(WorkerFilesTest, KeyConversionAppendsToCertHInTheWorkingFolder) {
  write(root.path() + "/k_RSA.pem", "AB");
  const std::string command = "cd \"" + root.path() + "\" && \"" + worker + "\" ";
  EXPECT_EQ(runLine(command + "-KeyToByte k_RSA.pem", "shell"), "exit 0");
  EXPECT_EQ(runLine(command + "-KEYTOBYTE k_RSA.pem", "shell"), "exit 0");  // not the word
  EXPECT_EQ(runLine(command + "-KeyToByte missing.pem", "shell"), "exit 0");
  std::ifstream in(root.path() + "/Cert.h");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "byte RSAKey[] = { 0x41, 0x42};");
}

}  // namespace
}  // namespace qm::test
