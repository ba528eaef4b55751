#include "platform/paths.h"

#include <dlfcn.h>
#include <link.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/posix/internal.h"

namespace qm::platform {

using posix::envValue;

namespace {

std::string folderOf(std::string_view path) {
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string withoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool endsWithNoCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  auto tail = text.substr(text.size() - suffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    char a = tail[i], b = suffix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

std::optional<passwd> passwdEntry(std::vector<char>& buffer) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  buffer.resize(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) return std::nullopt;
  return entry;
}

std::string homeDirectory() {
  if (const char* home = envValue("HOME")) return withoutTrailingSeparators(home);
  std::vector<char> buffer;
  auto entry = passwdEntry(buffer);
  if (entry && entry->pw_dir != nullptr) return withoutTrailingSeparators(entry->pw_dir);
  return {};
}

}  // namespace

std::string programFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return folderOf(exe.string());
}

std::string moduleFolder(const void* addressInModule) {
  Dl_info info{};
  link_map* map = nullptr;
  if (addressInModule == nullptr ||
      ::dladdr1(addressInModule, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) {
    return {};
  }
  // The main program has an empty name in the loader's list.
  if (map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0') return programFolder();
  std::string file = map->l_name;
  if (file.front() != '/') {
    char resolved[PATH_MAX];
    if (::realpath(file.c_str(), resolved) == nullptr) return {};
    file = resolved;
  }
  return folderOf(file);
}

std::string windowsFolder() {
  return "/etc";
}

std::string systemFolder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(&::fclose), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  return folderOf(info.dli_fname);
}

std::string commonAppDataFolder() {
  if (const char* dir = envValue("QUILLMARK_COMMON_APPDATA")) return withoutTrailingSeparators(dir);
  return "/var/lib";
}

std::string userTempFolder() {
  std::string dir = envValue("TMPDIR") ? envValue("TMPDIR") : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string desktopFolder() {
  if (const char* dir = envValue("XDG_DESKTOP_DIR")) return withoutTrailingSeparators(dir);
  // Without a home there is no desktop, rather than one at the root.
  std::string home = homeDirectory();
  return home.empty() ? std::string() : home + "/Desktop";
}

std::string homeFolder() {
  std::string home = homeDirectory();
  if (home.empty() || home.back() != '/') home += '/';
  return home;
}

std::string homeDriveTmpFolder() {
  return "/tmp/";
}

std::string defaultLogFile() {
  return "/tmp/ZDLog.log";
}

std::string dumpFolder() {
  if (const char* dir = envValue("QUILLMARK_DUMP_DIR")) return withoutTrailingSeparators(dir);
  return "/tmp";
}

std::string runtimeFolder() {
  std::string folder;
  if (const char* base = envValue("XDG_RUNTIME_DIR")) {
    std::error_code ec;
    std::filesystem::create_directories(base, ec);
    folder = withoutTrailingSeparators(base) + "/KVLQuillmark";
  } else {
    folder = "/tmp/KVLQuillmark-" + std::to_string(::geteuid());
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  // Locks and channels live here: refuse a folder (or a planted link) owned by someone else.
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return {};
  }
  if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) return {};
  return folder;
}

std::string componentFolder() {
  if (const char* dir = envValue("QUILLMARK_COMPONENT_DIR")) return withoutTrailingSeparators(dir);
  return programFolder() + "/components";
}

std::optional<std::string> userName() {
  std::vector<char> buffer;
  auto entry = passwdEntry(buffer);
  if (!entry || entry->pw_name == nullptr) return std::nullopt;
  return std::string(entry->pw_name);
}

std::string nativePath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::string executableName(std::string_view imageName) {
  if (endsWithNoCase(imageName, ".exe")) imageName.remove_suffix(4);
  return std::string(imageName);
}

std::string libraryName(std::string_view dllName) {
  if (!endsWithNoCase(dllName, ".dll")) return std::string(dllName);
  dllName.remove_suffix(4);
  return std::string(dllName) + ".so";
}

}  // namespace qm::platform
