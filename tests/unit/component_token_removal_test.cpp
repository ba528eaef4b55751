// The crypto component when the token goes away between calls and while no card is present.
// A program of its own: the token module reads its configuration once per process.
#include <gtest/gtest.h>

#include "../fixtures/component_token/token_fixture.h"

namespace qm::test {
namespace {

using com::BSTR;

constexpr int kNoToken = 2001, kTokenRemoved = 2002;

TEST(ComponentTokenRemoval, CallsFailCleanlyOnceTheCardIsGone) {
  TokenFolder token;
  ASSERT_TRUE(token.ready());
  useTokenFolder(token);
  ComponentRef crypt;
  ASSERT_NE(crypt.get(), nullptr);

  std::int32_t value = -1;
  BSTR out = nullptr;
  ASSERT_EQ(crypt->GPKI_VerifyPIN(Text(kTokenPin), 0, &value), com::S_OK);
  ASSERT_EQ(crypt->GPKI_EnumCertsToString(0, &out), com::S_OK);
  std::string certificates = take(out);
  ASSERT_FALSE(certificates.empty());

  token.removeToken();

  // The token in use is reported gone once, then there simply is no card.
  ASSERT_LT(crypt->GPKI_SignData(nullptr, Text("data"), Text(""), 0, 0, &out), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(crypt.lastError(), kTokenRemoved);
  EXPECT_EQ(crypt->GPKI_DetectCard(0, &value), com::S_OK);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(crypt->GPKI_GetSlotCount(&value), com::S_OK);
  EXPECT_EQ(value, 0);
  EXPECT_LT(crypt->GPKI_EnumCertsToString(0, &out), 0);
  EXPECT_EQ(crypt.lastError(), kNoToken);
  EXPECT_LT(crypt->GPKI_VerifyPIN(Text(kTokenPin), 0, &value), 0);
  EXPECT_EQ(crypt.lastError(), kNoToken);
  EXPECT_LT(crypt->GPKI_GetSerialNumber(&out), 0);
  EXPECT_EQ(crypt.lastError(), kNoToken);
  com::VARIANT list;
  com::variantInit(&list);
  EXPECT_LT(crypt->GPKI_EnumCerts(0, &list), 0);
  EXPECT_EQ(list.vt, com::VT_EMPTY);

  // Inspection needs no card.
  EXPECT_EQ(
      crypt->CAPICertGetVersion(Text(certificates.substr(0, certificates.find(';'))), 0, &out),
      com::S_OK);
  EXPECT_EQ(take(out), "3");
}

}  // namespace
}  // namespace qm::test
