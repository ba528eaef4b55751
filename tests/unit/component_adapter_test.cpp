// The crypto component as the adapter library drives it: named JSON functions in, result texts
// out, failures as "61011" with the reason left in get_lastError.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "../fixtures/component_token/token_fixture.h"
#include "adapter/adapter_api.h"
#include "platform/dynlib.h"
#include "util/json_map.h"
#include "util/tool.h"

namespace qm::test {
namespace {

class ComponentThroughAdapter : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    token_ = new TokenFolder();
    useTokenFolder(*token_);
  }
  static void TearDownTestSuite() {
    delete token_;
    token_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(token_->ready());
    library_ =
        platform::DynamicLibrary::open(componentBinDir() + "/KVL/KVLZDGPKICryptATLAdapter.so");
    ASSERT_TRUE(library_);
    call_ = library_->function<CallJsonMapMethodFunction>(adapter::kCallJsonMapMethodName);
    ASSERT_NE(call_, nullptr);
  }
  void TearDown() override {
    if (call_ != nullptr) run("Quillmark_Release", {});
  }

  std::string run(const char* function,
                  std::initializer_list<std::pair<const char*, std::string>> parameters) {
    json::JsonMap map = json::JsonMap::create();
    for (const auto& [key, value] : parameters) map.set(key, value.c_str());
    const char* result = call_(map.get(), function);
    return result != nullptr ? result : "<null>";
  }

  static TokenFolder* token_;
  std::optional<platform::DynamicLibrary> library_;
  CallJsonMapMethodFunction call_ = nullptr;
};
TokenFolder* ComponentThroughAdapter::token_ = nullptr;

TEST_F(ComponentThroughAdapter, ListsSignsAndReportsFailures) {
  std::string listed = run("GPKI_EnumCertsToString", {{"iFlags", "0"}});
  ASSERT_GT(listed.size(), 100u) << listed;
  ASSERT_EQ(listed.back(), ';');
  // The VARIANT form reaches the page as the same text.
  EXPECT_EQ(run("GPKI_EnumCerts", {{"iFlags", "0"}}), listed);
  std::string certificate = listed.substr(0, listed.size() - 1);
  EXPECT_EQ(run("CAPICertGetSubject", {{"strCert", certificate}, {"iFlags", "true"}}), "Demo User");

  EXPECT_EQ(run("GPKI_VerifyPIN", {{"bPIN", "999999"}, {"iFlags", "0"}}), "61011");
  EXPECT_EQ(run("get_lastError", {}), "3002");
  EXPECT_EQ(run("GPKI_GetErrorPINCount", {}), "1");

  std::string signature = run("GPKI_SignData", {{"sOptPIN", kTokenPin},
                                                {"sData", "hello"},
                                                {"signcodepage", "65001"},
                                                {"iFlags", "0"},
                                                {"iHashFlag", "0"}});
  EXPECT_GT(signature.size(), 1000u) << signature;
  EXPECT_EQ(run("get_lastError", {}), "0");
  EXPECT_EQ(run("CryptSignatureGetAlgorithm",
                {{"strSignature", signature}, {"iFlags", "0"}, {"index", "0"}}),
            "RSA-SHA256");

  EXPECT_EQ(run("CAPICertGetIssuer", {{"strCert", "not a certificate"}, {"iFlags", "0"}}), "61011");
  EXPECT_EQ(run("get_lastError", {}), "1003");
  EXPECT_EQ(run("SetCodePage", {{"codePage", "950"}}), "0");
  EXPECT_EQ(run("GPKI_Base64Encode", {{"srcData", "\xE4\xB8\xAD\xE6\x96\x87"}, {"codePage", ""}}),
            "pKSk5Q==");
}

}  // namespace
}  // namespace qm::test
