#include "server/request_gate.h"

#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/locks.h"
#include "platform/socket_address.h"
#include "server/debug_line.h"
#include "session/request_processor.h"
#include "util/diag.h"
#include "util/json_map.h"
#include "util/tool.h"
#include "util/zdlog.h"

namespace qm::server {
namespace {

constexpr int kKindPost = 1;
constexpr int kKindOther = 2;
constexpr std::size_t kPostBufferSize = 8192;
// Headers, cookies, POST data, query arguments and footers: the first match in arrival order.
constexpr MHD_ValueKind kEveryKind = static_cast<MHD_ValueKind>(31);
constexpr std::size_t kHostLength = 63;

constexpr int kResultNoProtocol = 61001;
constexpr int kResultNoOrigin = 61012;
constexpr int kResultNotLocal = 61904;

// One per connection; with keep-alive each request starts a new one.
struct RequestRecord {
  int kind = kKindOther;
  MHD_PostProcessor* postProcessor = nullptr;
  // The "Parameter" field of this connection's POST, so concurrent POSTs never mix their bodies.
  std::string parameter;
};

// What a reply is built from: the answer map (none: no response) and the current origin.
struct Reply {
  json::JsonMap answer;
  std::optional<std::string> origin;
};

std::atomic<std::uint32_t> serverProcessId{0};
bool pathClosed = false;  // guarded by requestPathLock()

// Request texts may carry PINs: overwrite them before their memory goes back.
void wipe(std::string& text) {
  volatile char* bytes = text.data();
  for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = '\0';
  text.clear();
}

void wipeBody(void* body) {
  auto* text = static_cast<std::string*>(body);
  wipe(*text);
  delete text;
}

struct WipedText {
  std::string text;
  ~WipedText() { wipe(text); }
};

std::optional<std::string> copyOf(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && tool::toLower(a) == tool::toLower(b);
}

json::JsonMap gateAnswer(int code) {
  json::JsonMap answer = json::JsonMap::create();
  if (answer) answer.setResult(code);
  return answer;
}

struct ProtocolName {
  int number;  // GnuTLS protocol number
  const char* name;
  bool accepted;
};

constexpr std::array<ProtocolName, 7> kProtocols{{
    {2, "TLS 1.0", false},
    {3, "TLS 1.1", false},
    {4, "TLS 1.2", true},
    {5, "TLS 1.3", true},
    {200, "DTLS 0.9", true},
    {201, "DTLS 1.0", true},
    {202, "DTLS 1.2", true},
}};

// False when the connection must be closed without a response; a readable protocol that is
// acceptable is logged and passes. An unreadable one gives the 61001 answer.
bool checkProtocol(MHD_Connection* connection, Reply& reply) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_PROTOCOL);
  if (info == nullptr) {
    diag::warning("", "Get connection information error");
    reply.answer = gateAnswer(kResultNoProtocol);
    return false;
  }
  for (const ProtocolName& protocol : kProtocols) {
    if (protocol.number != info->protocol) continue;
    if (protocol.accepted) {
      diag::normal("TLS version: ", protocol.name);
      return true;
    }
    diag::warning("Insecure connection: ", protocol.name);
    reply.answer = json::JsonMap();
    return false;
  }
  diag::warning("Insecure connection: ", "Unknow connection protocol");
  diag::warning("", static_cast<long long>(info->protocol));
  reply.answer = json::JsonMap();
  return false;
}

// The parameter text as the page encoded it: the three escapes a form may leave undone, then
// Base64.
std::string decodeParameter(std::string& parameter) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kEscapes{{
      {"%2B", "+"},
      {"%2F", "/"},
      {"%3D", "="},
  }};
  std::string text = std::move(parameter);
  for (const auto& [escape, character] : kEscapes) {
    std::string next = tool::replaceAll(text, escape, character);
    wipe(text);
    text = std::move(next);
  }
  std::string decoded = tool::base64Decode(text);
  wipe(text);
  return decoded;
}

