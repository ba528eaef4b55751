// Shared harness of the server's integration tests and load programs: a private temporary root,
// the real KVLQuillmark started in it, and an HTTPS client over GnuTLS that trusts the system's
// own roots.
#pragma once

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/child_process.h"
#include "util/certificates.h"
#include "util/json_map.h"
#include "util/tool.h"

namespace qm::test {

inline constexpr std::array<int, 3> kPorts{56454, 56554, 56654};
inline constexpr char kPathId[] = "CBE8FF3EEF8E47CAA718006350511855";
inline constexpr char kPageOrigin[] = "https://app.example:8443";
inline constexpr char kServerVersion[] = "1.0.23.0510";
inline constexpr char kAdapterVersion[] = "1,6,5,12020";

inline std::string binDir() {
  const char* fromEnvironment = std::getenv("QUILLMARK_BIN_DIR");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
#ifdef QUILLMARK_BIN_DIR
  return QUILLMARK_BIN_DIR;
#else
  return "build/bin";
#endif
}

inline void sleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- request and answer texts ----

inline std::string jsonEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// {"k":"v",...} with the pairs in the given order.
inline std::string jsonObject(std::initializer_list<std::pair<std::string, std::string>> pairs) {
  std::string out = "{";
  for (const auto& [key, value] : pairs) {
    if (out.size() > 1) out += ",";
    out += "\"" + jsonEscape(key) + "\":\"" + jsonEscape(value) + "\"";
  }
  return out + "}";
}

// The Base64 text with the three characters a form must escape written as a browser does.
inline std::string formEscape(std::string_view base64) {
  std::string out;
  for (char c : base64) {
    if (c == '+') {
      out += "%2B";
    } else if (c == '/') {
      out += "%2F";
    } else if (c == '=') {
      out += "%3D";
    } else {
      out += c;
    }
  }
  return out;
}

// The form body a page posts: the field "Parameter" holding the Base64 text of the JSON.
inline std::string formBody(std::string_view json) {
  return "Parameter=" + formEscape(tool::base64Encode(json));
}

// The answer's keys with their values Base64-decoded; nullopt when the body is not an answer.
inline std::optional<std::map<std::string, std::string>> decodeAnswer(const std::string& body) {
  std::map<std::string, std::string> answer;
  if (body == "{}") return answer;
  json::JsonMap map = json::JsonMap::parse(body.c_str());
  if (!map) return std::nullopt;
  for (int i = 0; i < map.count(); ++i) {
    const QuillmarkJsonEntry& entry = map.get()->entries[i];
    answer[entry.key] = entry.value != nullptr ? tool::base64Decode(entry.value) : "";
  }
  return answer;
}

// ---- private root ----

// A private temporary root for one program set: shared data, temp, runtime, home and dump
// folders, and the log settings (level 5 unless logLevel is 0, which leaves logging off).
class TempRoot {
 public:
  explicit TempRoot(int logLevel = 5) {
    std::random_device random;
    std::ostringstream name;
    name << "quillmark-it-" << std::hex << random() << random();
    root_ = std::filesystem::temp_directory_path() / name.str();
    for (const char* sub : {"appdata", "tmp", "run", "home", "dumps", "log"}) {
      std::filesystem::create_directories(root_ / sub);
    }
    if (logLevel > 0) {
      std::ofstream ini(root_ / "tmp" / "KVLQuillmark.ini");
      ini << "[KVLQuillmark]\nLog File=" << (root_ / "log" / "ZDLog.log").string()
          << "\nLog Level=" << logLevel << "\n";
    }
  }
  ~TempRoot() {
    std::error_code ignored;
    if (std::getenv("QUILLMARK_KEEP_TEST_ROOT") == nullptr) {
      std::filesystem::remove_all(root_, ignored);
    }
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  std::string path() const { return root_.string(); }
  std::string sharedData() const { return (root_ / "appdata" / "KVLQuillmark").string(); }
  std::string sessionFolder(int slot) const {
    return sharedData() + "/Tempfile/Session_" + std::to_string(slot);
  }
  std::string scriptFile() const { return (root_ / "script.txt").string(); }
  std::string recordFile() const { return (root_ / "record.txt").string(); }

  std::vector<std::string> environment() const {
    return {
        "QUILLMARK_COMMON_APPDATA=" + (root_ / "appdata").string(),
        "TMPDIR=" + (root_ / "tmp").string(),
        "XDG_RUNTIME_DIR=" + (root_ / "run").string(),
        "HOME=" + (root_ / "home").string(),
        "XDG_DESKTOP_DIR=" + (root_ / "home").string(),
        "QUILLMARK_DUMP_DIR=" + (root_ / "dumps").string(),
        "QUILLMARK_COMPONENT_DIR=" + binDir() + "/../tests/components",
        "QUILLMARK_SCRIPTED_COMPONENT_SCRIPT=" + scriptFile(),
        "QUILLMARK_SCRIPTED_COMPONENT_RECORD=" + recordFile(),
    };
  }

  void writeScript(std::string_view script) const { std::ofstream(scriptFile()) << script; }

  // Every log line written in this root so far, in file order.
  std::vector<std::string> logLines() const {
    std::vector<std::filesystem::path> files;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(root_ / "log", ignored)) {
      files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> lines;
    for (const auto& file : files) {
      std::ifstream in(file);
      for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
      }
    }
    return lines;
  }

