#include "util/os_info.h"

#include <string_view>

#include "platform/system_info.h"

namespace qm::osinfo {

namespace {

struct NamedBit {
  std::uint32_t bit;
  const char* name;
};

// Lowest bit first: the name of a set is the name of its lowest system bit.
constexpr NamedBit kNames[] = {
    {kWindowsXP, "WindowsXP"},
    {kWindowsXPx64, "WindowsXPx64"},
    {kWindowsServer2003, "WindowsServer2003"},
    {kWindowsHomeServer, "WindowsHomeServer"},
    {kWindowsServer2003R2, "WindowsServer2003R2"},
    {kWindowsVista, "WindowsVista"},
    {kWindowsServer2008, "WindowsServer2008"},
    {kWindowsServer2008R2, "WindowsServer2008R2"},
    {kWindows7, "Windows7"},
    {kWindowsServer2012, "WindowsServer2012"},
    {kWindows8, "Windows8"},
    {kWindowsServer2012R2, "WindowsServer2012R2"},
    {kWindows81, "Windows8.1"},
    {kWindowsServer2016, "WindowsServer2016"},
    {kWindows10, "Windows10"},
    {kWindows11, "Windows11"},
    {kLinux, "Linux"},
};

// Workstation and server bits of the 6.x versions, by minor version.
struct SixRow {
  std::uint32_t workstation;
  std::uint32_t server;
};
constexpr SixRow kSix[] = {
    {kWindowsVista, kWindowsServer2008},
    {kWindows7, kWindowsServer2008R2},
    {kWindows8, kWindowsServer2012},
    {kWindows81, kWindowsServer2012R2},
};

std::uint32_t systemBit(const WindowsVersion& v) {
  unsigned major = v.kernel ? v.kernel->major : v.major;
  unsigned minor = v.kernel ? v.kernel->minor : v.minor;
  unsigned build = v.kernel ? v.kernel->build : v.build;
  bool workstation = v.productType == kWorkstation;
  if (major == 5 && minor == 1) return kWindowsXP;
  if (major == 5 && minor == 2) {
    if (workstation && v.architecture == kArchitectureAmd64) return kWindowsXPx64;
    if (v.serverR2Metric == 0) return kWindowsServer2003;
    if (v.suiteMask & kSuiteHomeServer) return kWindowsHomeServer;
    return kWindowsServer2003R2;
  }
  if (major == 6 && minor < std::size(kSix))
    return workstation ? kSix[minor].workstation : kSix[minor].server;
  if (major == 10 && minor == 0) {
    if (!workstation) return kWindowsServer2016;
    return build < 22000 ? kWindows10 : kWindows11;
  }
  return 0;
}

}  // namespace

std::uint32_t windowsFlags(const WindowsVersion& version) {
  std::uint32_t bit = systemBit(version);
  if (bit == 0) return 0;
  bool wide =
      version.architecture == kArchitectureAmd64 || version.architecture == kArchitectureIa64;
  return bit | (wide ? kArchitecture64 : kArchitecture32);
}

std::uint32_t osFlags() {
  // The kernel's machine, not this build's pointer size: a 32-bit build on a 64-bit system
  // reports a 64-bit system.
  bool wide = sizeof(void*) == 8;
  if (std::optional<platform::SystemInfo> info = platform::systemInfo()) {
    std::string_view machine = info->machine;
    wide = machine.find("64") != std::string_view::npos || machine == "s390x";
  }
  return kLinux | (wide ? kArchitecture64 : kArchitecture32);
}

std::string osName(std::uint32_t flags) {
  for (const NamedBit& n : kNames)
    if (flags & n.bit) return n.name;
  return "UnknowOS";
}

}  // namespace qm::osinfo