// The page's origin: the Origin value, or scheme, "//" and host with port of the Referer.
// False (with the 61012 answer) when neither gives one.
bool findOrigin(MHD_Connection* connection, Reply& reply) {
  std::optional<std::string> referer =
      copyOf(MHD_lookup_connection_value(connection, kEveryKind, "referer"));
  diag::normal("Referer: ", referer ? referer->c_str() : nullptr);
  const char* origin = MHD_lookup_connection_value(connection, kEveryKind, "origin");
  reply.origin = std::string(origin != nullptr ? origin : "");
  diag::normal("Origin: ", *reply.origin);
  if (!reply.origin->empty() && *reply.origin != "null") return true;

  diag::warning("Empty origin: ", *reply.origin);
  diag::warning("Extract origin from referer: ", "Start");
  if (!referer || referer->empty() || *referer == "null") {
    diag::warning("Empty Referer: ", referer ? referer->c_str() : nullptr);
    diag::warning("Extract origin from referer: ", "Fail");
    reply.answer = gateAnswer(kResultNoOrigin);
    return false;
  }
  std::vector<std::string> fields = tool::split(*referer, "/");
  for (std::size_t i = 0; i < fields.size(); ++i) {
    diag::normal("UrlList[" + std::to_string(i) + "]: ", fields[i]);
  }
  if (fields.size() < 3) {
    diag::warning("", "UrlList error: ");
    diag::warning("Extract origin from referer: ", "Fail");
    reply.answer = gateAnswer(kResultNoOrigin);
    return false;
  }
  reply.origin = fields[0] + "/" + fields[1] + "/" + fields[2];
  diag::normal("New Origin: ", *reply.origin);
  return true;
}

// Steps up to the request processor; leaves in `reply` what is to be sent (no answer: close).
void answerPost(MHD_Connection* connection, RequestRecord& record, Reply& reply) {
  diag::normal("", "Release Mode");
  if (!checkProtocol(connection, reply)) return;

  const char* hostValue = MHD_lookup_connection_value(connection, kEveryKind, "host");
  std::string host = hostValue != nullptr ? hostValue : "";
  if (host.size() > kHostLength) host.resize(kHostLength);
  diag::normal("Host: ", host);
  if (!host.starts_with("localhost:") && !host.starts_with("127.0.0.1:")) {
    diag::warning("", "This connection is NOT from localhost");
    reply.answer = gateAnswer(kResultNotLocal);
    return;
  }

  WipedText requestText{decodeParameter(record.parameter)};
  if (requestText.text.empty()) {
    QM_ALLOCATION_FAILURE();
    return;
  }
  json::JsonMap request = json::JsonMap::parse(requestText.text.c_str());
  if (!request) {
    QM_ALLOCATION_FAILURE();
    return;
  }

  if (!findOrigin(connection, reply)) return;

  reply.answer = json::JsonMap();
  reply.answer = session::processRequest(request.get(), reply.origin->c_str(),
                                         serverProcessId.load(std::memory_order_relaxed));
}

MHD_Result sendReply(MHD_Connection* connection, bool preflight, Reply& reply) {
  MHD_Response* response = nullptr;
  if (preflight) {
    response = MHD_create_response_from_buffer(0, const_cast<char*>(""), MHD_RESPMEM_PERSISTENT);
    reply.origin = copyOf(MHD_lookup_connection_value(connection, kEveryKind, "origin"));
  } else {
    if (!reply.answer) return MHD_NO;
    std::optional<std::string> text = reply.answer.serialise();
    reply.answer = json::JsonMap();
    if (!text) {
      QM_ALLOCATION_FAILURE();
      return MHD_NO;
    }
    // The response keeps the only copy of the answer, which may hold decoded values, and wipes
    // it when the library lets go of it.
    auto* body = new (std::nothrow) std::string(*text);
    wipe(*text);
    if (body == nullptr) return MHD_NO;
    response = MHD_create_response_from_buffer_with_free_callback_cls(body->size(), body->data(),
                                                                      wipeBody, body);
    if (response == nullptr) wipeBody(body);
  }
  if (response == nullptr) return MHD_NO;

  const char* origin = reply.origin ? reply.origin->c_str() : nullptr;
  if (tool::startsWith("http", origin)) {
    MHD_add_response_header(response, "Access-Control-Allow-Origin", origin);
  }
  const char* connectionHeader =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Connection");
  if (connectionHeader != nullptr && equalsIgnoringCase(connectionHeader, "keep-alive")) {
    MHD_add_response_header(response, "Keep-Alive", "timeout=15, max=100");
  }
  unsigned int status = MHD_HTTP_OK;
  if (preflight) {
    reply.origin.reset();
    MHD_add_response_header(response, "Access-Control-Allow-Methods", "POST");
    MHD_add_response_header(response, "Access-Control-Allow-Private-Network", "true");
    MHD_add_response_header(response, "Access-Control-Max-Age", "30");
    status = MHD_HTTP_NO_CONTENT;
  } else {
    MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
  }
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result completePost(MHD_Connection* connection, RequestRecord& record) {
  std::lock_guard<std::mutex> hold(requestPathLock());
  MHD_Result result = MHD_NO;
  if (!pathClosed) {
    Reply reply;
    answerPost(connection, record, reply);
    result = sendReply(connection, false, reply);
  }
  wipe(record.parameter);
  debugLine(kRuleLine);
  return result;
}

MHD_Result postIterator(void* context, MHD_ValueKind /*kind*/, const char* key,
                        const char* /*fileName*/, const char* /*contentType*/,
                        const char* /*transferEncoding*/, const char* data, uint64_t /*offset*/,
                        size_t size) {
  if (key == nullptr) return MHD_YES;
  if (std::strcmp(key, "Parameter") == 0 && data != nullptr) {
    // A piece ends at its first NUL byte, and never reads past the size given.
    const void* nul = std::memchr(data, '\0', size);
    std::size_t length = nul != nullptr ? static_cast<const char*>(nul) - data : size;
    static_cast<RequestRecord*>(context)->parameter.append(data, length);
  }
  return MHD_YES;
}

MHD_Result firstCall(MHD_Connection* connection, const char* method, void** connectionContext) {
  auto* record = new (std::nothrow) RequestRecord;
  if (record == nullptr) return MHD_NO;
  if (std::strcmp(method, "POST") != 0) {
    record->kind = kKindOther;
    *connectionContext = record;
    return MHD_YES;
  }
  record->postProcessor =
      MHD_create_post_processor(connection, kPostBufferSize, postIterator, record);
  if (record->postProcessor == nullptr) {
    delete record;
    return MHD_NO;
  }
  record->kind = kKindPost;
  *connectionContext = record;
  return MHD_YES;
}

}  // namespace

