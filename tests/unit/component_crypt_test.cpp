// The crypto component against a software token: enumeration and inspection, PIN handling,
// CMS and raw signatures checked with GnuTLS, encryption round trips, XML signatures checked
// with xmlsec1, and bad input.
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/pkcs7.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "../fixtures/component_token/token_fixture.h"
#include "platform/child_process.h"
#include "util/tool.h"

namespace qm::test {
namespace {

using com::BSTR;
using com::HRESULT;

TokenFolder* gToken = nullptr;

class TokenEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    gToken = new TokenFolder();
    useTokenFolder(*gToken);
  }
  void TearDown() override {
    delete gToken;
    gToken = nullptr;
  }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TokenEnvironment);

// Error values of docs/component.md.
constexpr int kMissingParameter = 1001, kBadFlag = 1002, kNotBase64 = 1003, kNotCertificate = 1004,
              kTooLarge = 1005, kCodePage = 1006, kConversion = 1007, kNotPresent = 1008,
              kBadData = 1009, kSlotRange = 2003, kPinEmpty = 3001, kPinIncorrect = 3002,
              kNotLoggedIn = 3006, kDecrypt = 4003, kXmlParse = 5001, kXmlNoSignature = 5002,
              kXmlNoDigest = 5005, kFileExists = 5008;

// Failures carry the error value in the low 16 bits of the HRESULT.
HRESULT hresultOf(int error) {
  return static_cast<HRESULT>(0x80040000u | static_cast<unsigned>(error));
}

std::string decodeBase64(const std::string& text) {
  return tool::base64Decode(text);
}

// Wildcard match: '*' any run of characters, '#' one digit, anything else itself.
bool matches(std::string_view text, std::string_view pattern) {
  if (pattern.empty()) return text.empty();
  if (pattern[0] == '*') {
    for (std::size_t skip = 0; skip <= text.size(); ++skip) {
      if (matches(text.substr(skip), pattern.substr(1))) return true;
    }
    return false;
  }
  if (text.empty()) return false;
  bool same = pattern[0] == '#' ? (text[0] >= '0' && text[0] <= '9') : text[0] == pattern[0];
  return same && matches(text.substr(1), pattern.substr(1));
}

gnutls_datum_t datum(const std::string& bytes) {
  return {reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())),
          static_cast<unsigned>(bytes.size())};
}

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gToken != nullptr && gToken->ready()) << "software token not made";
    ASSERT_NE(crypt_.get(), nullptr) << "component not created";
  }

  // Runs a text method; the text, or nullopt with the last error in lastError_.
  std::optional<std::string> textOf(const std::function<HRESULT(BSTR*)>& call) {
    BSTR out = nullptr;
    HRESULT result = call(&out);
    lastError_ = crypt_.lastError();
    if (com::failed(result)) {
      EXPECT_EQ(out, nullptr) << "a failed call handed out a text";
      EXPECT_EQ(result & 0xFFFF, lastError_) << "HRESULT and last error disagree";
      return std::nullopt;
    }
    EXPECT_EQ(lastError_, 0);
    return take(out);
  }
  std::optional<std::int32_t> intOf(const std::function<HRESULT(std::int32_t*)>& call) {
    std::int32_t out = -12345;
    HRESULT result = call(&out);
    lastError_ = crypt_.lastError();
    if (com::failed(result)) return std::nullopt;
    return out;
  }

  std::string firstCertificate() {
    auto list = textOf([&](BSTR* out) { return crypt_->GPKI_EnumCertsToString(0, out); });
    if (!list || list->empty()) return "";
    return list->substr(0, list->find(';'));
  }

  std::optional<std::string> signData(const char* pin, const std::string& data,
                                      const char* codePage, int flags, int hash) {
    return textOf([&](BSTR* out) {
      return crypt_->GPKI_SignData(Text(pin), Text(data), Text(codePage), flags, hash, out);
    });
  }

  // Verifies a Base64 CMS against the demo CA; the embedded (or given) content must be `data`.
  void expectValidCms(const std::string& base64, const std::string& data, bool detached) {
    std::string der = decodeBase64(base64);
    gnutls_pkcs7_t pkcs7;
    ASSERT_GE(gnutls_pkcs7_init(&pkcs7), 0);
    gnutls_datum_t in = datum(der);
    ASSERT_GE(gnutls_pkcs7_import(pkcs7, &in, GNUTLS_X509_FMT_DER), 0);
    gnutls_x509_trust_list_t trust;
    gnutls_x509_trust_list_init(&trust, 0);
    ASSERT_GT(gnutls_x509_trust_list_add_trust_file(trust, gToken->caFile().c_str(), nullptr,
                                                    GNUTLS_X509_FMT_PEM, 0, 0),
              0);
    gnutls_datum_t content = datum(data);
    EXPECT_EQ(gnutls_pkcs7_verify(pkcs7, trust, nullptr, 0, 0, detached ? &content : nullptr, 0),
              0);
    if (!detached) {
      gnutls_datum_t embedded{};
      ASSERT_GE(gnutls_pkcs7_get_embedded_data(pkcs7, 0, &embedded), 0);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(embedded.data), embedded.size), data);
      gnutls_free(embedded.data);
    }
    gnutls_x509_trust_list_deinit(trust, 1);
    gnutls_pkcs7_deinit(pkcs7);
  }

  ComponentRef crypt_;
  std::int32_t lastError_ = 0;
};

