// The request gate over real HTTPS: what is let through, what is refused, and the exact replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <set>

#include "server_harness.h"

namespace qm::test {
namespace {

const std::string kOriginHeader = std::string("Origin: ") + kPageOrigin;

// Answered without opening anything: a fresh "SessionID" and nothing else.
std::string closeRequest() {
  return jsonObject({{"FunctionName", "QuillmarkClose"}});
}

// Eight characters of 0-9 and A-Z, then "_SID".
bool isSessionId(const std::string& text) {
  if (text.size() != 12 || !text.ends_with("_SID")) return false;
  return std::all_of(text.begin(), text.begin() + 8,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); });
}

bool isFreshSessionAnswer(const HttpResponse& response) {
  auto answer = response.answer();
  return response.status == 200 && answer && answer->size() == 1 &&
         answer->begin()->first == "SessionID" && isSessionId(answer->begin()->second);
}

class GateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.waitServing()) << server.logText(); }

  // A good request after the case under test: the server still serves.
  void expectStillServing() {
    HttpsClient fresh;
    EXPECT_TRUE(isFreshSessionAnswer(fresh.post(closeRequest()))) << server.logText();
    EXPECT_TRUE(server.running());
  }

  HttpRequest formPost(std::string_view json, std::vector<std::string> headers = {kOriginHeader}) {
    HttpRequest request;
    request.body = formBody(json);
    request.headers = std::move(headers);
    return request;
  }

  TempRoot root;
  ServerProcess server{root};
  HttpsClient client;
};

TEST_F(GateTest, PreflightForPrivateNetworkPostGets204) {
  HttpRequest preflight;
  preflight.method = "OPTIONS";
  preflight.headers = {"Origin: https://page.example:9443", "Access-Control-Request-Method: POST",
                       "Access-Control-Request-Private-Network: true"};
  HttpResponse response = client.send(preflight);
  EXPECT_EQ(response.status, 204);
  EXPECT_EQ(response.header("Access-Control-Allow-Origin"), "https://page.example:9443");
  EXPECT_EQ(response.header("Access-Control-Allow-Methods"), "POST");
  EXPECT_EQ(response.header("Access-Control-Allow-Private-Network"), "true");
  EXPECT_EQ(response.header("Access-Control-Max-Age"), "30");
  EXPECT_FALSE(response.header("X-XSS-Protection"));
  EXPECT_TRUE(response.body.empty());

  // Anything short of exactly that closes the connection without a response.
  const std::vector<std::vector<std::string>> refused = {
      {"Access-Control-Request-Method: POST"},
      {"Access-Control-Request-Method: GET", "Access-Control-Request-Private-Network: true"},
      {"Access-Control-Request-Method: POST", "Access-Control-Request-Private-Network: TRUE"},
  };
  for (const auto& headers : refused) {
    preflight.headers = headers;
    EXPECT_EQ(client.send(preflight).status, 0) << headers.back();
  }
  // curl may send a request again when a reused connection closes without a response.
  EXPECT_GE(server.logCount("[Error] Request method error: OPTIONS"), refused.size());
}

TEST_F(GateTest, OtherMethodsCloseTheConnection) {
  for (const char* method : {"GET", "PUT", "DELETE", "PATCH", "post"}) {
    HttpRequest request;
    request.method = method;
    request.target = "/any/path";
    HttpResponse response = client.send(request);
    EXPECT_EQ(response.status, 0) << method;
    EXPECT_NE(response.code, CURLE_OK) << method;
    EXPECT_TRUE(server.waitLog(std::string("[Error] Request method error: ") + method)) << method;
  }
  expectStillServing();
}

