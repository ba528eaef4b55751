#include "util/debug_mode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "util/diag.h"
#include "util/zdlog.h"

namespace fs = std::filesystem;
using namespace qm;

namespace {

// Child mode: a listening program that runs until the stop file appears (or its folder goes),
// then writes how many pulses it handled.
const bool kIsChild = [] {
  const char* prefix = std::getenv("QM_DEBUG_CHILD_PREFIX");
  const char* folder = std::getenv("QM_DEBUG_CHILD_DIR");
  if (!prefix || !folder) return false;
  const fs::path dir = folder;
  debug_mode::Listener listener;
  if (!listener.start(prefix, diag::setLog(prefix))) platform::exitProcess(2);
  std::ofstream(dir / (std::string(prefix) + ".ready")) << "ready";
  while (!fs::exists(dir / "stop") && fs::exists(dir)) platform::sleepMs(20);
  listener.stop();
  const fs::path count = dir / (std::string(prefix) + ".count");
  std::ofstream(fs::path(count).concat(".part")) << listener.toggles();
  std::error_code ignored;
  fs::rename(fs::path(count).concat(".part"), count, ignored);
  platform::exitProcess(0);
}();

// Polls until the condition holds; false after a generous limit (a hang, not a slow machine).
bool eventually(const std::function<bool()>& condition) {
  long long end = platform::monotonicMs() + 20000;
  while (!condition()) {
    if (platform::monotonicMs() > end) return false;
    platform::sleepMs(20);
  }
  return true;
}

std::vector<std::string> logLines(const fs::path& dir) {
  std::vector<std::string> lines;
  if (!fs::exists(dir)) return lines;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  return lines;
}

int countEnding(const std::vector<std::string>& lines, const std::string& tail) {
  int n = 0;
  for (const std::string& line : lines) {
    n += line.size() >= tail.size() &&
         line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
  }
  return n;
}

class DebugModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    dir_ = fs::path("/tmp") / ("qm-debug-" + std::to_string(platform::currentProcessId()) + "-" +
                               std::to_string(counter++));
    fs::remove_all(dir_);
    for (const char* sub : {"tmp", "run", "log"}) fs::create_directories(dir_ / sub);
    setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
    writeIni("app.log");
  }
  void TearDown() override {
    diag::disable();
    zdlog::reset();
    fs::remove_all(dir_);
  }
  void writeIni(const std::string& logName) {
    std::ofstream(dir_ / "tmp" / diag::kLogSettingsFile)
        << "[KVLQuillmark]\nLog File=" << (dir_ / "log" / logName).string() << "\nLog Level=5\n";
  }

  fs::path dir_;
};

TEST_F(DebugModeTest, ListenerNeedsTheEvent) {
  debug_mode::Listener listener;
  EXPECT_FALSE(listener.start("Dbg", false));
  EXPECT_FALSE(listener.running());
}

TEST_F(DebugModeTest, EachPulseTogglesLogging) {
  std::optional<platform::NamedEvent> event = debug_mode::openOrCreate();
  ASSERT_TRUE(event);
  debug_mode::Listener listener;
  ASSERT_TRUE(listener.start("Dbg", false));
  EXPECT_FALSE(diag::enabled());

  ASSERT_TRUE(debug_mode::signal(*event));
  ASSERT_TRUE(eventually([&] { return listener.toggles() == 1; }));
  EXPECT_TRUE(diag::enabled());
  EXPECT_TRUE(listener.loggingOn());
  EXPECT_EQ(zdlog::configuredLevel(), 5);

  ASSERT_TRUE(debug_mode::signal(*event));
  ASSERT_TRUE(eventually([&] { return listener.toggles() == 2; }));
  EXPECT_FALSE(diag::enabled());
  EXPECT_FALSE(zdlog::initialised());
  EXPECT_EQ(zdlog::configuredLevel(), 0);

  // Switching on again reads the settings anew.
  writeIni("again.log");
  ASSERT_TRUE(debug_mode::signal(*event));
  ASSERT_TRUE(eventually([&] { return listener.toggles() == 3; }));
  EXPECT_TRUE(diag::enabled());
  listener.stop();
  EXPECT_FALSE(listener.running());

  std::vector<std::string> lines = logLines(dir_ / "log");
  EXPECT_EQ(countEnding(lines, "[Dbg][Normal] Log state: Enable"), 2);
  EXPECT_EQ(countEnding(lines, "[Dbg][Normal] Log state: Disable"), 1);
  bool again = false;
  for (const auto& entry : fs::directory_iterator(dir_ / "log")) {
    again |= entry.path().filename().string().rfind("again_", 0) == 0;
  }
  EXPECT_TRUE(again);
}

TEST_F(DebugModeTest, EveryListeningProcessTogglesOncePerPulse) {
  std::optional<platform::NamedEvent> event = debug_mode::openOrCreate();
  ASSERT_TRUE(event);
  const std::string self = platform::programFolder() + "/debug_mode_test";
  const std::vector<std::string> prefixes = {"ListenerA", "ListenerB"};
  for (const std::string& prefix : prefixes) {
    ASSERT_EQ(platform::startDetached("QM_DEBUG_CHILD_PREFIX=" + prefix + " QM_DEBUG_CHILD_DIR='" +
                                          dir_.string() + "' '" + self + "'",
                                      true),
              0);
  }
  ASSERT_TRUE(eventually([&] {
    return fs::exists(dir_ / "ListenerA.ready") && fs::exists(dir_ / "ListenerB.ready");
  }));

  // Both start on: off, on, off.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(debug_mode::signal(*event));
  auto settled = [&] {
    std::vector<std::string> lines = logLines(dir_ / "log");
    for (const std::string& prefix : prefixes) {
      if (countEnding(lines, "[" + prefix + "][Normal] Log state: Disable") < 2) return false;
    }
    return true;
  };
  bool done = eventually(settled);
  std::ofstream(dir_ / "stop") << "stop";
  ASSERT_TRUE(done);
  for (const std::string& prefix : prefixes) {
    ASSERT_TRUE(eventually([&] { return fs::exists(dir_ / (prefix + ".count")); }));
    std::string count;
    std::ifstream(dir_ / (prefix + ".count")) >> count;
    EXPECT_EQ(count, "3") << prefix;
    std::vector<std::string> lines = logLines(dir_ / "log");
    EXPECT_EQ(countEnding(lines, "[" + prefix + "][Normal] Log state: Enable"), 2) << prefix;
    EXPECT_EQ(countEnding(lines, "[" + prefix + "][Normal] Log state: Disable"), 2) << prefix;
  }
}

}  // namespace
