#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "../fixtures/platform_helper/helper_client.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace qm::platform {
namespace {

using testing::TempRoot;

// Sets or clears environment variables for one scope and restores them after.
class ScopedEnv {
 public:
  ScopedEnv& set(const char* name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name);
    saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
    return *this;
  }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first, it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first);
      }
    }
  }

 private:
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST(Folders, OverridesAndDefaults) {
  TempRoot root;
  const std::string r = root.path().string();
  struct Case {
    const char* variable;
    std::optional<std::string> value;  // nullopt: unset
    std::function<std::string()> folder;
    std::string expected;
  };
  const std::string home = r + "/home";
  const Case cases[] = {
      {"QUILLMARK_COMMON_APPDATA", r + "/data", commonAppDataFolder, r + "/data"},
      {"QUILLMARK_COMMON_APPDATA", r + "/data/", commonAppDataFolder, r + "/data"},
      {"QUILLMARK_COMMON_APPDATA", std::nullopt, commonAppDataFolder, "/var/lib"},
      {"QUILLMARK_COMMON_APPDATA", "", commonAppDataFolder, "/var/lib"},
      {"TMPDIR", r + "/tmp", userTempFolder, r + "/tmp/"},
      {"TMPDIR", r + "/tmp/", userTempFolder, r + "/tmp/"},
      {"TMPDIR", std::nullopt, userTempFolder, "/tmp/"},
      {"XDG_DESKTOP_DIR", r + "/desk", desktopFolder, r + "/desk"},
      {"XDG_DESKTOP_DIR", std::nullopt, desktopFolder, home + "/Desktop"},
      {"HOME", home + "/", homeFolder, home + "/"},
      {"QUILLMARK_DUMP_DIR", r + "/dumps", dumpFolder, r + "/dumps"},
      {"QUILLMARK_DUMP_DIR", std::nullopt, dumpFolder, "/tmp"},
      {"QUILLMARK_COMPONENT_DIR", r + "/comp", componentFolder, r + "/comp"},
      {"QUILLMARK_COMPONENT_DIR", std::nullopt, componentFolder, programFolder() + "/components"},
      {"XDG_RUNTIME_DIR", r + "/run", runtimeFolder, r + "/run/KVLQuillmark"},
  };
  for (const auto& c : cases) {
    ScopedEnv env;
    env.set("HOME", home).set(c.variable, c.value);
    EXPECT_EQ(c.folder(), c.expected) << c.variable << "=" << c.value.value_or("(unset)");
  }
  EXPECT_EQ(windowsFolder(), "/etc");
  EXPECT_EQ(homeDriveTmpFolder(), "/tmp/");
  EXPECT_EQ(defaultLogFile(), "/tmp/ZDLog.log");
}

TEST(Folders, RuntimeFolderIsMadePrivate) {
  TempRoot root;
  ScopedEnv env;
  env.set("XDG_RUNTIME_DIR", root / "run");
  const std::string folder = runtimeFolder();
  ASSERT_EQ(folder, root / "run/KVLQuillmark");
  EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);

  env.set("XDG_RUNTIME_DIR", std::nullopt);
  const std::string fallback = runtimeFolder();
  EXPECT_TRUE(fallback.starts_with("/tmp/KVLQuillmark-")) << fallback;
  EXPECT_TRUE(folderExists(fallback));
}

void anchorInThisProgram() {}

TEST(Folders, ProgramModuleAndSystem) {
  // The test programs are built into <build>/tests, next to <build>/bin.
  const auto expected = std::filesystem::weakly_canonical(QUILLMARK_BIN_DIR "/../tests");
  EXPECT_EQ(programFolder(), expected.string());
  EXPECT_EQ(moduleFolder(reinterpret_cast<const void*>(&anchorInThisProgram)), programFolder());
  const std::string system = systemFolder();
  EXPECT_EQ(moduleFolder(reinterpret_cast<const void*>(&std::fopen)), system);
  EXPECT_TRUE(fileTest(system + "/libc.so.6")) << system;
  EXPECT_EQ(moduleFolder(nullptr), "");
}

TEST(Folders, UserName) {
  auto name = userName();
  ASSERT_TRUE(name);
  EXPECT_FALSE(name->empty());
}

TEST(Names, WindowsNamesTranslated) {
  struct Case {
    std::function<std::string(std::string_view)> translate;
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {nativePath, "C:\\tmp\\x", "C:/tmp/x"},
      {nativePath, "a/b", "a/b"},
      {executableName, "KVLQuillmark.exe", "KVLQuillmark"},
      {executableName, "KVLQuillmarkWorker.EXE", "KVLQuillmarkWorker"},
      {executableName, "a.exe.exe", "a.exe"},
      {executableName, "exe", "exe"},
      {executableName, ".exe", ""},
      {libraryName, "KVLZDGPKICryptATLAdapter.dll", "KVLZDGPKICryptATLAdapter.so"},
      {libraryName, "advapi32.DLL", "advapi32.so"},
      {libraryName, "plain", "plain"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.translate(c.in), c.out) << c.in;
}

TEST(Files, TestsReadsAndWrites) {
  TempRoot root;
  const std::string file = root / "a.txt";
  const std::string folder = root.path().string();
  EXPECT_FALSE(fileTest(file));
  EXPECT_FALSE(fileTest(folder));
  EXPECT_FALSE(fileTest(""));
  std::filesystem::create_symlink(root / "loop-b", root / "loop-a");
  std::filesystem::create_symlink(root / "loop-a", root / "loop-b");
  EXPECT_FALSE(fileTest(root / "loop-a")) << "a path that cannot be examined is no file";
  EXPECT_TRUE(folderExists(folder));
  EXPECT_FALSE(folderExists(file));
  EXPECT_FALSE(readTextFile(file));
  EXPECT_FALSE(readTextFile(folder));
  EXPECT_FALSE(fileSize(folder));

  ASSERT_TRUE(writeTextFile(file, "first line\nsecond\n"));
  EXPECT_TRUE(fileTest(file));
  EXPECT_EQ(fileSize(file), 18u);
  ASSERT_TRUE(writeTextFile(file, "short"));
  EXPECT_EQ(readTextFile(file), "short") << "truncated";
  ASSERT_TRUE(appendToFile(file, std::string_view("\0tail", 5)));
  EXPECT_EQ(readTextFile(file), std::string("short\0tail", 10));
  ASSERT_TRUE(appendToFile(root / "new.log", "x"));
  EXPECT_EQ(readTextFile(root / "new.log"), "x");
  ASSERT_TRUE(writeTextFile(root / "empty", ""));
  EXPECT_EQ(readTextFile(root / "empty"), "");

  EXPECT_FALSE(writeTextFile(root / "missing/x", "t"));
  EXPECT_FALSE(writeTextFile(folder, "t"));
  EXPECT_FALSE(appendToFile(folder, "t"));
  EXPECT_FALSE(writeTextFile("", "t"));
}

}  // namespace
}  // namespace qm::platform
