// The real component behind the real server: a page opens a session over HTTPS, lists the demo
// token's certificate, logs in, signs, and the signature verifies. The token is the one the run
// command uses by default: made by scripts/make-demo-token.sh in the user's data folder and
// found through p11-kit's module list without any token setting.
#include <gnutls/gnutls.h>
#include <gnutls/pkcs7.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "server_harness.h"

namespace qm::test {
namespace {

// The harness's environment with the real component instead of the scripted one.
std::vector<std::string> realComponentEnvironment(const TempRoot& root) {
  std::vector<std::string> environment;
  for (std::string& entry : root.environment()) {
    if (entry.starts_with("QUILLMARK_COMPONENT_DIR=")) {
      entry = "QUILLMARK_COMPONENT_DIR=" + binDir() + "/components";
    }
    environment.push_back(std::move(entry));
  }
  environment.push_back("XDG_DATA_HOME=" + root.path() + "/home/.local/share");
  // No token settings of the caller: the default way to the demo token is under test.
  environment.push_back("SOFTHSM2_CONF=");
  environment.push_back("QUILLMARK_PKCS11_MODULE=");
  return environment;
}

bool serving(const TempRoot& root, platform::ChildProcess& server) {
  for (int waited = 0; waited < 30000 && server.running(); waited += 50) {
    for (const std::string& line : root.logLines()) {
      if (line.find("KVLQuillmark initialization: Success") != std::string::npos) return true;
    }
    sleepMs(50);
  }
  return false;
}

TEST(ComponentThroughServer, PageListsSignsAndTheSignatureVerifies) {
  TempRoot root;
  std::string dataHome = root.path() + "/home/.local/share";
  std::string command = "XDG_DATA_HOME='" + dataHome + "' QUILLMARK_DEMO_PIN=123456 '" +
                        QUILLMARK_SOURCE_DIR + "/scripts/make-demo-token.sh' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string caFile = dataHome + "/quillmark/softhsm/demo-ca.pem";

  auto server = platform::ChildProcess::start(binDir() + "/KVLQuillmark", {"0"},
                                              realComponentEnvironment(root),
                                              root.path() + "/server-output.txt");
  ASSERT_TRUE(server);
  ASSERT_TRUE(serving(root, *server)) << [&] {
    std::string log;
    for (const std::string& line : root.logLines()) log += line + "\n";
    return log;
  }();

  HttpsClient page;
  std::string id = page.open().value("SessionID");
  ASSERT_NE(id, "<none>");
  auto call = [&](std::initializer_list<std::pair<std::string, std::string>> pairs) {
    return page.post(jsonObject(pairs)).result();
  };

  std::string listed =
      call({{"SessionId", id}, {"FunctionName", "GPKI_EnumCertsToString"}, {"iFlags", "0"}});
  ASSERT_GT(listed.size(), 100u) << listed;
  std::string certificate = listed.substr(0, listed.find(';'));
  EXPECT_EQ(call({{"SessionId", id},
                  {"FunctionName", "CAPICertGetSubject"},
                  {"strCert", certificate},
                  {"iFlags", "1"}}),
            "Demo User");

  EXPECT_EQ(call({{"SessionId", id},
                  {"FunctionName", "GPKI_VerifyPIN"},
                  {"bPIN", "654321"},
                  {"iFlags", "0"}}),
            "61011");
  EXPECT_EQ(call({{"SessionId", id}, {"FunctionName", "get_lastError"}}), "3002");
  EXPECT_EQ(call({{"SessionId", id},
                  {"FunctionName", "GPKI_VerifyPIN"},
                  {"bPIN", "123456"},
                  {"iFlags", "0"}}),
            "0");
  // The login stays with the session's component between requests.
  std::string signature = call({{"SessionId", id},
                                {"FunctionName", "GPKI_SignData"},
                                {"sOptPIN", ""},
                                {"sData", "pay 10 to Bob"},
                                {"signcodepage", "65001"},
                                {"iFlags", "0"},
                                {"iHashFlag", "0"}});
  std::string der = tool::base64Decode(signature);
  ASSERT_GT(der.size(), 500u) << signature;

  gnutls_pkcs7_t pkcs7;
  ASSERT_GE(gnutls_pkcs7_init(&pkcs7), 0);
  gnutls_datum_t in{reinterpret_cast<unsigned char*>(der.data()),
                    static_cast<unsigned>(der.size())};
  ASSERT_GE(gnutls_pkcs7_import(pkcs7, &in, GNUTLS_X509_FMT_DER), 0);
  gnutls_x509_trust_list_t trust;
  gnutls_x509_trust_list_init(&trust, 0);
  ASSERT_GT(gnutls_x509_trust_list_add_trust_file(trust, caFile.c_str(), nullptr,
                                                  GNUTLS_X509_FMT_PEM, 0, 0),
            0);
  EXPECT_EQ(gnutls_pkcs7_verify(pkcs7, trust, nullptr, 0, 0, nullptr, 0), 0);
  gnutls_datum_t embedded{};
  ASSERT_GE(gnutls_pkcs7_get_embedded_data(pkcs7, 0, &embedded), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(embedded.data), embedded.size), "pay 10 to Bob");
  gnutls_free(embedded.data);
  gnutls_x509_trust_list_deinit(trust, 1);
  gnutls_pkcs7_deinit(pkcs7);

  // A closed session takes its component and login along; the next page starts anew.
  call({{"SessionId", id}, {"FunctionName", "QuillmarkClose"}});
  std::string next = page.open().value("SessionID");
  ASSERT_NE(next, "<none>");
  EXPECT_EQ(
      call({{"SessionId", next}, {"FunctionName", "GPKI_EnumCertsToString"}, {"iFlags", "0"}}),
      listed);
  auto signNext = [&](const char* pin) {
    return call({{"SessionId", next},
                 {"FunctionName", "GPKI_PureSign"},
                 {"sOptPIN", pin},
                 {"sData", "x"},
                 {"signcodepage", ""},
                 {"iFlags", "0"},
                 {"iHashFlag", "0"}});
  };
  EXPECT_EQ(signNext(""), "61011");
  EXPECT_EQ(call({{"SessionId", next}, {"FunctionName", "get_lastError"}}), "3001");
  EXPECT_GT(signNext("123456").size(), 300u);

  server->requestStop();
  EXPECT_TRUE(server->wait(30000));
}

}  // namespace
}  // namespace qm::test