TEST_F(GateTest, AnswerCarriesExactBodyAndHeaders) {
  HttpResponse response =
      client.send(formPost(closeRequest(), {kOriginHeader, "Connection: keep-alive"}));
  ASSERT_EQ(response.status, 200);
  std::string id = response.value("SessionID");
  EXPECT_TRUE(isSessionId(id)) << response.body;
  EXPECT_EQ(response.body, "{\"SessionID\": \"" + tool::base64Encode(id) + "\"}");
  EXPECT_EQ(response.header("Access-Control-Allow-Origin"), kPageOrigin);
  EXPECT_EQ(response.header("X-XSS-Protection"), "1; mode=block");
  EXPECT_EQ(response.header("Keep-Alive"), "timeout=15, max=100");
  EXPECT_FALSE(response.header("Content-Type"));

  // The keep-alive header only for a request that asks for it, in any case; the connection is
  // reused either way (HTTP/1.1).
  response = client.send(formPost(closeRequest(), {kOriginHeader, "Connection: Keep-ALIVE"}));
  EXPECT_EQ(response.header("Keep-Alive"), "timeout=15, max=100");
  EXPECT_EQ(response.newConnections, 0);
  response = client.send(formPost(closeRequest(), {kOriginHeader}));
  EXPECT_FALSE(response.header("Keep-Alive"));
  EXPECT_EQ(response.newConnections, 0);
  response = client.send(formPost(closeRequest(), {kOriginHeader, "Connection: close"}));
  EXPECT_TRUE(isFreshSessionAnswer(response));
  EXPECT_FALSE(response.header("Keep-Alive"));
}

TEST_F(GateTest, HostMustNameThisMachine) {
  const std::string longHost = "localhost:56454" + std::string(55, 'x');  // 70 characters
  struct Case {
    bool ipv6;
    std::string host;  // empty: the client's own "localhost:<port>"
    bool local;
  } cases[] = {
      {true, "[::1]:56454", false},         {true, "", true},
      {false, "127.0.0.1:56454", true},     {false, longHost, true},
      {false, "evil.example:56454", false}, {false, "localhost", false},
      {false, "LOCALHOST:56454", false},
  };
  for (const Case& c : cases) {
    HttpRequest request = formPost(closeRequest());
    request.ipv6 = c.ipv6;
    if (!c.host.empty()) request.headers.push_back("Host: " + c.host);
    HttpResponse response = client.send(request);
    if (c.local) {
      EXPECT_TRUE(isFreshSessionAnswer(response)) << c.host << " " << response.body;
    } else {
      EXPECT_EQ(response.status, 200) << c.host;
      EXPECT_EQ(response.body, R"({"result": "NjE5MDQ="})") << c.host;  // 61904
      EXPECT_FALSE(response.header("Access-Control-Allow-Origin")) << c.host;
    }
  }
  EXPECT_TRUE(server.logHas("[Normal] Host: " + longHost.substr(0, 63)));
  EXPECT_FALSE(server.logHas("[Normal] Host: " + longHost.substr(0, 64)));
  EXPECT_EQ(server.logCount("[Warning] This connection is NOT from localhost"), 4u);
}

TEST_F(GateTest, OriginComesFromOriginOrReferer) {
  struct Case {
    std::string target;
    std::vector<std::string> headers;
    std::optional<std::string> allowedOrigin;  // nullopt: the 61012 answer
  } cases[] = {
      {"/", {"Origin: https://a.example:8443"}, "https://a.example:8443"},
      {"/",
       {"Origin: null", "Referer: https://page.example:9443/dir/index.html?x=1"},
       "https://page.example:9443"},
      {"/", {"Referer: http://page.example/"}, "http://page.example"},
      {"/?origin=https://query.example", {"Origin: https://a.example"}, "https://query.example"},
      {"/", {}, std::nullopt},
      {"/", {"Origin: null", "Referer: null"}, std::nullopt},
      {"/", {"Referer: page.example"}, std::nullopt},
  };
  for (const Case& c : cases) {
    HttpRequest request = formPost(closeRequest(), c.headers);
    request.target = c.target;
    HttpResponse response = client.send(request);
    ASSERT_EQ(response.status, 200) << c.target;
    if (c.allowedOrigin) {
      EXPECT_TRUE(isFreshSessionAnswer(response)) << response.body;
      EXPECT_EQ(response.header("Access-Control-Allow-Origin"), *c.allowedOrigin);
    } else {
      EXPECT_EQ(response.result(), "61012");
      EXPECT_FALSE(response.header("Access-Control-Allow-Origin"));
    }
  }
  EXPECT_TRUE(server.logHas("[Normal] New Origin: https://page.example:9443"));
  EXPECT_TRUE(server.logHas("[Warning] UrlList error: "));
}

