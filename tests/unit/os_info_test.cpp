#include "util/os_info.h"

#include <gtest/gtest.h>

namespace qm::osinfo {
namespace {

constexpr unsigned kServer = 3;

struct Case {
  const char* what;
  WindowsVersion version;
  std::uint32_t flags;
  const char* name;
};

WindowsVersion version(unsigned major, unsigned minor, unsigned build, unsigned type,
                       unsigned arch = kArchitectureAmd64) {
  WindowsVersion v;
  v.major = major;
  v.minor = minor;
  v.build = build;
  v.productType = type;
  v.architecture = arch;
  return v;
}

WindowsVersion withKernel(WindowsVersion v, unsigned major, unsigned minor, unsigned build) {
  v.kernel = KernelVersion{major, minor, build};
  return v;
}

WindowsVersion serverR2(unsigned suite) {
  WindowsVersion v = version(5, 2, 3790, kServer, 0);
  v.serverR2Metric = 1;
  v.suiteMask = suite;
  return v;
}

TEST(WindowsFlags, DecisionTable) {
  const Case cases[] = {
      {"11", version(10, 0, 22000, kWorkstation), 0x208000, "Windows11"},
      {"10 last build", version(10, 0, 21999, kWorkstation), 0x204000, "Windows10"},
      {"10 32-bit", version(10, 0, 19045, kWorkstation, 0), 0x104000, "Windows10"},
      {"Server 2022", version(10, 0, 20348, kServer), 0x202000, "WindowsServer2016"},
      {"8.1 shimmed to 6.2", withKernel(version(6, 2, 9200, kWorkstation), 6, 3, 9600), 0x201000,
       "Windows8.1"},
      {"kernel build decides", withKernel(version(6, 2, 9200, kWorkstation), 10, 0, 22631),
       0x208000, "Windows11"},
      {"Vista", version(6, 0, 6002, kWorkstation, 0), 0x100020, "WindowsVista"},
      {"2008", version(6, 0, 6002, kServer), 0x200040, "WindowsServer2008"},
      {"7", version(6, 1, 7601, kWorkstation), 0x200100, "Windows7"},
      {"2008 R2 on IA-64", version(6, 1, 7601, kServer, kArchitectureIa64), 0x200080,
       "WindowsServer2008R2"},
      {"8", version(6, 2, 9200, kWorkstation), 0x200400, "Windows8"},
      {"2012", version(6, 2, 9200, kServer), 0x200200, "WindowsServer2012"},
      {"2012 R2", version(6, 3, 9600, kServer), 0x200800, "WindowsServer2012R2"},
      {"XP", version(5, 1, 2600, kWorkstation, 0), 0x100001, "WindowsXP"},
      {"XP x64", version(5, 2, 3790, kWorkstation), 0x200002, "WindowsXPx64"},
      {"2003", version(5, 2, 3790, kServer, 0), 0x100004, "WindowsServer2003"},
      {"Home Server", serverR2(kSuiteHomeServer), 0x100008, "WindowsHomeServer"},
      {"2003 R2", serverR2(0), 0x100010, "WindowsServer2003R2"},
      {"2000", version(5, 0, 2195, kWorkstation), 0, "UnknowOS"},
      {"6.4", version(6, 4, 9841, kWorkstation), 0, "UnknowOS"},
      {"kernel says unknown", withKernel(version(10, 0, 19045, kWorkstation), 6, 4, 1), 0,
       "UnknowOS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint32_t flags = windowsFlags(c.version);
    EXPECT_EQ(flags, c.flags);
    EXPECT_EQ(osName(flags), c.name);
  }
}

TEST(OsName, LowestSystemBitWins) {
  EXPECT_EQ(osName(kWindows7 | kWindows10 | kArchitecture64), "Windows7");
  EXPECT_EQ(osName(kArchitecture64 | kArchitecture32), "UnknowOS");
  EXPECT_EQ(osName(0), "UnknowOS");
  EXPECT_EQ(osName(kLinux | kArchitecture32), "Linux");
}

TEST(OsFlags, ThisSystemIsLinuxWithOneArchitectureBit) {
  std::uint32_t flags = osFlags();
  EXPECT_EQ(flags & ~(kLinux | kArchitecture32 | kArchitecture64), 0u);
  EXPECT_EQ(osName(flags), "Linux");
  bool is64 = flags & kArchitecture64;
  bool is32 = flags & kArchitecture32;
  EXPECT_NE(is64, is32);
  // A 64-bit program can only run on a 64-bit system.
  if (sizeof(void*) == 8) {
    EXPECT_TRUE(is64);
  }
}

}  // namespace
}  // namespace qm::osinfo
