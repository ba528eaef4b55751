// Sign and decrypt on the demo software token, three ways: a page's whole path (HTTPS request
// through the server, adapter and component to the answer), the component alone in this process,
// and the same operation called directly through GnuTLS on the same token. The ratios show what
// the server path and the component's own lookups add.
//
// Run: build/bench/component_bench   (needs certtool, softhsm2-util and p11tool)
#include <benchmark/benchmark.h>
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/pkcs11.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "component/zdgpki_crypt.h"
#include "platform/component_runtime.h"
#include "server_harness.h"

namespace qm::test {
namespace {

constexpr char kPin[] = "123456";
constexpr char kData[] = "pay 10 to Bob";

// The server on a private root whose user data folder holds a fresh demo token.
struct ServerPath {
  TempRoot root{0};  // no log settings: logging off, as on a user's desktop
  std::string tokenDir = root.path() + "/home/.local/share/quillmark/softhsm";
  std::optional<platform::ChildProcess> server;
  HttpsClient page;
  std::string session;
  std::string rawCipher;

  ServerPath() {
    std::string command = "XDG_DATA_HOME='" + root.path() + "/home/.local/share" +
                          "' QUILLMARK_DEMO_PIN=" + kPin + " '" + QUILLMARK_SOURCE_DIR +
                          "/scripts/make-demo-token.sh' >/dev/null";
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "component_bench: the demo token could not be made\n");
      return;
    }
    // Figures from somebody else's server would be worthless.
    if (page.open().status != 0) {
      std::fprintf(stderr, "component_bench: another server holds the ports\n");
      return;
    }
    std::vector<std::string> environment;
    for (std::string& entry : root.environment()) {
      if (entry.starts_with("QUILLMARK_COMPONENT_DIR=")) {
        entry = "QUILLMARK_COMPONENT_DIR=" + binDir() + "/components";
      }
      environment.push_back(std::move(entry));
    }
    environment.push_back("XDG_DATA_HOME=" + root.path() + "/home/.local/share");
    server = platform::ChildProcess::start(binDir() + "/KVLQuillmark", {"0"}, environment,
                                           root.path() + "/server-output.txt");
    // The first session opens once the listeners are up.
    HttpResponse opened;
    for (int waited = 0; server && waited < 30000 && opened.status != 200; waited += 100) {
      sleepMs(100);
      opened = page.open();
    }
    session = opened.value("SessionID");
    if (session == "<none>") {
      std::fprintf(stderr, "component_bench: no session: %s\n", opened.body.c_str());
      session.clear();
      return;
    }
    if (call({{"FunctionName", "GPKI_VerifyPIN"}, {"bPIN", kPin}, {"iFlags", "0"}}) != "0") {
      std::fprintf(stderr, "component_bench: the demo PIN was refused\n");
      session.clear();
      return;
    }
    std::string listed = call({{"FunctionName", "GPKI_EnumCertsToString"}, {"iFlags", "0"}});
    std::string certificate = listed.substr(0, listed.find(';'));
    rawCipher = call({{"FunctionName", "GPKI_RSAEncryptByCert"},
                      {"strCert", certificate},
                      {"strData", kData},
                      {"iFlags", "0"}});
  }
  ~ServerPath() {
    if (server && server->running()) {
      server->requestStop();
      server->wait(30000);
    }
  }

  std::string call(std::initializer_list<std::pair<std::string, std::string>> pairs) {
    std::string json = jsonObject({{"SessionId", session}});
    for (const auto& [key, value] : pairs) {
      json.back() = ',';
      json += "\"" + jsonEscape(key) + "\":\"" + jsonEscape(value) + "\"}";
    }
    return page.post(json).result();
  }
};

ServerPath& serverPath() {
  static ServerPath path;
  return path;
}

int pinCallback(void*, int attempt, const char*, const char*, unsigned, char* pin, size_t max) {
  if (attempt != 0 || std::strlen(kPin) + 1 > max) return -1;
  std::memcpy(pin, kPin, std::strlen(kPin) + 1);
  return 0;
}

