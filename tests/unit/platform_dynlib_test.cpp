#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "../fixtures/platform_helper/helper_client.h"
#include "platform/dynlib.h"
#include "platform/files.h"

namespace qm::platform {
namespace {

using testing::TempRoot;
using Bump = int (*)();

TEST(DynamicLibrary, MissingFileGivesLoaderText) {
  TempRoot root;
  std::string error;
  EXPECT_FALSE(DynamicLibrary::open(root / "missing.so", &error));
  EXPECT_NE(error.find("missing.so"), std::string::npos) << error;
  EXPECT_FALSE(DynamicLibrary::open(root / "missing.so"));

  // Not a library at all.
  ASSERT_TRUE(writeTextFile(root / "text.so", "not a library\n"));
  error.clear();
  EXPECT_FALSE(DynamicLibrary::open(root / "text.so", &error));
  EXPECT_FALSE(error.empty());
}

TEST(DynamicLibrary, SymbolsAndMoves) {
  auto libc = DynamicLibrary::open("libc.so.6");
  ASSERT_TRUE(libc);
  auto length = libc->function<std::size_t (*)(const char*)>("strlen");
  ASSERT_NE(length, nullptr);
  EXPECT_EQ(length("abc"), 3u);
  EXPECT_EQ(libc->symbol("quillmark_no_such_symbol"), nullptr);
  EXPECT_EQ(libc->symbol(nullptr), nullptr);

  DynamicLibrary moved = std::move(*libc);
  EXPECT_NE(moved.symbol("strlen"), nullptr);
  EXPECT_EQ(libc->symbol("strlen"), nullptr);
  moved.close();
  EXPECT_EQ(moved.symbol("strlen"), nullptr);
}

TEST(DynamicLibrary, CopiedFileIsASeparateInstance) {
  TempRoot root;
  std::filesystem::copy_file(testing::counterLibraryPath(), root / "session1.so");
  std::filesystem::copy_file(testing::counterLibraryPath(), root / "session2.so");
  auto first = DynamicLibrary::open(root / "session1.so");
  auto again = DynamicLibrary::open(root / "session1.so");
  auto second = DynamicLibrary::open(root / "session2.so");
  ASSERT_TRUE(first && again && second);
  auto bumpFirst = first->function<Bump>("quillmarkCounterBump");
  auto bumpAgain = again->function<Bump>("quillmarkCounterBump");
  auto bumpSecond = second->function<Bump>("quillmarkCounterBump");
  ASSERT_TRUE(bumpFirst && bumpAgain && bumpSecond);
  EXPECT_EQ(bumpFirst(), 1);
  EXPECT_EQ(bumpAgain(), 2) << "the same file opened twice is one instance";
  EXPECT_EQ(bumpSecond(), 1) << "a copy keeps its own state";

  // Fully closed and loaded again: fresh state.
  first->close();
  again->close();
  auto reloaded = DynamicLibrary::open(root / "session1.so");
  ASSERT_TRUE(reloaded);
  EXPECT_EQ(reloaded->function<Bump>("quillmarkCounterBump")(), 1);
}

}  // namespace
}  // namespace qm::platform
