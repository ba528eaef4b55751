#include <string>

#include "platform/process.h"
#include "server/server.h"

int main(int argc, char** argv) {
  std::string commandLine = qm::platform::joinArguments(argc, argv);
  return qm::server::runServer(commandLine.c_str());
}
