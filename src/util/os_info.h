// Which system the program runs on, as flags and a short name: exactly one system bit plus one
// architecture bit, 0 when unknown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qm::osinfo {

inline constexpr std::uint32_t kWindowsXP = 0x1;
inline constexpr std::uint32_t kWindowsXPx64 = 0x2;
inline constexpr std::uint32_t kWindowsServer2003 = 0x4;
inline constexpr std::uint32_t kWindowsHomeServer = 0x8;
inline constexpr std::uint32_t kWindowsServer2003R2 = 0x10;
inline constexpr std::uint32_t kWindowsVista = 0x20;
inline constexpr std::uint32_t kWindowsServer2008 = 0x40;
inline constexpr std::uint32_t kWindowsServer2008R2 = 0x80;
inline constexpr std::uint32_t kWindows7 = 0x100;
inline constexpr std::uint32_t kWindowsServer2012 = 0x200;
inline constexpr std::uint32_t kWindows8 = 0x400;
inline constexpr std::uint32_t kWindowsServer2012R2 = 0x800;
inline constexpr std::uint32_t kWindows81 = 0x1000;
inline constexpr std::uint32_t kWindowsServer2016 = 0x2000;
inline constexpr std::uint32_t kWindows10 = 0x4000;
inline constexpr std::uint32_t kWindows11 = 0x8000;
inline constexpr std::uint32_t kLinux = 0x10000;
inline constexpr std::uint32_t kArchitecture32 = 0x100000;
inline constexpr std::uint32_t kArchitecture64 = 0x200000;

// Processor architecture codes of the Windows system information.
inline constexpr unsigned kArchitectureIa64 = 6;
inline constexpr unsigned kArchitectureAmd64 = 9;
inline constexpr unsigned kWorkstation = 1;
inline constexpr unsigned kSuiteHomeServer = 0x8000;

// Version numbers of the kernel library's own version resource; they are trusted over the
// reported version, which may be shimmed for programs without a manifest.
struct KernelVersion {
  unsigned major = 0;
  unsigned minor = 0;
  unsigned build = 0;
};

// What a Windows system reports about itself.
struct WindowsVersion {
  unsigned major = 0;
  unsigned minor = 0;
  unsigned build = 0;
  unsigned productType = 0;  // kWorkstation, or a server type
  unsigned suiteMask = 0;
  unsigned architecture = 0;  // 0 x86, kArchitectureIa64, kArchitectureAmd64, ...
  int serverR2Metric = 0;     // non-zero on Server 2003 R2
  std::optional<KernelVersion> kernel;
};

// The flags of a Windows system; 0 (no architecture bit either) for an unknown version.
std::uint32_t windowsFlags(const WindowsVersion& version);

// The flags of the running system.
std::uint32_t osFlags();

// Name of the lowest system bit set, "UnknowOS" when none is.
std::string osName(std::uint32_t flags);

}  // namespace qm::osinfo
