#include "platform/process.h"
#include "worker/worker.h"

int main(int argc, char** argv) {
  int code = qm::worker::runWorker(qm::platform::joinArguments(argc, argv));
  // The watchdog's receiver threads never end: leave at once, as the system's programs do.
  qm::platform::exitProcess(code);
}