TEST_F(ComponentTest, EnumeratesTheTokenAndInspectsItsCertificate) {
  EXPECT_EQ(intOf([&](auto* out) { return crypt_->GPKI_GetSlotCount(out); }), 1);
  EXPECT_EQ(intOf([&](auto* out) { return crypt_->GPKI_DetectCard(0, out); }), 1);
  auto serial = textOf([&](BSTR* out) { return crypt_->GPKI_GetSerialNumber(out); });
  ASSERT_TRUE(serial);
  EXPECT_FALSE(serial->empty());

  com::VARIANT list;
  com::variantInit(&list);
  ASSERT_EQ(crypt_->GPKI_EnumCerts(0, &list), com::S_OK);
  ASSERT_EQ(list.vt, com::VT_ARRAY | com::VT_VARIANT);
  ASSERT_EQ(list.parray->rgsabound[0].cElements, 1u);
  const auto* items = static_cast<const com::VARIANT*>(list.parray->pvData);
  ASSERT_EQ(items[0].vt, com::VT_BSTR);
  std::string certificate = com::bstrToUtf8(items[0].bstrVal).value_or("");
  com::variantClear(&list);
  EXPECT_EQ(firstCertificate(), certificate);
  auto all = textOf([&](BSTR* out) { return crypt_->GPKI_EnumCertsToString(1, out); });
  EXPECT_EQ(all, certificate + ";");

  Text cert(certificate);
  using Reader = std::function<HRESULT(BSTR*)>;
  struct Case {
    const char* what;
    Reader read;
    std::string expected;  // a pattern: '*' any run of characters, '#' one digit
  };
  auto* c = crypt_.get();
  const Case cases[] = {
      {"serial", [&](BSTR* o) { return c->CAPICertGetSerialNumber(cert, 0, o); }, "02"},
      {"subject", [&](BSTR* o) { return c->CAPICertGetSubject(cert, 0, o); },
       "*CN=Demo User*O=Quillmark Demo*"},
      {"subject CN", [&](BSTR* o) { return c->CAPICertGetSubject(cert, 1, o); }, "Demo User"},
      {"issuer CN", [&](BSTR* o) { return c->CAPICertGetIssuer(cert, 1, o); }, "Quillmark Demo CA"},
      {"citizen ID tail", [&](BSTR* o) { return c->GPKI_GetTailOfCitizenID(cert, 0, o); }, "2345"},
      {"citizen ID tail of 6", [&](BSTR* o) { return c->GPKI_GetTailOfCitizenID(cert, 6, o); },
       "012345"},
      {"organisation", [&](BSTR* o) { return c->GPKI_GetOrganizationID(cert, 0, o); },
       "ORG-00000001"},
      {"rank", [&](BSTR* o) { return c->GPKI_GetCardHolderRank(cert, 0, o); }, "Engineer"},
      {"type OID", [&](BSTR* o) { return c->GPKI_GetCertTypeOID(cert, 0, o); }, "2.999.1.1"},
      {"entity OID", [&](BSTR* o) { return c->GPKI_GetEntityOID(cert, 0, o); }, "2.999.2.1"},
      {"public key PEM", [&](BSTR* o) { return c->CAPICertGetPublicKey(cert, 1, o); },
       "-----BEGIN PUBLIC KEY-----\n*"},
      {"not before", [&](BSTR* o) { return c->CAPICertGetNotBefore(cert, 0, o); },
       "####-##-## ##:##:##"},
      {"not after (seconds)", [&](BSTR* o) { return c->CAPICertGetNotAfter(cert, 1, o); },
       "##########*"},
      {"version", [&](BSTR* o) { return c->CAPICertGetVersion(cert, 0, o); }, "3"},
      {"signature algorithm",
       [&](BSTR* o) { return c->CryptCertGetSignatureAlgorithm(cert, 0, o); }, "RSA-SHA256"},
      {"signature OID", [&](BSTR* o) { return c->CryptCertGetSignatureAlgorithm(cert, 1, o); },
       "1.2.840.113549.1.1.11"},
      {"extensions", [&](BSTR* o) { return c->CryptCertGetExtension(cert, 0, o); },
       "*2.5.29.15,1,A*"},
      {"date of birth",
       [&](BSTR* o) {
         return c->GPKI_CertGetSubjectDirectoryAttrs(cert, Text("1.3.6.1.5.5.7.9.1"), 0, o);
       },
       "19800101120000Z"},
      {"all directory attributes",
       [&](BSTR* o) { return c->GPKI_CertGetSubjectDirectoryAttrs(cert, Text(""), 0, o); },
       "1.3.6.1.5.5.7.9.1=19800101120000Z"},
  };
  for (const Case& check : cases) {
    auto value = textOf(check.read);
    ASSERT_TRUE(value) << check.what << ": error " << lastError_;
    EXPECT_TRUE(matches(*value, check.expected)) << check.what << ": " << *value;
  }
  EXPECT_EQ(intOf([&](auto* out) { return c->GPKI_GetCertType(cert, 0, out); }), 3);

  // The public key is the certificate's own.
  auto spki = textOf([&](BSTR* o) { return c->CAPICertGetPublicKey(cert, 0, o); });
  ASSERT_TRUE(spki);
  gnutls_pubkey_t key;
  gnutls_pubkey_init(&key);
  std::string spkiDer = decodeBase64(*spki);
  gnutls_datum_t keyDer = datum(spkiDer);
  EXPECT_GE(gnutls_pubkey_import(key, &keyDer, GNUTLS_X509_FMT_DER), 0);
  gnutls_pubkey_deinit(key);

  // Fields the certificate does not carry.
  EXPECT_FALSE(textOf([&](BSTR* o) { return c->GPKI_GetEntityOID(cert, 1, o); }));
  EXPECT_EQ(lastError_, kNotPresent);
  EXPECT_FALSE(textOf([&](BSTR* o) {
    return c->GPKI_CertGetSubjectDirectoryAttrs(cert, Text("1.3.6.1.5.5.7.9.3"), 0, o);
  }));
  EXPECT_EQ(lastError_, kNotPresent);
}