// The same token's key in this process, through GnuTLS's PKCS#11 layer.
struct DirectPath {
  gnutls_privkey_t key = nullptr;
  DirectPath() {
    std::string conf = serverPath().tokenDir + "/softhsm2.conf";
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    gnutls_pkcs11_init(GNUTLS_PKCS11_FLAG_MANUAL, nullptr);
    for (const char* module :
         {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"}) {
      if (gnutls_pkcs11_add_provider(module, nullptr) >= 0) break;
    }
    gnutls_privkey_init(&key);
    gnutls_privkey_set_pin_function(key, pinCallback, nullptr);
    if (gnutls_privkey_import_url(key, "pkcs11:token=Quillmark%20Demo;id=%01;type=private", 0) <
        0) {
      gnutls_privkey_deinit(key);
      key = nullptr;
    }
  }
};

DirectPath& directPath() {
  static DirectPath path;
  return path;
}

void BM_ServerPureSign(benchmark::State& state) {
  ServerPath& path = serverPath();
  if (path.session.empty()) return state.SkipWithError("server or token not ready");
  for (auto _ : state) {
    std::string signature = path.call({{"FunctionName", "GPKI_PureSign"},
                                       {"sOptPIN", ""},
                                       {"sData", kData},
                                       {"signcodepage", "65001"},
                                       {"iFlags", "0"},
                                       {"iHashFlag", "0"}});
    if (signature.size() < 300) return state.SkipWithError(signature.c_str());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ServerCmsSign(benchmark::State& state) {
  ServerPath& path = serverPath();
  if (path.session.empty()) return state.SkipWithError("server or token not ready");
  for (auto _ : state) {
    std::string signature = path.call({{"FunctionName", "GPKI_SignData"},
                                       {"sOptPIN", ""},
                                       {"sData", kData},
                                       {"signcodepage", "65001"},
                                       {"iFlags", "0"},
                                       {"iHashFlag", "0"}});
    if (signature.size() < 1000) return state.SkipWithError(signature.c_str());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ServerRsaDecrypt(benchmark::State& state) {
  ServerPath& path = serverPath();
  if (path.rawCipher.size() < 300) return state.SkipWithError("no cipher text");
  for (auto _ : state) {
    std::string plain = path.call({{"FunctionName", "GPKI_RSADecrypt"},
                                   {"strCipher", path.rawCipher},
                                   {"strPinCode", ""},
                                   {"iFlags", "0"}});
    if (plain != kData) return state.SkipWithError(plain.c_str());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DirectSign(benchmark::State& state) {
  serverPath();
  gnutls_privkey_t key = directPath().key;
  if (key == nullptr) return state.SkipWithError("token key not found");
  gnutls_datum_t data{reinterpret_cast<unsigned char*>(const_cast<char*>(kData)),
                      static_cast<unsigned>(std::strlen(kData))};
  for (auto _ : state) {
    gnutls_datum_t signature{};
    if (gnutls_privkey_sign_data(key, GNUTLS_DIG_SHA256, 0, &data, &signature) < 0) {
      return state.SkipWithError("sign failed");
    }
    gnutls_free(signature.data);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DirectRsaDecrypt(benchmark::State& state) {
  ServerPath& path = serverPath();
  gnutls_privkey_t key = directPath().key;
  if (key == nullptr) return state.SkipWithError("token key not found");
  std::string cipher = tool::base64Decode(path.rawCipher);
  gnutls_datum_t in{reinterpret_cast<unsigned char*>(cipher.data()),
                    static_cast<unsigned>(cipher.size())};
  for (auto _ : state) {
    gnutls_datum_t plain{};
    if (gnutls_privkey_decrypt_data(key, 0, &in, &plain) < 0) {
      return state.SkipWithError("decrypt failed");
    }
    gnutls_free(plain.data);
  }
  state.SetItemsProcessed(state.iterations());
}

// The component itself in this process, through the component runtime: the part of the server
// path that is the component's own work.
struct ComponentPath {
  component::IZDGPKICrypt* crypt = nullptr;
  com::BSTR cipher = nullptr;
  ComponentPath() {
    directPath();  // the token module, configured for the demo token
    setenv("QUILLMARK_COMPONENT_DIR", (binDir() + "/components").c_str(), 1);
    com::initialize();
    void* object = nullptr;
    if (com::failed(com::createInstance(component::kZdgpkiCryptClassId, nullptr, com::CLSCTX_ALL,
                                        component::kIZDGPKICryptInterfaceId, &object))) {
      return;
    }
    crypt = static_cast<component::IZDGPKICrypt*>(object);
    com::BSTR pin = com::sysAllocStringUtf8(kPin);
    std::int32_t result = -1;
    crypt->GPKI_VerifyPIN(pin, 0, &result);
    com::sysFreeString(pin);
    cipher = com::sysAllocStringUtf8(serverPath().rawCipher);
  }
};

ComponentPath& componentPath() {
  static ComponentPath path;
  return path;
}

void BM_ComponentPureSign(benchmark::State& state) {
  ComponentPath& path = componentPath();
  if (path.crypt == nullptr) return state.SkipWithError("component not created");
  com::BSTR data = com::sysAllocStringUtf8(kData);
  com::BSTR codePage = com::sysAllocStringUtf8("65001");
  for (auto _ : state) {
    com::BSTR signature = nullptr;
    if (com::failed(path.crypt->GPKI_PureSign(nullptr, data, codePage, 0, 0, &signature))) {
      return state.SkipWithError("component sign failed");
    }
    com::sysFreeString(signature);
  }
  com::sysFreeString(data);
  com::sysFreeString(codePage);
  state.SetItemsProcessed(state.iterations());
}

void BM_ComponentRsaDecrypt(benchmark::State& state) {
  ComponentPath& path = componentPath();
  if (path.crypt == nullptr) return state.SkipWithError("component not created");
  for (auto _ : state) {
    com::BSTR plain = nullptr;
    if (com::failed(path.crypt->GPKI_RSADecrypt(path.cipher, nullptr, 0, &plain))) {
      return state.SkipWithError("component decrypt failed");
    }
    com::sysFreeString(plain);
  }
  state.SetItemsProcessed(state.iterations());
}

// Direct first: the component's own PIN check ends this process's earlier login.
BENCHMARK(BM_DirectSign)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DirectRsaDecrypt)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ComponentPureSign)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ComponentRsaDecrypt)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ServerPureSign)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ServerRsaDecrypt)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ServerCmsSign)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace
}  // namespace qm::test

BENCHMARK_MAIN();