 private:
  std::filesystem::path root_;
};

// ---- the server process ----

class ServerProcess {
 public:
  explicit ServerProcess(const TempRoot& root, std::vector<std::string> arguments = {"0"})
      : root_(root) {
    process_ =
        platform::ChildProcess::start(binDir() + "/KVLQuillmark", arguments, root.environment(),
                                      root.path() + "/server-output.txt");
  }
  ~ServerProcess() {
    if (process_ && process_->running()) stop();
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool started() const { return process_.has_value(); }
  int id() const { return process_ ? process_->id() : -1; }

  // This process's own log lines (the writer tags each line with the process id).
  std::vector<std::string> logLines() const {
    char tag[16];
    std::snprintf(tag, sizeof tag, "[%05d-", id() % 100000);
    std::vector<std::string> mine;
    for (std::string& line : root_.logLines()) {
      if (line.find(tag) != std::string::npos) mine.push_back(std::move(line));
    }
    return mine;
  }
  std::size_t logCount(std::string_view text) const {
    std::size_t count = 0;
    for (const std::string& line : logLines()) count += line.find(text) != std::string::npos;
    return count;
  }
  bool logHas(std::string_view text) const { return logCount(text) > 0; }
  std::string logText() const {
    std::string text;
    for (const std::string& line : logLines()) text += line + "\n";
    return text;
  }

  // Waits for the start-up verdict in the log: true once the server serves.
  bool waitServing(int timeoutMs = 30000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      if (logHas("KVLQuillmark initialization: Success")) return true;
      if (logHas("KVLQuillmark initialization: Fail") || !running()) return false;
      sleepMs(20);
    }
    return false;
  }

  // Waits until the log holds the text `count` times (lines may trail the event a little).
  bool waitLog(std::string_view text, std::size_t count = 1, int timeoutMs = 10000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      if (logCount(text) >= count) return true;
      sleepMs(20);
    }
    return logCount(text) >= count;
  }

  bool running() { return process_ && process_->running(); }
  std::optional<int> waitExit(int timeoutMs) {
    return process_ ? process_->wait(timeoutMs) : std::nullopt;
  }
  // SIGTERM, then the exit status.
  std::optional<int> stop(int timeoutMs = 30000) {
    if (!process_) return std::nullopt;
    process_->requestStop();
    return process_->wait(timeoutMs);
  }

 private:
  const TempRoot& root_;
  std::optional<platform::ChildProcess> process_;
};

// ---- the HTTPS client ----

struct HttpRequest {
  std::string method = "POST";
  int port = kPorts[0];
  bool ipv6 = false;                      // connect to ::1 instead of 127.0.0.1
  std::string target = "/";               // path and query
  std::string body;                       // POST body, sent as is
  std::vector<std::string> headers;       // "Name: value"; "Name:" drops one curl would send
  std::string localAddress;               // bind the client's end to this address
  std::optional<std::size_t> abortAfter;  // close the connection after this many body bytes
  long tlsVersion = 0;                    // CURLOPT_SSLVERSION; 0: library default
};

struct HttpResponse {
  CURLcode code = CURLE_OK;
  long status = 0;                                           // 0: no response
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  long newConnections = 0;