TEST_F(ComponentTest, WrongPinClearsTheLoginAndCountsUntilTheRightOne) {
  auto verify = [&](const char* pin) {
    return intOf([&](auto* out) { return crypt_->GPKI_VerifyPIN(Text(pin), 0, out); });
  };
  auto errors = [&] {
    return intOf([&](auto* out) { return crypt_->GPKI_GetErrorPINCount(out); });
  };
  ASSERT_EQ(verify(kTokenPin), 0);
  ASSERT_TRUE(signData("", "after login", "65001", 0, 0)) << lastError_;

  EXPECT_FALSE(verify("000000"));
  EXPECT_EQ(lastError_, kPinIncorrect);
  EXPECT_EQ(errors(), 1);
  // The wrong PIN ended the earlier login: nothing signs without a PIN now.
  EXPECT_FALSE(signData("", "no login", "65001", 0, 0));
  EXPECT_EQ(lastError_, kPinEmpty);
  EXPECT_FALSE(verify("111111"));
  EXPECT_EQ(errors(), 2);
  EXPECT_FALSE(verify(""));
  EXPECT_EQ(lastError_, kPinEmpty);
  EXPECT_EQ(errors(), 2);

  EXPECT_EQ(verify(kTokenPin), 0);
  EXPECT_EQ(errors(), 0);
  EXPECT_TRUE(signData("", "after login", "65001", 0, 0));
}

// Login is the whole process's on a PKCS#11 token; each page must still only use its own.
TEST_F(ComponentTest, PagesShareTheTokenButNotTheirLogins) {
  ComponentRef other;
  ASSERT_NE(other.get(), nullptr);
  auto sign = [](ComponentRef& page) {
    BSTR out = nullptr;
    HRESULT result = page->GPKI_PureSign(nullptr, Text("data"), Text(""), 0, 0, &out);
    com::sysFreeString(out);
    return com::succeeded(result) ? 0 : page.lastError();
  };
  BSTR cipher = nullptr;
  ASSERT_EQ(crypt_->GPKI_RSAEncryptByCert(Text(firstCertificate()), Text("data"), 0, &cipher),
            com::S_OK);
  Text cipherText(take(cipher));
  auto decrypt = [&](ComponentRef& page) {
    BSTR out = nullptr;
    HRESULT result = page->GPKI_RSADecrypt(cipherText, nullptr, 0, &out);
    std::string plain = take(out);
    return com::succeeded(result) && plain == "data" ? 0 : page.lastError();
  };
  std::int32_t value = -1;
  ASSERT_EQ(crypt_->GPKI_VerifyPIN(Text(kTokenPin), 0, &value), com::S_OK);
  ASSERT_EQ(sign(crypt_), 0);
  ASSERT_EQ(decrypt(crypt_), 0);

  // The other page's wrong PIN logs the token out for the process; this page's next operations
  // log in again with its own PIN.
  EXPECT_LT(other->GPKI_VerifyPIN(Text("000000"), 0, &value), 0);
  EXPECT_EQ(decrypt(crypt_), 0);
  EXPECT_EQ(sign(crypt_), 0);
  EXPECT_EQ(decrypt(other), kPinEmpty);
  // ...which does not make the other page logged in.
  EXPECT_EQ(sign(other), kPinEmpty);
  EXPECT_EQ(other->GPKI_VerifyPIN(Text(kTokenPin), 0, &value), com::S_OK);
  EXPECT_EQ(sign(other), 0);
  EXPECT_EQ(sign(crypt_), 0);
}

