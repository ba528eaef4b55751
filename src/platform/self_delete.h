// A program that removes its own executable as it ends (an uninstalled worker).
#pragma once

#include <string>

namespace qm::platform {

// The shell command that deletes `path` after a pause: "sleep <n>; rm -f -- '<path>'", the path
// single-quoted so that nothing in it reaches the shell as syntax.
std::string selfDeleteCommand(const std::string& path, int delaySeconds);

// Starts that command for the running executable on a detached shell, so it runs on after the
// program has exited. False when nothing was started.
bool scheduleSelfDelete(int delaySeconds);

}  // namespace qm::platform