TEST_F(GateTest, Ipv4PeerOtherThan127001IsRefused) {
  HttpRequest request = formPost(closeRequest());
  request.localAddress = "127.0.0.2";
  HttpResponse response = client.send(request);
  EXPECT_EQ(response.status, 0);
  EXPECT_NE(response.code, CURLE_OK);
  EXPECT_TRUE(server.waitLog("[Warning] Illegal connection ip: 127.0.0.2"));
  expectStillServing();
}

TEST_F(GateTest, OnlyTls12And13AreSpoken) {
  const std::string output = root.path() + "/gnutls-cli.txt";
  for (int port : kPorts) {
    EXPECT_NE(gnutlsHandshake("NORMAL:-VERS-ALL:+VERS-TLS1.0", port, client.caFile(), output), 0);
    EXPECT_NE(gnutlsHandshake("NORMAL:-VERS-ALL:+VERS-TLS1.1", port, client.caFile(), output), 0);
    EXPECT_EQ(gnutlsHandshake("NORMAL:-VERS-ALL:+VERS-TLS1.2", port, client.caFile(), output), 0);
    EXPECT_EQ(gnutlsHandshake("NORMAL:-VERS-ALL:+VERS-TLS1.3", port, client.caFile(), output), 0);
  }
  // This system gets the ECDSA certificate.
  std::ifstream transcript(output);
  std::string text((std::istreambuf_iterator<char>(transcript)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("subject `CN=localhost"), std::string::npos);
  EXPECT_NE(text.find("EC/ECDSA key 384 bits"), std::string::npos);
  EXPECT_EQ(text.find("RSA key"), std::string::npos);
  const std::pair<long, const char*> versions[] = {
      {long{CURL_SSLVERSION_TLSv1_2} | long{CURL_SSLVERSION_MAX_TLSv1_2}, "TLS 1.2"},
      {long{CURL_SSLVERSION_TLSv1_3} | long{CURL_SSLVERSION_MAX_TLSv1_3}, "TLS 1.3"},
  };
  for (auto [version, name] : versions) {
    HttpRequest request = formPost(closeRequest());
    request.tlsVersion = version;
    EXPECT_TRUE(isFreshSessionAnswer(client.send(request))) << name;
    EXPECT_TRUE(server.logHas(std::string("[Normal] TLS version: ") + name));
  }
  EXPECT_FALSE(server.logHas("Insecure connection"));
}

TEST_F(GateTest, MalformedPostsCloseTheConnection) {
  std::string twoHundredKeys = "{";
  for (int i = 0; i < 200; ++i) twoHundredKeys += "\"k" + std::to_string(i) + "\":\"v\",";
  twoHundredKeys.back() = '}';
  // A request whose Base64 text holds a "+" early: sent unescaped the form turns it into a
  // space, and the decoding stops there.
  std::string withPlus;
  for (int pad = 0; withPlus.empty(); ++pad) {
    std::string json =
        jsonObject({{"FunctionName", "QuillmarkClose"}, {"p", std::string(pad, '>') + "?"}});
    std::string encoded = tool::base64Encode(json);
    if (encoded.find('+') < encoded.size() - 8) withPlus = encoded;
  }
  struct Case {
    const char* name;
    std::string body;
    std::vector<std::string> headers;
  } cases[] = {
      {"no Parameter", "Other=" + formEscape(tool::base64Encode(closeRequest())), {}},
      {"not Base64", "Parameter=!!!!", {}},
      {"Base64 of non-JSON", "Parameter=" + formEscape(tool::base64Encode("<html>}</html>")), {}},
      {"single token", "Parameter=" + formEscape(tool::base64Encode("{}")), {}},
      {"200 keys", "Parameter=" + formEscape(tool::base64Encode(twoHundredKeys)), {}},
      {"unescaped plus", "Parameter=" + withPlus, {}},
      {"no content type", formBody(closeRequest()), {"Content-Type:"}},
      {"text content type", formBody(closeRequest()), {"Content-Type: text/plain"}},
  };
  for (const Case& c : cases) {
    HttpRequest request;
    request.body = c.body;
    request.headers = c.headers;
    request.headers.push_back(kOriginHeader);
    HttpResponse response = client.send(request);
    EXPECT_EQ(response.status, 0) << c.name << ": " << response.body;
  }
  HttpRequest escaped = formPost("");
  escaped.body = "Parameter=" + formEscape(withPlus);
  EXPECT_TRUE(isFreshSessionAnswer(client.send(escaped)));
  EXPECT_GE(server.logCount("[Error] Memory allocate fail at file: "), 6u);
  expectStillServing();
}

TEST_F(GateTest, LargeParameterIsAnswered) {
  std::string json =
      jsonObject({{"FunctionName", "QuillmarkClose"}, {"filler", std::string(7'600'000, 'q')}});
  HttpRequest request = formPost(json);
  ASSERT_GT(request.body.size(), 10'000'000u);
  EXPECT_TRUE(isFreshSessionAnswer(client.send(request)));
  expectStillServing();
}

TEST_F(GateTest, BinaryHeaderBytesDoNotHarm) {
  std::string binary;
  for (int c = 1; c < 256; ++c) {
    if (c != '\r' && c != '\n') binary += static_cast<char>(c);
  }
  for (const char* name : {"Origin", "Referer", "Host", "Connection", "X-Other"}) {
    HttpRequest request = formPost(closeRequest(), {std::string(name) + ": http" + binary});
    client.send(request);
    ASSERT_TRUE(server.running()) << name;
  }
  expectStillServing();
}

TEST_F(GateTest, BodyCutOffMidwayLeavesNoTraceInTheNextRequest) {
  // Half a Parameter: if it stayed behind, the next request's text would be spoiled.
  HttpRequest cut = formPost(
      jsonObject({{"FunctionName", "QuillmarkClose"}, {"filler", std::string(60'000, 'z')}}));
  cut.abortAfter = cut.body.size() / 2;
  HttpResponse response = client.send(cut);
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(response.code, CURLE_ABORTED_BY_CALLBACK);
  for (int port : kPorts) {
    EXPECT_TRUE(isFreshSessionAnswer(client.post(closeRequest(), port)));
  }
}

TEST_F(GateTest, TwoHundredConnectionsAtOnce) {
  std::vector<HttpRequest> requests;
  for (int i = 0; i < 200; ++i) {
    HttpRequest request = formPost(closeRequest());
    request.port = kPorts[i % 3];
    request.ipv6 = i % 2 == 1;
    requests.push_back(request);
  }
  std::set<std::string> ids;
  for (const HttpResponse& response : sendAtOnce(requests)) {
    EXPECT_TRUE(isFreshSessionAnswer(response)) << response.code << " " << response.body;
    ids.insert(response.value("SessionID"));
  }
  EXPECT_EQ(ids.size(), requests.size());
  expectStillServing();
}

TEST_F(GateTest, ThousandsOfMalformedRequestsLeaveTheServerServing) {
  std::vector<HttpRequest> malformed(4);
  malformed[0].method = "GET";
  malformed[1].body = "Parameter=%%%";
  malformed[2].body = formBody("[1,2");
  malformed[3].method = "OPTIONS";
  malformed[3].headers = {"Access-Control-Request-Method: POST"};
  constexpr int kRequests = 3000;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  int sent = 0;
  int answered = 0;
  for (; sent < kRequests && std::chrono::steady_clock::now() < deadline; ++sent) {
    HttpRequest request = malformed[sent % malformed.size()];
    request.port = kPorts[sent % 3];
    answered += client.send(request).status != 0 ? 1 : 0;
  }
  EXPECT_GT(sent, 500);
  EXPECT_EQ(answered, 0);
  expectStillServing();
}

}  // namespace
}  // namespace qm::test