TEST_F(ComponentTest, SignedDataVerifiesWithTheCodePageBytesAndChosenHash) {
  struct Case {
    std::string text;
    const char* codePage;
    int flags;
    int hash;
    std::string signedBytes;
    const char* algorithm;
  };
  const Case cases[] = {
      {"h\xC3\xA9llo", "65001", 0, 0, "h\xC3\xA9llo", "RSA-SHA256"},
      {"\xE4\xB8\xAD\xE6\x96\x87", "950", 0, 0, "\xA4\xA4\xA4\xE5", "RSA-SHA256"},  // CP950
      {"\xE4\xB8\xAD\xE6\x96\x87", "", 0x1, 3, "\xE4\xB8\xAD\xE6\x96\x87", "RSA-SHA384"},
      {"AAEC/w==", "", 0x2, 4, std::string("\x00\x01\x02\xFF", 4), "RSA-SHA512"},
      {"legacy", "65001", 0, 1, "legacy", "RSA-SHA1"},
  };
  for (const Case& check : cases) {
    SCOPED_TRACE(check.codePage + std::string(" flags ") + std::to_string(check.flags));
    auto signature = signData(kTokenPin, check.text, check.codePage, check.flags, check.hash);
    ASSERT_TRUE(signature) << "error " << lastError_;
    expectValidCms(*signature, check.signedBytes, (check.flags & 0x1) != 0);
    auto algorithm = textOf(
        [&](BSTR* out) { return crypt_->CryptSignatureGetAlgorithm(Text(*signature), 0, 0, out); });
    EXPECT_EQ(algorithm, check.algorithm);
  }
  EXPECT_FALSE(signData(kTokenPin, "x", "65001", 0, 9));
  EXPECT_EQ(lastError_, kBadFlag);
  EXPECT_FALSE(signData(kTokenPin, "\xE4\xB8\xAD", "1252", 0, 0));  // no form in Latin-1
  EXPECT_EQ(lastError_, kConversion);
  EXPECT_FALSE(signData(kTokenPin, "x", "no-such-code-page", 0, 0));
  EXPECT_EQ(lastError_, kCodePage);
  auto cached = textOf([&](BSTR* out) { return crypt_->GPKI_GetCachedCert(out); });
  EXPECT_EQ(cached, firstCertificate());
}

TEST_F(ComponentTest, PureSignatureVerifiesWithTheCertificateKey) {
  auto signature = textOf([&](BSTR* out) {
    return crypt_->GPKI_PureSign(Text(kTokenPin), Text("raw data"), Text("65001"), 0, 0, out);
  });
  ASSERT_TRUE(signature) << lastError_;
  std::string der = decodeBase64(firstCertificate());
  gnutls_x509_crt_t crt;
  gnutls_x509_crt_init(&crt);
  gnutls_datum_t crtDer = datum(der);
  ASSERT_GE(gnutls_x509_crt_import(crt, &crtDer, GNUTLS_X509_FMT_DER), 0);
  gnutls_pubkey_t key;
  gnutls_pubkey_init(&key);
  ASSERT_GE(gnutls_pubkey_import_x509(key, crt, 0), 0);
  std::string data = "raw data", sig = decodeBase64(*signature), other = "other data";
  gnutls_datum_t dataDatum = datum(data), sigDatum = datum(sig), otherDatum = datum(other);
  EXPECT_GE(gnutls_pubkey_verify_data2(key, GNUTLS_SIGN_RSA_SHA256, 0, &dataDatum, &sigDatum), 0);
  EXPECT_LT(gnutls_pubkey_verify_data2(key, GNUTLS_SIGN_RSA_SHA256, 0, &otherDatum, &sigDatum), 0);
  gnutls_pubkey_deinit(key);
  gnutls_x509_crt_deinit(crt);
}

TEST_F(ComponentTest, InitUpdateFinalSignsSeveralDocumentsWithOneLogin) {
  auto update = [&](const std::string& data) {
    return textOf([&](BSTR* out) {
      return crypt_->GPKI_SignDataUpdate(Text(data), Text("65001"), 0, 0, out);
    });
  };
  EXPECT_FALSE(update("before init"));
  EXPECT_EQ(lastError_, kNotLoggedIn);
  ASSERT_EQ(intOf([&](auto* out) { return crypt_->GPKI_SignDataInit(Text(kTokenPin), 0, out); }),
            0);
  for (const char* document : {"first", "second"}) {
    auto signature = update(document);
    ASSERT_TRUE(signature) << lastError_;
    expectValidCms(*signature, document, false);
  }
  EXPECT_EQ(intOf([&](auto* out) { return crypt_->GPKI_SignDataFinal(0, out); }), 0);
  EXPECT_FALSE(update("after final"));
  EXPECT_EQ(lastError_, kNotLoggedIn);

  // SignInitLogin insists on a PIN even while logged in.
  ASSERT_EQ(intOf([&](auto* out) { return crypt_->GPKI_SignInit(Text(kTokenPin), 0, out); }), 0);
  EXPECT_FALSE(intOf([&](auto* out) { return crypt_->GPKI_SignInitLogin(Text(""), 0, out); }));
  EXPECT_EQ(lastError_, kPinEmpty);
  EXPECT_EQ(intOf([&](auto* out) { return crypt_->GPKI_SignFinal(0, out); }), 0);
}