  std::optional<std::string> header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
      if (key == tool::toLower(name)) return value;
    }
    return std::nullopt;
  }
  std::optional<std::map<std::string, std::string>> answer() const { return decodeAnswer(body); }
  // The decoded "result", or "<none>".
  std::string result() const {
    auto decoded = answer();
    if (!decoded || !decoded->contains("result")) return "<none>";
    return decoded->at("result");
  }
  std::string value(const std::string& key) const {
    auto decoded = answer();
    if (!decoded || !decoded->contains(key)) return "<none>";
    return decoded->at(key);
  }
};

inline void initialiseCurl() {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)initialised;
}

// A file holding the system's own roots, for clients that trust them.
class RootsFile {
 public:
  RootsFile() {
    std::random_device random;
    path_ = (std::filesystem::temp_directory_path() /
             ("quillmark-roots-" + std::to_string(random()) + ".pem"))
                .string();
    std::ofstream(path_) << server::kEccRootCertificate << server::kRsaRootCertificate;
  }
  ~RootsFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  RootsFile(const RootsFile&) = delete;
  RootsFile& operator=(const RootsFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The state of one request on one curl handle.
class Transfer {
 public:
  Transfer(CURL* handle, const HttpRequest& request, const std::string& caFile, bool fresh)
      : handle_(handle), request_(request) {
    curl_easy_reset(handle);
    std::string port = std::to_string(request.port);
    url_ = "https://localhost:" + port + request.target;
    resolve_ = curl_slist_append(resolve_, ("-localhost:" + port).c_str());
    resolve_ = curl_slist_append(
        resolve_, ("localhost:" + port + ":" + (request.ipv6 ? "[::1]" : "127.0.0.1")).c_str());
    for (const std::string& header : request.headers) {
      headers_ = curl_slist_append(headers_, header.c_str());
    }
    curl_easy_setopt(handle, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(handle, CURLOPT_RESOLVE, resolve_);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 60000L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response_);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &response_);
    if (request.tlsVersion != 0) curl_easy_setopt(handle, CURLOPT_SSLVERSION, request.tlsVersion);
    if (!request.localAddress.empty()) {
      interface_ = "host!" + request.localAddress;
      curl_easy_setopt(handle, CURLOPT_INTERFACE, interface_.c_str());
    }
    if (request.method == "POST") {
      curl_easy_setopt(handle, CURLOPT_POST, 1L);
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.body.size()));
      curl_easy_setopt(handle, CURLOPT_READFUNCTION, &Transfer::onUpload);
      curl_easy_setopt(handle, CURLOPT_READDATA, this);
    } else if (request.method != "GET") {
      curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
  }
  ~Transfer() {
    curl_slist_free_all(headers_);
    curl_slist_free_all(resolve_);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  HttpResponse finish(CURLcode code) {
    response_.code = code;
    curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &response_.status);
    curl_easy_getinfo(handle_, CURLINFO_NUM_CONNECTS, &response_.newConnections);
    return std::move(response_);
  }

 private:
  static size_t onBody(char* data, size_t size, size_t count, void* context) {
    static_cast<HttpResponse*>(context)->body.append(data, size * count);
    return size * count;
  }
  static size_t onHeader(char* data, size_t size, size_t count, void* context) {
    auto* response = static_cast<HttpResponse*>(context);
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.starts_with("HTTP/")) {
      response->headers.clear();  // an interim response (100 Continue) came first
    } else if (auto colon = line.find(':'); colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      response->headers.emplace_back(tool::toLower(line.substr(0, colon)), value);
    }
    return size * count;
  }
  static size_t onUpload(char* buffer, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const HttpRequest& request = transfer->request_;
    std::size_t limit = request.body.size();
    if (request.abortAfter) {
      if (transfer->sent_ >= *request.abortAfter) return CURL_READFUNC_ABORT;
      limit = std::min(limit, *request.abortAfter);
    }
    std::size_t length = std::min(size * count, limit - transfer->sent_);
    std::copy_n(request.body.data() + transfer->sent_, length, buffer);
    transfer->sent_ += length;
    return length;
  }

  CURL* handle_;
  const HttpRequest& request_;
  std::string url_;
  std::string interface_;
  curl_slist* resolve_ = nullptr;
  curl_slist* headers_ = nullptr;
  std::size_t sent_ = 0;
  HttpResponse response_;
};

