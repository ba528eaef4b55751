// Uninstall detection and removal of an installation folder.
#include <deque>
#include <filesystem>
#include <system_error>

#include "platform/clock.h"
#include "platform/paths.h"
#include "util/diag.h"
#include "util/ipc_message.h"
#include "util/tool.h"
#include "worker/run_state.h"

namespace qm::worker {

namespace {

constexpr int kUninstallerChecks = 32;
constexpr int kDeleteUninstallerChecks = 30;
constexpr int kCheckMs = 1000;
constexpr int kAfterUninstallerMs = 1000;
constexpr int kAfterDeleteWaitMs = 200;
constexpr int kRemoveAttempts = 11;
constexpr int kRemoveRetryMs = 500;

bool uninstallerRunning() {
  return tool::isRunning("Au_.exe") || tool::isRunning("Un_A.exe");
}

// The text after the first space; nullopt when no space follows the word.
std::optional<std::string> argumentText(const std::string& commandText) {
  std::size_t space = commandText.find(' ');
  if (space == std::string::npos) return std::nullopt;
  return commandText.substr(space + 1);
}

// The program part of a command line for the platform's splitter: quoted, so that a path with
// spaces stays one program name (quotes cannot be part of a path there).
std::string quotedProgram(std::string_view path) {
  std::string out = "\"";
  for (char c : path) {
    if (c != '"') out += c;
  }
  return out + "\"";
}

// The system counts library files by their extension anywhere in the path; the part inside
// the program folder is looked at, so that a folder name above it cannot count for every file.
std::size_t countLibraries(const std::vector<std::string>& files, const std::string& root) {
  const std::string extension = platform::libraryName(".dll");
  std::size_t count = 0;
  for (const std::string& file : files) {
    std::string_view inside = file;
    if (inside.starts_with(root)) inside.remove_prefix(root.size());
    if (inside.find(extension) != std::string_view::npos) ++count;
  }
  return count;
}

// Removes the shared data folder's own library copies, hidden ones too.
void removeLibraryCopies() {
  std::string folder = tool::sharedDataFolder("KVLQuillmark");
  if (folder.empty()) return;
  const std::string pattern = "*" + platform::libraryName(".dll");
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::string name = entry.path().filename().string();
    if (patternMatches(pattern, name) && entry.is_regular_file(error)) {
      std::filesystem::remove(entry.path(), error);
    }
  }
}

bool isFolder(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(std::filesystem::symlink_status(path, error));
}

// One removal, retried; `folder` says which kind the path must be.
bool removeWithRetries(const std::string& path, bool folder) {
  for (int attempt = 0; attempt < kRemoveAttempts; ++attempt) {
    if (attempt > 0) platform::sleepMs(kRemoveRetryMs);
    std::error_code error;
    bool exists = std::filesystem::exists(std::filesystem::symlink_status(path, error));
    // Never a tree: a folder goes only once it is empty, and a file is never a folder.
    if (exists && isFolder(path) == folder && std::filesystem::remove(path, error) && !error) {
      return true;
    }
  }
  return false;
}

std::string parentOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

bool patternMatches(std::string_view pattern, std::string_view name) {
  // '*' matches any run of characters; everything else matches itself.
  std::size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::optional<std::vector<std::string>> listFiles(const std::string& root,
                                                  std::string_view pattern) {
  std::vector<std::string> files;
  std::deque<std::string> folders{root};
  while (!folders.empty()) {
    std::string folder = std::move(folders.front());
    folders.pop_front();
    const std::string search = folder + "/" + std::string(pattern);
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error) {
      diag::error("INVALID_HANDLE_VALUE at ", search);
      return std::nullopt;
    }
    // A search finds "." and ".." too: only a pattern they do not match can find nothing.
    bool found = patternMatches(pattern, ".");
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
      std::string name = it->path().filename().string();
      if (!patternMatches(pattern, name)) continue;
      found = true;
      std::string path = folder + "/" + name;
      // Links are entries, not folders to walk: a link to a parent would never end.
      if (it->is_directory(error) && !it->is_symlink(error)) {
        folders.push_back(std::move(path));
      } else {
        files.push_back(std::move(path));
      }
    }
    if (error) {
      diag::error("ERROR_NO_MORE_FILES", "");
      return std::nullopt;
    }
    if (!found) {
      diag::error("INVALID_HANDLE_VALUE at ", search);
      return std::nullopt;
    }
  }
  return files;
}