TEST_F(ComponentTest, EncryptionRoundTripsThroughTheTokenKey) {
  Text cert(firstCertificate());
  const std::string text = "secret \xE2\x82\xAC 42";
  auto envelope =
      textOf([&](BSTR* out) { return crypt_->GPKI_EncryptByCert(cert, Text(text), 0, out); });
  ASSERT_TRUE(envelope) << lastError_;
  auto raw =
      textOf([&](BSTR* out) { return crypt_->GPKI_RSAEncryptByCert(cert, Text(text), 0, out); });
  ASSERT_TRUE(raw) << lastError_;

  // Nothing decrypts before a login.
  EXPECT_FALSE(textOf([&](BSTR* out) { return crypt_->GPKI_Decrypt(Text(*envelope), 0, 0, out); }));
  EXPECT_EQ(lastError_, kNotLoggedIn);

  EXPECT_EQ(textOf([&](BSTR* out) {
              return crypt_->GPKI_DecryptEx(Text(kTokenPin), Text(*envelope), 0, 0, out);
            }),
            text);
  EXPECT_EQ(textOf([&](BSTR* out) { return crypt_->GPKI_Decrypt(Text(*envelope), 0, 2, out); }),
            text);
  EXPECT_EQ(textOf([&](BSTR* out) {
              return crypt_->GPKI_RSADecrypt(Text(*raw), Text(kTokenPin), 0, out);
            }),
            text);

  // Binary data, in and out as Base64, and large enough for several cipher blocks.
  std::string bytes(1000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  std::string bytesBase64 = tool::base64Encode(bytes);
  auto binary = textOf(
      [&](BSTR* out) { return crypt_->GPKI_EncryptByCert(cert, Text(bytesBase64), 0x2, out); });
  ASSERT_TRUE(binary);
  EXPECT_EQ(textOf([&](BSTR* out) { return crypt_->GPKI_Decrypt(Text(*binary), 0x2, 0, out); }),
            bytesBase64);

  // To a new file only.
  std::string path = gToken->path() + "/plain.bin";
  EXPECT_EQ(intOf([&](auto* out) {
              return crypt_->GPKI_Decrypt2File(Text(*binary), Text(path), 0, 0, out);
            }),
            1000);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
  EXPECT_FALSE(intOf(
      [&](auto* out) { return crypt_->GPKI_Decrypt2File(Text(*binary), Text(path), 0, 0, out); }));
  EXPECT_EQ(lastError_, kFileExists);

  // Damaged cipher texts.
  std::string damaged = decodeBase64(*envelope);
  damaged[damaged.size() - 5] ^= 0x55;
  auto broken = textOf([&](BSTR* out) {
    return crypt_->GPKI_Decrypt(Text(tool::base64Encode(damaged)), 0, 0, out);
  });
  EXPECT_FALSE(broken && *broken == text);
  EXPECT_FALSE(textOf([&](BSTR* out) { return crypt_->GPKI_Decrypt(Text("AAAA"), 0, 0, out); }));
  EXPECT_EQ(lastError_, kBadData);
  std::string other = decodeBase64(*raw);
  other[10] ^= 1;
  EXPECT_FALSE(textOf([&](BSTR* out) {
    return crypt_->GPKI_RSADecrypt(Text(tool::base64Encode(other)), Text(""), 0, out);
  }));
  EXPECT_EQ(lastError_, kDecrypt);
}

// Every method, called with missing, empty and junk arguments, answers without crashing, gives
// no output when it fails, and says why.
TEST_F(ComponentTest, EveryMethodSurvivesMissingAndJunkArguments) {
  for (const char* junk : {static_cast<const char*>(nullptr), "", "\xFF\xFE<x>&;/..", "-1"}) {
    std::optional<Text> owned;
    if (junk != nullptr) owned.emplace(junk);
    BSTR t = owned ? static_cast<BSTR>(*owned) : nullptr;
    std::int32_t n = junk == nullptr ? 0 : -1;
    auto* c = crypt_.get();
    std::vector<std::function<HRESULT(BSTR*, std::int32_t*, com::VARIANT*)>> calls = {
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->get_lastError(i); },
        [&](BSTR*, std::int32_t*, com::VARIANT* v) { return c->GPKI_EnumCerts(n, v); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->CAPICertGetSerialNumber(t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->CAPICertGetIssuer(t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->CAPICertGetSubject(t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_GetTailOfCitizenID(t, n, o); },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_GetCertType(t, n, i); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_GetOrganizationID(t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_GetCardHolderRank(t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_GetCertTypeOID(t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_GetEntityOID(t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->CAPICertGetPublicKey(t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->CAPICertGetNotBefore(t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->CAPICertGetNotAfter(t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->CAPICertGetVersion(t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_EncryptByCert(t, t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_Decrypt(t, n, n, o); },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_Decrypt2File(t, t, n, n, i); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->GPKI_XMLSignTemplate(t, t, t, n, o);
        },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_SetReaderSlot(n, n, i); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_EnumCertsToString(n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_Base64Encode(t, t, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_Base64Decode(t, t, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_DecryptEx(t, t, n, n, o); },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_SignDataInit(t, n, i); },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_SignDataFinal(n, i); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->GPKI_XMLSignTemplateFile(t, t, t, n, o);
        },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->GPKI_XMLCalcTemplateDigest(t, t, o);
        },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->GPKI_XMLCalcTemplateFileDigest(t, t, o);
        },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->GPKI_XMLSignTemplateDigest(t, t, t, n, o);
        },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->GPKI_XMLSignTemplateFileUpdate(t, t, n, o);
        },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_SignInit(t, n, i); },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_SignFinal(n, i); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->GPKI_XMLSignTemplateDigestUpdate(t, t, n, o);
        },
        [&](BSTR*, std::int32_t*, com::VARIANT*) { return c->SetXMLReferenceDirs(t); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_GetSerialNumber(o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_RSADecrypt(t, t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_RSAEncryptByCert(t, t, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->GPKI_XMLSignTemplateUpdate(t, t, n, o);
        },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) {
          return c->GPKI_XMLSignTemplateFile2File(t, t, t, t, n, i);
        },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) {
          return c->GPKI_XMLSignTemplateDigest2File(t, t, t, t, n, i);
        },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_GetAttributeCert(t, t, n, o); },
        [&](BSTR*, std::int32_t*, com::VARIANT*) { return c->SetCodePage(n); },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_GetSlotCount(i); },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_VerifyPIN(t, n, i); },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_GetErrorPINCount(i); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GetVersion(n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_SignData(t, t, t, n, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->GPKI_SignDataUpdate(t, t, n, n, o);
        },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_PureSign(t, t, t, n, n, o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->CryptCertGetSignatureAlgorithm(t, n, o);
        },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->CryptSignatureGetAlgorithm(t, n, n, o);
        },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_SignInitLogin(t, n, i); },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->GPKI_DetectCard(n, i); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->GPKI_GetCachedCert(o); },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) {
          return c->GPKI_CertGetSubjectDirectoryAttrs(t, t, n, o);
        },
        [&](BSTR* o, std::int32_t*, com::VARIANT*) { return c->CryptCertGetExtension(t, n, o); },
        [&](BSTR*, std::int32_t* i, com::VARIANT*) { return c->SetDialogString(n, n, t, i); },
    };
    ASSERT_EQ(calls.size(), 58u);
    for (std::size_t index = 0; index < calls.size(); ++index) {
      BSTR out = nullptr;
      std::int32_t number = -12345;
      com::VARIANT variant;
      com::variantInit(&variant);
      HRESULT result = calls[index](&out, &number, &variant);
      if (com::failed(result)) {
        EXPECT_EQ(out, nullptr) << "method " << index;
        EXPECT_EQ(variant.vt, com::VT_EMPTY) << "method " << index;
        EXPECT_NE(crypt_.lastError(), 0) << "method " << index;
      }
      com::sysFreeString(out);
      com::variantClear(&variant);
    }
  }
}

