#include <cstdio>
#include <string>

#include "platform/process.h"
#include "server/server.h"

int main(int argc, char** argv) {
  std::string commandLine = qm::platform::joinArguments(argc, argv);
  int code = qm::server::runServer(commandLine.c_str());
  // The IPC receiver's threads never end: leave without running static destructors under them.
  std::fflush(nullptr);
  qm::platform::exitProcess(code);
}
