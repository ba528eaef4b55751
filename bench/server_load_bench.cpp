// Load program for the server: request latency against a bare TLS server (the floor), the cost
// of opening a session against a bare library load, throughput with six pages, and memory with
// 32 open sessions. Runs the real KVLQuillmark in a private root with logging off.
//
//   server_load_bench [requests]      (default 2000 requests per latency series)
#include <microhttpd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynlib.h"
#include "platform/signals.h"
#include "platform/socket_address.h"
#include "server/key_provider.h"
#include "server_harness.h"
#include "util/certificates.h"
#include "util/os_info.h"

namespace {

using namespace qm::test;
using Clock = std::chrono::steady_clock;

constexpr int kFloorPort = 56754;
constexpr long kTls13 = long{CURL_SSLVERSION_TLSv1_3} | long{CURL_SSLVERSION_MAX_TLSv1_3};
const char kPriorities[] = "NORMAL:!VERS-TLS-ALL:!SHA1:+VERS-TLS1.2:+VERS-TLS1.3";

struct Series {
  double median = 0;
  double p99 = 0;
};

Series summarise(std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  if (micros.empty()) return {};
  auto at = [&](double q) {
    return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))];
  };
  return {at(0.5), at(0.99)};
}

double microsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Times `count` sends of the same request after a short warm-up; nullopt on a failed answer.
std::optional<Series> timeRequests(HttpsClient& client, const HttpRequest& request, int count,
                                   const std::string& expectedResult) {
  std::vector<double> micros;
  for (int i = -100; i < count; ++i) {
    Clock::time_point start = Clock::now();
    HttpResponse response = client.send(request);
    double elapsed = microsSince(start);
    if (response.status != 200 || response.result() != expectedResult) {
      std::fprintf(stderr, "unexpected answer: %ld %s\n", response.status, response.body.c_str());
      return std::nullopt;
    }
    if (i >= 0) micros.push_back(elapsed);
  }
  return summarise(std::move(micros));
}

// The floor: libmicrohttpd over GnuTLS with the server's flags, key and priorities, answering
// every POST with a fixed body of the echo answer's size.
const char kFixedBody[] =
    R"({"LibVersion": "MSw2LDUsMTIwMjA=", "result": "MA==", "ServerVersion": "MS4wLjIzLjA1MTA="})";

MHD_Result bareHandler(void*, MHD_Connection* connection, const char*, const char*, const char*,
                       const char*, size_t* uploadSize, void** context) {
  static int marker;
  if (*context == nullptr) {
    *context = &marker;
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    *uploadSize = 0;
    return MHD_YES;
  }
  MHD_Response* response = MHD_create_response_from_buffer(
      sizeof kFixedBody - 1, const_cast<char*>(kFixedBody), MHD_RESPMEM_PERSISTENT);
  MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
  MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

long residentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
  }
  return -1;
}

HttpRequest echoRequest(const std::string& sessionId, int port = kPorts[0], bool ipv6 = false) {
  HttpRequest request;
  request.port = port;
  request.ipv6 = ipv6;
  request.tlsVersion = kTls13;
  request.headers = {std::string("Origin: ") + kPageOrigin, "Connection: keep-alive"};
  request.body =
      formBody(jsonObject({{"SessionId", sessionId}, {"FunctionName", "QuillmarkEcho"}}));
  return request;
}

}  // namespace