constexpr char kTemplate[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<Order xmlns="urn:example:order">
  <Item qty="2">Caf&#233; au lait</Item>
  <Signature xmlns="http://www.w3.org/2000/09/xmldsig#" Id="%ID%">
    <SignedInfo>
      <CanonicalizationMethod Algorithm="http://www.w3.org/TR/2001/REC-xml-c14n-20010315"/>
      <SignatureMethod Algorithm="http://www.w3.org/2001/04/xmldsig-more#rsa-sha256"/>
      <Reference URI="">
        <Transforms>
          <Transform Algorithm="http://www.w3.org/2000/09/xmldsig#enveloped-signature"/>
        </Transforms>
        <DigestMethod Algorithm="http://www.w3.org/2001/04/xmlenc#sha256"/>
        <DigestValue></DigestValue>
      </Reference>%EXTRA%
    </SignedInfo>
    <SignatureValue/>
    <KeyInfo><X509Data/></KeyInfo>
  </Signature>
</Order>
)";

std::string xmlTemplate(const std::string& id, const std::string& extra = "") {
  std::string xml = kTemplate;
  xml.replace(xml.find("%ID%"), 4, id);
  xml.replace(xml.find("%EXTRA%"), 7, extra);
  return xml;
}

class ComponentXmlTest : public ComponentTest {
 protected:
  // xmlsec1's verdict on a signed document, with the demo CA trusted.
  bool xmlsecVerifies(const std::string& xml) {
    std::string file = gToken->path() + "/verify-" + std::to_string(++files_) + ".xml";
    std::ofstream(file, std::ios::binary) << xml;
    // Detached references resolve against the working folder.
    auto process = platform::ChildProcess::start(
        "/bin/sh",
        {"-c", "cd '" + gToken->path() + "' && exec /usr/bin/xmlsec1 --verify --trusted-pem '" +
                   gToken->caFile() + "' '" + file + "'"},
        {}, gToken->path() + "/xmlsec-output.txt");
    if (!process) return false;
    std::optional<int> status = process->wait(60000);
    return status && *status == 0;
  }
  int files_ = 0;
};