// One client connection at a time, kept alive between requests as a browser does.
class HttpsClient {
 public:
  HttpsClient() : handle_((initialiseCurl(), curl_easy_init())) {}
  ~HttpsClient() { curl_easy_cleanup(handle_); }
  HttpsClient(const HttpsClient&) = delete;
  HttpsClient& operator=(const HttpsClient&) = delete;

  const std::string& caFile() const { return roots_.path(); }

  HttpResponse send(const HttpRequest& request) {
    // The resolved address and the local address are not part of curl's reuse test.
    std::string route = (request.ipv6 ? "6/" : "4/") + request.localAddress;
    bool fresh = route != lastRoute_;
    lastRoute_ = route;
    Transfer transfer(handle_, request, roots_.path(), fresh);
    HttpResponse response = transfer.finish(curl_easy_perform(handle_));
    if (response.code != CURLE_OK) lastRoute_.clear();
    return response;
  }

  // A POST of the JSON as the form a page sends, from the page origin.
  HttpResponse post(std::string_view json, int port = kPorts[0],
                    std::vector<std::string> headers = {std::string("Origin: ") + kPageOrigin}) {
    HttpRequest request;
    request.port = port;
    request.body = formBody(json);
    request.headers = std::move(headers);
    return send(request);
  }

  // Opens a session on the system's adapter; the answer holds "SessionID".
  HttpResponse open(int port = kPorts[0], std::string_view function = "QuillmarkEcho") {
    return post(jsonObject({{"FunctionName", std::string(function)},
                            {"PathID", kPathId},
                            {"minServerVersion", kServerVersion}}),
                port);
  }

 private:
  RootsFile roots_;
  CURL* handle_;
  std::string lastRoute_;
};

// Waits until the listener answers (for servers that run without a log).
inline bool waitAnswering(HttpsClient& client, int port = kPorts[0], int timeoutMs = 30000) {
  HttpRequest preflight;
  preflight.method = "OPTIONS";
  preflight.port = port;
  preflight.headers = {"Access-Control-Request-Method: POST",
                       "Access-Control-Request-Private-Network: true"};
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    if (client.send(preflight).status != 0) return true;
    sleepMs(50);
  }
  return false;
}

// Sends all requests at once, each over a connection of its own; answers in request order.
inline std::vector<HttpResponse> sendAtOnce(const std::vector<HttpRequest>& requests) {
  initialiseCurl();
  RootsFile roots;
  CURLM* multi = curl_multi_init();
  std::vector<CURL*> handles;
  std::vector<std::unique_ptr<Transfer>> transfers;
  for (const HttpRequest& request : requests) {
    CURL* handle = curl_easy_init();
    transfers.push_back(std::make_unique<Transfer>(handle, request, roots.path(), true));
    curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);
    curl_multi_add_handle(multi, handle);
    handles.push_back(handle);
  }
  std::vector<CURLcode> codes(requests.size(), CURLE_OK);
  int running = 1;
  while (running > 0) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      auto found = std::find(handles.begin(), handles.end(), message->easy_handle);
      if (found != handles.end()) codes[found - handles.begin()] = message->data.result;
    }
  }
  std::vector<HttpResponse> responses;
  for (std::size_t i = 0; i < handles.size(); ++i) {
    responses.push_back(transfers[i]->finish(codes[i]));
    curl_multi_remove_handle(multi, handles[i]);
  }
  transfers.clear();
  for (CURL* handle : handles) curl_easy_cleanup(handle);
  curl_multi_cleanup(multi);
  return responses;
}

// gnutls-cli's handshake with the priority text; its exit status (0: the handshake succeeded).
inline int gnutlsHandshake(const std::string& priority, int port, const std::string& caFile,
                           const std::string& outputFile) {
  auto process = platform::ChildProcess::start(
      "/usr/bin/gnutls-cli",
      {"--priority", priority, "--x509cafile", caFile, "-p", std::to_string(port), "localhost"}, {},
      outputFile);
  if (!process) return -1;
  std::optional<int> status = process->wait(30000);
  return status ? *status : -2;
}

}  // namespace qm::test