// The floor server: libmicrohttpd over GnuTLS with the server's flags, certificate, key and
// priorities, until a stop signal.
int runFloor() {
  std::uint32_t flags = qm::osinfo::osFlags();
  std::string certificate = qm::server::serverCertificate(qm::server::serverKeyType(flags));
  auto key = qm::server::provideServerKey(flags);
  if (!key) return 1;
  qm::platform::SocketAddress address = qm::platform::SocketAddress::loopbackIpv4(kFloorPort);
  qm::platform::installStopSignals();
  MHD_Daemon* daemon =
      MHD_start_daemon(MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD,
                       kFloorPort, nullptr, nullptr, bareHandler, nullptr, MHD_OPTION_SOCK_ADDR,
                       static_cast<const struct sockaddr*>(address.data()),
                       MHD_OPTION_HTTPS_MEM_CERT, certificate.c_str(), MHD_OPTION_HTTPS_MEM_KEY,
                       key->c_str(), MHD_OPTION_HTTPS_PRIORITIES, kPriorities, MHD_OPTION_END);
  key->wipe();
  if (daemon == nullptr) return 1;
  qm::platform::waitStopSignal(-1);
  MHD_stop_daemon(daemon);
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--floor") return runFloor();
  const int requests = argc > 1 ? std::max(100, std::atoi(argv[1])) : 2000;
  // Another server on the ports would answer in place of ours and falsify every figure.
  for (int port : kPorts) {
    if (qm::tool::portInUse(port, false) || qm::tool::portInUse(port, true)) {
      std::fprintf(stderr, "port %d is in use: stop the other server first\n", port);
      return 1;
    }
  }
  TempRoot root(0);
  ServerProcess server(root);
  HttpsClient client;
  if (!server.started() || !waitAnswering(client) || !waitAnswering(client, kPorts[2])) {
    std::fprintf(stderr, "the server did not start (is a server already running?)\n");
    return 1;
  }
  std::printf("KVLQuillmark load figures (%d requests per latency series)\n\n", requests);

  // 1. Echo latency against the floor (a process of its own, as the server is), one keep-alive
  // TLS 1.3 connection each.
  auto floor = qm::platform::ChildProcess::start(argv[0], {"--floor"}, {});
  HttpsClient floorClient;
  if (!floor || !waitAnswering(floorClient, kFloorPort)) {
    std::fprintf(stderr, "the bare server did not start on port %d\n", kFloorPort);
    return 1;
  }
  std::optional<Series> bare =
      timeRequests(floorClient, echoRequest("none", kFloorPort), requests, "0");
  floor->requestStop();
  floor->wait(10000);
  if (!bare) return 1;

  HttpResponse opened = client.open();
  std::string sessionId = opened.value("SessionID");
  std::optional<Series> echo = timeRequests(client, echoRequest(sessionId), requests, "0");
  if (!echo) return 1;
  std::printf("Echo over one keep-alive TLS 1.3 connection (microseconds)\n");
  std::printf("  %-34s median %8.1f   p99 %8.1f\n", "bare libmicrohttpd + GnuTLS", bare->median,
              bare->p99);
  std::printf("  %-34s median %8.1f   p99 %8.1f\n", "KVLQuillmark QuillmarkEcho", echo->median,
              echo->p99);
  std::printf("  ratio to the floor: median %.2fx, p99 %.2fx (target 1.5x)\n\n",
              echo->median / bare->median, echo->p99 / bare->p99);

  // 2. Opening a session (copy, load, unlock, version) against a bare load of the same file.
  // An echo on each new session, over the same connection, gives the request's own round trip.
  constexpr int kOpens = 200;
  std::vector<double> openMicros;
  std::vector<double> roundTripMicros;
  for (int i = 0; i < kOpens; ++i) {
    Clock::time_point start = Clock::now();
    HttpResponse response = client.open();
    openMicros.push_back(microsSince(start));
    if (response.result() != "0") {
      std::fprintf(stderr, "open failed: %s\n", response.body.c_str());
      return 1;
    }
    std::string id = response.value("SessionID");
    start = Clock::now();
    if (client.post(jsonObject({{"SessionId", id}, {"FunctionName", "QuillmarkEcho"}})).result() !=
        "0") {
      return 1;
    }
    roundTripMicros.push_back(microsSince(start));
    client.post(jsonObject({{"SessionId", id}, {"FunctionName", "QuillmarkClose"}}));
  }
  std::vector<double> loadMicros;
  const std::string installed = binDir() + "/KVL/KVLZDGPKICryptATLAdapter.so";
  for (int i = 0; i < kOpens; ++i) {
    Clock::time_point start = Clock::now();
    auto library = qm::platform::DynamicLibrary::open(installed);
    if (!library || library->symbol("callJsonMapMethod") == nullptr) return 1;
    library->close();
    loadMicros.push_back(microsSince(start));
  }
  // Where the difference goes: the session's own copy of the file, loaded and deleted.
  std::vector<double> copyMicros;
  const std::string copy = root.path() + "/bare-copy.so";
  for (int i = 0; i < kOpens; ++i) {
    Clock::time_point start = Clock::now();
    std::filesystem::copy_file(installed, copy);
    auto library = qm::platform::DynamicLibrary::open(copy);
    if (!library || library->symbol("callJsonMapMethod") == nullptr) return 1;
    library->close();
    std::filesystem::remove(copy);
    copyMicros.push_back(microsSince(start));
  }
  Series open = summarise(openMicros);
  Series roundTrip = summarise(roundTripMicros);
  Series load = summarise(loadMicros);
  Series copyLoad = summarise(copyMicros);
  std::printf("Opening a session, per session (microseconds)\n");
  std::printf("  %-34s median %8.1f   p99 %8.1f\n", "bare load of the adapter library", load.median,
              load.p99);
  std::printf("  %-34s median %8.1f   p99 %8.1f\n", "bare copy, load and delete", copyLoad.median,
              copyLoad.p99);
  std::printf("  %-34s median %8.1f   p99 %8.1f\n", "session opening over HTTPS", open.median,
              open.p99);
  std::printf("  %-34s median %8.1f   p99 %8.1f\n", "echo on it (request round trip)",
              roundTrip.median, roundTrip.p99);
  std::printf("  ratio to the bare load: %.2fx over HTTPS, %.2fx less the round trip (target 3x)\n",
              open.median / load.median, (open.median - roundTrip.median) / load.median);
  std::printf("  library file %ju bytes\n\n",
              static_cast<std::uintmax_t>(std::filesystem::file_size(installed)));

  // 3. Throughput: six pages, each on its own listener with its own session.
  constexpr double kSeconds = 5.0;
  std::atomic<long> answered{0};
  std::atomic<long> failed{0};
  std::vector<std::thread> pages;
  Clock::time_point start = Clock::now();
  for (int p = 0; p < 6; ++p) {
    pages.emplace_back([&, p] {
      HttpsClient page;
      std::string id = page.open(kPorts[p % 3]).value("SessionID");
      HttpRequest request = echoRequest(id, kPorts[p % 3], p >= 3);
      while (microsSince(start) < kSeconds * 1e6) {
        HttpResponse response = page.send(request);
        if (response.result() == "0") {
          ++answered;
        } else if (failed++ == 0) {
          std::fprintf(stderr, "failed answer: code %d status %ld body %s\n", response.code,
                       response.status, response.body.c_str());
        }
      }
    });
  }
  for (std::thread& page : pages) page.join();
  double elapsed = microsSince(start) / 1e6;
  std::printf("Six concurrent keep-alive pages, QuillmarkEcho\n");
  std::printf("  %.0f requests per second (%ld answered, %ld failed, %.1f s)\n\n",
              answered / elapsed, answered.load(), failed.load(), elapsed);

  // 4. Resident memory: a fresh server, idle and then with 32 open sessions.
  std::optional<int> status = server.stop();
  if (status != 0) std::fprintf(stderr, "the server ended with %d\n", status.value_or(-1));
  ServerProcess second(root);
  HttpsClient fresh;
  for (int port : kPorts) {
    if (!waitAnswering(fresh, port)) return 1;
  }
  long idle = residentKiB(second.id());
  int opened32 = 0;
  for (int i = 0; i < 32; ++i) opened32 += fresh.open(kPorts[i % 3]).result() == "0" ? 1 : 0;
  long full = residentKiB(second.id());
  std::printf("Resident memory of the server\n");
  std::printf("  idle %ld KiB; with %d open sessions %ld KiB (%.0f KiB per session)\n", idle,
              opened32, full, static_cast<double>(full - idle) / std::max(1, opened32));
  second.stop();
  return 0;
}