TEST_F(ComponentXmlTest, SignedTemplatesVerifyWithXmlsec) {
  ASSERT_TRUE(std::filesystem::exists("/usr/bin/xmlsec1"));
  std::string xml = xmlTemplate("sig-1");
  auto signedXml = textOf([&](BSTR* out) {
    return crypt_->GPKI_XMLSignTemplate(Text(kTokenPin), Text(xml), Text("sig-1"), 0, out);
  });
  ASSERT_TRUE(signedXml) << lastError_;
  EXPECT_NE(signedXml->find("<X509Certificate>MII"), std::string::npos);
  EXPECT_TRUE(xmlsecVerifies(*signedXml));

  // Digests first, signature later (with the login of the first call).
  auto digested = textOf(
      [&](BSTR* out) { return crypt_->GPKI_XMLCalcTemplateDigest(Text(xml), Text(""), out); });
  ASSERT_TRUE(digested);
  EXPECT_EQ(digested->find("<DigestValue></DigestValue>"), std::string::npos);
  auto late = textOf([&](BSTR* out) {
    return crypt_->GPKI_XMLSignTemplateDigestUpdate(Text(*digested), Text("sig-1"), 0, out);
  });
  ASSERT_TRUE(late) << lastError_;
  EXPECT_TRUE(xmlsecVerifies(*late));
  EXPECT_FALSE(textOf([&](BSTR* out) {
    return crypt_->GPKI_XMLSignTemplateDigest(Text(kTokenPin), Text(xml), Text(""), 0, out);
  }));
  EXPECT_EQ(lastError_, kXmlNoDigest);

  // A detached file found in the reference folders, file to file.
  std::string refs = gToken->path() + "/refs";
  std::filesystem::create_directories(refs);
  std::ofstream(refs + "/attachment.txt") << "attached bytes";
  ASSERT_EQ(crypt_->SetXMLReferenceDirs(Text("/nonexistent;" + refs)), hresultOf(5006));
  ASSERT_EQ(crypt_->SetXMLReferenceDirs(Text(refs)), com::S_OK);
  std::string in = gToken->path() + "/in.xml", out = gToken->path() + "/out.xml";
  std::ofstream(in) << xmlTemplate(
      "sig-2",
      "\n      <Reference URI=\"attachment.txt\"><DigestMethod "
      "Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/><DigestValue/></Reference>");
  auto written = intOf([&](auto* result) {
    return crypt_->GPKI_XMLSignTemplateFile2File(Text(kTokenPin), Text(in), Text(out),
                                                 Text("sig-2"), 0, result);
  });
  ASSERT_TRUE(written) << lastError_;
  std::ifstream file(out, std::ios::binary);
  std::string outText((std::istreambuf_iterator<char>(file)), {});
  EXPECT_EQ(static_cast<std::size_t>(*written), outText.size());
  // xmlsec1 resolves the detached reference relative to the document.
  std::filesystem::copy_file(refs + "/attachment.txt", gToken->path() + "/attachment.txt");
  EXPECT_TRUE(xmlsecVerifies(outText));
  EXPECT_FALSE(intOf([&](auto* result) {
    return crypt_->GPKI_XMLSignTemplateFile2File(Text(kTokenPin), Text(in), Text(out),
                                                 Text("sig-2"), 0, result);
  }));
  EXPECT_EQ(lastError_, kFileExists);
}

TEST_F(ComponentXmlTest, BadTemplatesFail) {
  struct Case {
    std::string xml;
    const char* signId;
    int error;
  };
  const Case cases[] = {
      {"<Order><Item/></Order>", "", kXmlNoSignature},
      {xmlTemplate("sig-1"), "other-id", kXmlNoSignature},
      {"<Order><Item></Order>", "", kXmlParse},
      {"", "", kMissingParameter},
      {"<!DOCTYPE d [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><d>&x;</d>", "", kXmlNoSignature},
  };
  for (const Case& check : cases) {
    SCOPED_TRACE(check.xml);
    EXPECT_FALSE(textOf([&](BSTR* out) {
      return crypt_->GPKI_XMLSignTemplate(Text(kTokenPin), Text(check.xml), Text(check.signId), 0,
                                          out);
    }));
    EXPECT_EQ(lastError_, check.error);
  }
  EXPECT_FALSE(textOf([&](BSTR* out) {
    return crypt_->GPKI_XMLSignTemplateFile(Text(kTokenPin), Text("/etc/shadow-missing"), Text(""),
                                            0, out);
  }));
  EXPECT_EQ(lastError_, 5006);
}

