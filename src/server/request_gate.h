// The request gate: the callbacks every HTTPS listener runs on its own thread. It lets through
// only a private-network pre-flight (OPTIONS) and a form POST with the field "Parameter" from
// this machine over TLS 1.2 or newer, hands the decoded request to the request processor and
// sends the answer back with a fixed set of headers. Everything else closes the connection.
#pragma once

#include <microhttpd.h>

#include <cstdarg>
#include <cstdint>
#include <mutex>

namespace qm::server {

// The one lock of the request path: the completion step of a POST (and through it the request
// processor, the session table, the channel values and the adapters) and the final release run
// under it, one at a time across all listeners.
std::mutex& requestPathLock();

// Id of the server process, handed to the request processor.
void setServerProcessId(std::uint32_t id);

// Once set (under the request path lock, by the final release), POSTs are no longer processed:
// the process is about to end and must not open sessions it would not release.
void closeRequestPath();
bool requestPathClosed();

// Callbacks given to MHD_start_daemon; their context pointers are null.
MHD_Result accessHandler(void* context, MHD_Connection* connection, const char* url,
                         const char* method, const char* version, const char* uploadData,
                         size_t* uploadDataSize, void** connectionContext);
void requestCompleted(void* context, MHD_Connection* connection, void** connectionContext,
                      MHD_RequestTerminationCode reason);
// Only the IPv4 listeners get it: the peer must be 127.0.0.1.
MHD_Result acceptPolicy(void* context, const struct sockaddr* address, socklen_t length);
// The library's own error messages, written at debug level while the log takes them.
void mhdLogger(void* context, const char* format, va_list args);

}  // namespace qm::server
