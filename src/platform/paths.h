// Well-known folders and names of this platform. Every environment override is read here and
// nowhere else, so a test can move a whole program set into a private temporary root.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qm::platform {

// Folder of the running executable, without trailing separator; "" when unknown.
std::string programFolder();

// Folder of the module (program or shared library) that contains `addressInModule`, without
// trailing separator; "" when unknown.
std::string moduleFolder(const void* addressInModule);

// The "Windows folder" of the system: /etc.
std::string windowsFolder();

// The "system folder": folder of the C library.
std::string systemFolder();

// Machine-wide application data: $QUILLMARK_COMMON_APPDATA, else /var/lib. No trailing separator.
std::string commonAppDataFolder();

// User temp folder, always ending with a separator: $TMPDIR, else /tmp, plus "/".
std::string userTempFolder();

// Desktop: $XDG_DESKTOP_DIR, else $HOME/Desktop; "" when there is no home. No trailing separator.
std::string desktopFolder();

// "%HOMEDRIVE%%HOMEPATH%\": $HOME plus "/".
std::string homeFolder();

// "%HOMEDRIVE%\tmp\": "/tmp/".
std::string homeDriveTmpFolder();

// Default log file "C:\ZDLog.log" of this platform.
std::string defaultLogFile();

// Crash dump folder "C:\tmp": $QUILLMARK_DUMP_DIR, else /tmp.
std::string dumpFolder();

// Per-user runtime folder ($XDG_RUNTIME_DIR/KVLQuillmark, else /tmp/KVLQuillmark-<uid>), created
// with mode 0700 when missing. Named locks, events and channels live here.
std::string runtimeFolder();

// Folder of crypto components: $QUILLMARK_COMPONENT_DIR, else <program folder>/components.
std::string componentFolder();

// Name of the effective user; nullopt when it cannot be found.
std::optional<std::string> userName();

// Turns a path written with Windows separators into this platform's form ("\" to "/").
std::string nativePath(std::string_view path);

// Executable name of a Windows image name: "X.exe" -> "X" (case-insensitive suffix).
std::string executableName(std::string_view imageName);

// Library file name of a Windows library name: "X.dll" -> "X.so".
std::string libraryName(std::string_view dllName);

}  // namespace qm::platform