std::mutex& requestPathLock() {
  // Never destroyed: a receiver thread may still run the final action while the process exits.
  static std::mutex* lock = new std::mutex;
  return *lock;
}

void setServerProcessId(std::uint32_t id) {
  serverProcessId.store(id);
}

void closeRequestPath() {
  pathClosed = true;
}

bool requestPathClosed() {
  return pathClosed;
}

MHD_Result accessHandler(void* /*context*/, MHD_Connection* connection, const char* /*url*/,
                         const char* method, const char* /*version*/, const char* uploadData,
                         size_t* uploadDataSize, void** connectionContext) {
  if (method == nullptr) method = "";
  if (*connectionContext == nullptr) return firstCall(connection, method, connectionContext);

  auto* record = static_cast<RequestRecord*>(*connectionContext);
  if (std::strcmp(method, "POST") == 0 && record->postProcessor != nullptr) {
    if (*uploadDataSize != 0) {
      MHD_post_process(record->postProcessor, uploadData, *uploadDataSize);
      *uploadDataSize = 0;
      return MHD_YES;
    }
    return completePost(connection, *record);
  }
  if (std::strcmp(method, "OPTIONS") == 0) {
    const char* requestMethod =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Access-Control-Request-Method");
    const char* privateNetwork = MHD_lookup_connection_value(
        connection, MHD_HEADER_KIND, "Access-Control-Request-Private-Network");
    if (requestMethod != nullptr && privateNetwork != nullptr &&
        std::strcmp(requestMethod, "POST") == 0 && std::strcmp(privateNetwork, "true") == 0) {
      Reply reply;
      return sendReply(connection, true, reply);
    }
  }
  diag::error("Request method error: ", method);
  return MHD_NO;
}

void requestCompleted(void* /*context*/, MHD_Connection* /*connection*/, void** connectionContext,
                      MHD_RequestTerminationCode /*reason*/) {
  if (connectionContext == nullptr || *connectionContext == nullptr) return;
  auto* record = static_cast<RequestRecord*>(*connectionContext);
  if (record->kind == kKindPost && record->postProcessor != nullptr) {
    MHD_destroy_post_processor(record->postProcessor);
  }
  wipe(record->parameter);
  delete record;
  *connectionContext = nullptr;
}

MHD_Result acceptPolicy(void* /*context*/, const struct sockaddr* address, socklen_t length) {
  std::optional<std::array<std::uint8_t, 4>> peer = platform::ipv4Bytes(address, length);
  if (peer && *peer == std::array<std::uint8_t, 4>{127, 0, 0, 1}) return MHD_YES;
  std::string text;
  if (peer) {
    text = std::to_string((*peer)[0]);
    for (std::size_t i = 1; i < peer->size(); ++i) text += "." + std::to_string((*peer)[i]);
  }
  diag::warning("Illegal connection ip: ", text);
  return MHD_NO;
}

void mhdLogger(void* /*context*/, const char* format, va_list args) {
  if (format == nullptr || zdlog::configuredLevel() < 5) return;
  platform::MachineLock* lock = zdlog::lock();
  if (lock != nullptr) lock->lock();
  zdlog::writeLineV(5, format, args);
  if (lock != nullptr) lock->unlock();
}

}  // namespace qm::server
