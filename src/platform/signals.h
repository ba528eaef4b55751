// Stop requests from the service manager or the terminal (SIGTERM, SIGINT). The handlers only
// note the request; the program acts on it from an ordinary thread.
#pragma once

namespace qm::platform {

// Installs the handlers; false when they cannot be installed. Safe to call more than once.
bool installStopSignals();

// Waits up to timeoutMs (< 0: without limit) for a stop request not yet taken; true when one
// was taken. Several requests that arrive together count as one.
bool waitStopSignal(int timeoutMs);

// Makes the next waitStopSignal return true, as if a stop signal had arrived.
void raiseStopRequest();

}  // namespace qm::platform
