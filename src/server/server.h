// The life of the server program: start-up, serving until the final action has run, shutdown.
#pragma once

namespace qm::server {

// Runs the server; `commandLine` is the keeper's start count ("0" on a first start). Returns 0
// on every path.
int runServer(const char* commandLine);

// The final action: releases every session, deletes the adapter copies and ends the main loop.
// Safe from any thread; waits for a request in progress to finish first.
void finalRelease();

}  // namespace qm::server