TEST_F(ComponentTest, BadInputFailsWithALastErrorAndNoOutput) {
  std::string good = firstCertificate();
  ASSERT_FALSE(good.empty());
  std::string der = decodeBase64(good);
  struct Case {
    const char* what;
    std::string cert;
    int error;
  };
  const Case cases[] = {
      {"empty", "", kMissingParameter},
      {"not Base64", "MII*not base64*", kNotBase64},
      {"Base64, not DER", tool::base64Encode("hello world"), kNotCertificate},
      {"truncated", tool::base64Encode(der.substr(0, der.size() / 2)), kNotCertificate},
      {"trailing bytes", tool::base64Encode(der + "xx"), kNotCertificate},
      {"huge", std::string(400000, 'A'), kTooLarge},
      {"PEM without end", "-----BEGIN CERTIFICATE-----\n" + good, kNotCertificate},
  };
  for (const Case& check : cases) {
    EXPECT_FALSE(textOf([&](BSTR* out) {
      return crypt_->CAPICertGetSubject(Text(check.cert), 0, out);
    })) << check.what;
    EXPECT_EQ(lastError_, check.error) << check.what;
    EXPECT_FALSE(textOf([&](BSTR* out) {
      return crypt_->GPKI_EncryptByCert(Text(check.cert), Text("data"), 0, out);
    })) << check.what;
    EXPECT_EQ(lastError_, check.error) << check.what;
  }
  // PEM is accepted as well.
  EXPECT_TRUE(textOf([&](BSTR* out) {
    return crypt_->CAPICertGetSubject(
        Text("-----BEGIN CERTIFICATE-----\n" + good + "\n-----END CERTIFICATE-----\n"), 0, out);
  }));

  // Base64 helpers and code pages.
  EXPECT_EQ(textOf([&](BSTR* out) {
              return crypt_->GPKI_Base64Encode(Text("\xE4\xB8\xAD\xE6\x96\x87"), Text("950"), out);
            }),
            "pKSk5Q==");
  EXPECT_EQ(textOf([&](BSTR* out) {
              return crypt_->GPKI_Base64Decode(Text("pKSk5Q=="), Text("950"), out);
            }),
            "\xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_FALSE(
      textOf([&](BSTR* out) { return crypt_->GPKI_Base64Encode(Text("x"), Text("99999"), out); }));
  EXPECT_EQ(lastError_, kCodePage);
  EXPECT_FALSE(textOf([&](BSTR* out) {
    return crypt_->GPKI_Base64Decode(Text("////"), Text("65001"), out);  // not UTF-8
  }));
  EXPECT_EQ(lastError_, kConversion);
  EXPECT_FALSE(
      textOf([&](BSTR* out) { return crypt_->GPKI_Base64Decode(Text("abc"), Text(""), out); }));
  EXPECT_EQ(lastError_, kNotBase64);
  EXPECT_EQ(crypt_->SetCodePage(99999), hresultOf(kCodePage));
  EXPECT_EQ(crypt_->SetCodePage(950), com::S_OK);
  EXPECT_EQ(textOf([&](BSTR* out) {
              return crypt_->GPKI_Base64Encode(Text("\xE4\xB8\xAD"), nullptr, out);
            }),
            "pKQ=");

  // PINs, slots, flags.
  EXPECT_FALSE(intOf([&](auto* out) { return crypt_->GPKI_VerifyPIN(nullptr, 0, out); }));
  EXPECT_EQ(lastError_, kPinEmpty);
  EXPECT_FALSE(intOf([&](auto* out) { return crypt_->GPKI_SetReaderSlot(0, 5, out); }));
  EXPECT_EQ(lastError_, kSlotRange);
  EXPECT_FALSE(intOf([&](auto* out) { return crypt_->GPKI_SetReaderSlot(0, -1, out); }));
  EXPECT_EQ(lastError_, kSlotRange);
  EXPECT_EQ(intOf([&](auto* out) { return crypt_->GPKI_SetReaderSlot(0, 0, out); }), 0);
  EXPECT_FALSE(textOf([&](BSTR* out) { return crypt_->GetVersion(7, out); }));
  EXPECT_EQ(lastError_, kBadFlag);
  EXPECT_EQ(textOf([&](BSTR* out) { return crypt_->GetVersion(0, out); }), "1.0.0");
  EXPECT_FALSE(textOf([&](BSTR* out) {
    return crypt_->CryptSignatureGetAlgorithm(Text(tool::base64Encode("junk")), 0, 0, out);
  }));
  EXPECT_EQ(lastError_, kBadData);
  EXPECT_FALSE(
      textOf([&](BSTR* out) { return crypt_->GPKI_GetAttributeCert(nullptr, nullptr, 0, out); }));
  EXPECT_EQ(lastError_, kNotPresent);
  EXPECT_EQ(intOf([&](auto* out) { return crypt_->SetDialogString(1, 2, Text("PIN:"), out); }), 0);
}

}  // namespace
}  // namespace qm::test