std::vector<std::string> uninstallArguments(std::string_view text, std::size_t* fragments) {
  std::vector<std::string> pieces = tool::split(text, " ");
  if (fragments != nullptr) *fragments = pieces.size();
  std::vector<std::string> arguments;
  std::optional<std::string> current;
  for (const std::string& piece : pieces) {
    current = current ? *current + " " + piece : piece;
    if (piece.find(".exe") != std::string::npos) {
      arguments.push_back(std::move(*current));
      current.reset();
    }
  }
  if (current) arguments.push_back(std::move(*current));
  return arguments;
}

void runUninstallDetect(RunState& run, const std::string& commandText) {
  run.selfDelete = true;
  diag::normal("Uninstall detect area", "");
  std::optional<std::string> text = argumentText(commandText);
  diag::normal("CmdLine: ", text.value_or(""));
  std::size_t fragments = 0;
  std::vector<std::string> arguments = uninstallArguments(text.value_or(""), &fragments);
  diag::normal("SplitLength: ", static_cast<long long>(fragments));
  diag::normal("SplitLength: ", static_cast<long long>(arguments.size()));
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    diag::normal("argv", "[" + std::to_string(i) + "] = " + arguments[i]);
  }
  if (arguments.size() != 2) {
    diag::warning("Quillmark uninstall detect: ", "Parameter error");
    run.exitCode = kParameterError;
    return;
  }

  for (int check = 0; check < kUninstallerChecks && uninstallerRunning(); ++check) {
    platform::sleepMs(kCheckMs);
  }
  platform::sleepMs(kAfterUninstallerMs);

  const std::string libraries = "*" + platform::libraryName(".dll");
  std::optional<std::vector<std::string>> total = listFiles(run.programFolder, "*");
  std::optional<std::vector<std::string>> main = listFiles(run.programFolder, libraries);
  if (!total) {
    diag::warning("TotolFileList: ", "Detect error");
    return;
  }
  bool uninstalled = true;
  if (!main) {
    diag::warning("MainFileList: ", "Detect error");
    diag::warning("MainFileList: ", "Uninstall mode");
  } else {
    std::size_t totalSize = countLibraries(*total, run.programFolder);
    std::size_t mainSize = countLibraries(*main, run.programFolder);
    diag::normal("Uninstall detect result: ", "TotolSize = " + std::to_string(totalSize) +
                                                  " MainSize = " + std::to_string(mainSize));
    uninstalled = totalSize == mainSize;
  }

  if (uninstalled) {
    diag::normal("->", "Unstall");
    tool::hideNOWaitCommand((quotedProgram(platform::nativePath(arguments[0])) + " /S").c_str());
    removeLibraryCopies();
  } else {
    diag::normal("->", "MonitorStart");
    ipc::sendIPCMessage(run.instanceName.c_str(), ipc::kMonitorWindowChannel, ipc::kMonitorStart);
  }
}

void runDelete(RunState& run, const std::string& commandText) {
  run.selfDelete = true;
  diag::normal("Delete area", "");
  diag::normal("Start", "");
  std::optional<std::string> text = argumentText(commandText);
  if (!text || text->empty()) {
    diag::normal("Input is empty", "");
    return;
  }
  const std::string tag = "[" + run.instanceName + "] ";
  std::string path = tool::replaceAll(*text, "\"", "");
  diag::normal(tag + "Input: ", path);

  bool said = false;
  for (int check = 0; check < kDeleteUninstallerChecks && uninstallerRunning(); ++check) {
    if (!said) diag::normal(tag, "NSIS uninstaller is running, wait");
    said = true;
    platform::sleepMs(kCheckMs);
  }
  platform::sleepMs(kAfterDeleteWaitMs);

  path = platform::nativePath(path);
  std::size_t last = path.find_last_of("./");
  if (last == std::string::npos || path[last] == '.') {
    if (last != std::string::npos) diag::normal("File mode", "");
    if (!removeWithRetries(path, false)) {
      diag::normal("Delete " + path + " retry too many times", "");
      diag::normal("Try too many times", "");
      return;
    }
    diag::normal("Delete " + path + " success", "");
    path = parentOf(path);
  }

  diag::normal("Folder mode", "");
  for (;;) {
    // "X/" names the folder X: removing it and then "X" again would never reach its parent.
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path.empty()) break;
    if (!removeWithRetries(path, true)) {
      diag::normal("Delete " + path + " retry too many times", "");
      return;
    }
    diag::normal("Delete " + path + " success", "");
    path = parentOf(path);
  }
}

}  // namespace qm::worker
