// Interface of the certificate and smart-card crypto component.
//
// The component is a library of the component runtime (platform/component_runtime.h): the file
// "{9C003E43-BC2A-80BF-F099-672E6A19792D}.so" in the components folder, whose factory creates the
// class kZdgpkiCryptClassId and answers the interface kIZDGPKICryptInterfaceId.
//
// Slot order is the binary contract: slots 0-2 IUnknown, 3-6 IDispatch, then method i at slot
// 7 + i. Never reorder, insert or remove a method; the adapter calls them by position.
//
// Calling convention of every method:
//   - returns an HRESULT; negative is failure, and then the output is left untouched (null / 0 /
//     VT_EMPTY);
//   - BSTR inputs belong to the caller and may be null (a parameter the page did not send); the
//     method reads them only during the call and must not keep or free them. Texts that carry
//     PINs are wiped by the caller afterwards;
//   - integer inputs are 32-bit signed values;
//   - the output, when there is one, is always last. A BSTR or VARIANT output is allocated with
//     the ComponentRuntimeApi the factory received and then belongs to the caller;
//   - methods must not throw.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/component_runtime.h"

namespace qm::component {

using com::BSTR;
using com::HRESULT;
using com::VARIANT;

// {9C003E43-BC2A-80BF-F099-672E6A19792D}
inline constexpr com::Guid kZdgpkiCryptClassId = {
    0x9C003E43, 0xBC2A, 0x80BF, {0xF0, 0x99, 0x67, 0x2E, 0x6A, 0x19, 0x79, 0x2D}};
// {1FAA450B-4AE4-C845-D9FD-3A346F778884}
inline constexpr com::Guid kIZDGPKICryptInterfaceId = {
    0x1FAA450B, 0x4AE4, 0xC845, {0xD9, 0xFD, 0x3A, 0x34, 0x6F, 0x77, 0x88, 0x84}};

inline constexpr int kZdgpkiCryptMethodCount = 58;
inline constexpr int kZdgpkiCryptFirstMethodSlot = 7;

// Method names in slot order: kZdgpkiCryptMethodNames[i] sits at slot 7 + i.
inline constexpr std::array<std::string_view, kZdgpkiCryptMethodCount> kZdgpkiCryptMethodNames = {
    "get_lastError",
    "GPKI_EnumCerts",
    "CAPICertGetSerialNumber",
    "CAPICertGetIssuer",
    "CAPICertGetSubject",
    "GPKI_GetTailOfCitizenID",
    "GPKI_GetCertType",
    "GPKI_GetOrganizationID",
    "GPKI_GetCardHolderRank",
    "GPKI_GetCertTypeOID",
    "GPKI_GetEntityOID",
    "CAPICertGetPublicKey",
    "CAPICertGetNotBefore",
    "CAPICertGetNotAfter",
    "CAPICertGetVersion",
    "GPKI_EncryptByCert",
    "GPKI_Decrypt",
    "GPKI_Decrypt2File",
    "GPKI_XMLSignTemplate",
    "GPKI_SetReaderSlot",
    "GPKI_EnumCertsToString",
    "GPKI_Base64Encode",
    "GPKI_Base64Decode",
    "GPKI_DecryptEx",
    "GPKI_SignDataInit",
    "GPKI_SignDataFinal",
    "GPKI_XMLSignTemplateFile",
    "GPKI_XMLCalcTemplateDigest",
    "GPKI_XMLCalcTemplateFileDigest",
    "GPKI_XMLSignTemplateDigest",
    "GPKI_XMLSignTemplateFileUpdate",
    "GPKI_SignInit",
    "GPKI_SignFinal",
    "GPKI_XMLSignTemplateDigestUpdate",
    "SetXMLReferenceDirs",
    "GPKI_GetSerialNumber",
    "GPKI_RSADecrypt",
    "GPKI_RSAEncryptByCert",
    "GPKI_XMLSignTemplateUpdate",
    "GPKI_XMLSignTemplateFile2File",
    "GPKI_XMLSignTemplateDigest2File",
    "GPKI_GetAttributeCert",
    "SetCodePage",
    "GPKI_GetSlotCount",
    "GPKI_VerifyPIN",
    "GPKI_GetErrorPINCount",
    "GetVersion",
    "GPKI_SignData",
    "GPKI_SignDataUpdate",
    "GPKI_PureSign",
    "CryptCertGetSignatureAlgorithm",
    "CryptSignatureGetAlgorithm",
    "GPKI_SignInitLogin",
    "GPKI_DetectCard",
    "GPKI_GetCachedCert",
    "GPKI_CertGetSubjectDirectoryAttrs",
    "CryptCertGetExtension",
    "SetDialogString",
};

// A dual interface. GPKI_EnumCerts answers a VARIANT: an array of VARIANT (each VT_BSTR, VT_I4
// or VT_INT) or VT_BOOL.
class IZDGPKICrypt : public com::IDispatch {
 public:
  // slot 7, method 0
  virtual HRESULT get_lastError(std::int32_t* result) = 0;
  // slot 8, method 1
  virtual HRESULT GPKI_EnumCerts(std::int32_t iFlags, VARIANT* result) = 0;
  // slot 9, method 2
  virtual HRESULT CAPICertGetSerialNumber(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 10, method 3
  virtual HRESULT CAPICertGetIssuer(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 11, method 4
  virtual HRESULT CAPICertGetSubject(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 12, method 5
  virtual HRESULT GPKI_GetTailOfCitizenID(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 13, method 6
  virtual HRESULT GPKI_GetCertType(BSTR strCert, std::int32_t iFlags, std::int32_t* result) = 0;
  // slot 14, method 7
  virtual HRESULT GPKI_GetOrganizationID(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 15, method 8
  virtual HRESULT GPKI_GetCardHolderRank(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 16, method 9
  virtual HRESULT GPKI_GetCertTypeOID(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 17, method 10
  virtual HRESULT GPKI_GetEntityOID(BSTR cert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 18, method 11
  virtual HRESULT CAPICertGetPublicKey(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 19, method 12
  virtual HRESULT CAPICertGetNotBefore(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 20, method 13
  virtual HRESULT CAPICertGetNotAfter(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 21, method 14
  virtual HRESULT CAPICertGetVersion(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 22, method 15
  virtual HRESULT GPKI_EncryptByCert(BSTR strCert, BSTR strData, std::int32_t iFlags,
                                     BSTR* result) = 0;
  // slot 23, method 16
  virtual HRESULT GPKI_Decrypt(BSTR strCipher, std::int32_t iFlags, std::int32_t iKeyUsage,
                               BSTR* result) = 0;
  // slot 24, method 17
  virtual HRESULT GPKI_Decrypt2File(BSTR strCipher, BSTR strOutFilePath, std::int32_t iFlags,
                                    std::int32_t iKeyUsage, std::int32_t* result) = 0;
  // slot 25, method 18
  virtual HRESULT GPKI_XMLSignTemplate(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId,
                                       std::int32_t iFlags, BSTR* result) = 0;
  // slot 26, method 19
  virtual HRESULT GPKI_SetReaderSlot(std::int32_t iFlags, std::int32_t slot,
                                     std::int32_t* result) = 0;
  // slot 27, method 20
  virtual HRESULT GPKI_EnumCertsToString(std::int32_t iFlags, BSTR* result) = 0;
  // slot 28, method 21
  virtual HRESULT GPKI_Base64Encode(BSTR srcData, BSTR codePage, BSTR* result) = 0;
  // slot 29, method 22
  virtual HRESULT GPKI_Base64Decode(BSTR base64String, BSTR outCodePage, BSTR* result) = 0;
  // slot 30, method 23
  virtual HRESULT GPKI_DecryptEx(BSTR sOptPIN, BSTR strCipher, std::int32_t iFlags,
                                 std::int32_t iKeyUsage, BSTR* result) = 0;
  // slot 31, method 24
  virtual HRESULT GPKI_SignDataInit(BSTR sOptPIN, std::int32_t lFlags, std::int32_t* result) = 0;
  // slot 32, method 25
  virtual HRESULT GPKI_SignDataFinal(std::int32_t lFlags, std::int32_t* result) = 0;
  // slot 33, method 26
  virtual HRESULT GPKI_XMLSignTemplateFile(BSTR bstrPIN, BSTR bstrXMLFilePath, BSTR bstrSignId,
                                           std::int32_t iFlags, BSTR* result) = 0;
  // slot 34, method 27
  virtual HRESULT GPKI_XMLCalcTemplateDigest(BSTR bstrXML, BSTR bstrSignId, BSTR* result) = 0;
  // slot 35, method 28
  virtual HRESULT GPKI_XMLCalcTemplateFileDigest(BSTR bstrXMLFilePath, BSTR bstrSignId,
                                                 BSTR* result) = 0;
  // slot 36, method 29
  virtual HRESULT GPKI_XMLSignTemplateDigest(BSTR bstrPIN, BSTR bstrXML, BSTR bstrSignId,
                                             std::int32_t iFlags, BSTR* result) = 0;
  // slot 37, method 30
  virtual HRESULT GPKI_XMLSignTemplateFileUpdate(BSTR bstrXMLFilePath, BSTR bstrSignId,
                                                 std::int32_t iFlags, BSTR* result) = 0;
  // slot 38, method 31
  virtual HRESULT GPKI_SignInit(BSTR sOptPIN, std::int32_t lFlags, std::int32_t* result) = 0;
  // slot 39, method 32
  virtual HRESULT GPKI_SignFinal(std::int32_t lFlags, std::int32_t* result) = 0;
  // slot 40, method 33
  virtual HRESULT GPKI_XMLSignTemplateDigestUpdate(BSTR bstrXML, BSTR bstrSignId,
                                                   std::int32_t iFlags, BSTR* result) = 0;
  // slot 41, method 34
  virtual HRESULT SetXMLReferenceDirs(BSTR bstrMultiRefDir) = 0;
  // slot 42, method 35
  virtual HRESULT GPKI_GetSerialNumber(BSTR* result) = 0;
  // slot 43, method 36
  virtual HRESULT GPKI_RSADecrypt(BSTR strCipher, BSTR strPinCode, std::int32_t iFlags,
                                  BSTR* result) = 0;
  // slot 44, method 37
  virtual HRESULT GPKI_RSAEncryptByCert(BSTR strCert, BSTR strData, std::int32_t iFlags,
                                        BSTR* result) = 0;
  // slot 45, method 38
  virtual HRESULT GPKI_XMLSignTemplateUpdate(BSTR bstrXML, BSTR bstrSignId, std::int32_t iFlags,
                                             BSTR* result) = 0;
  // slot 46, method 39
  virtual HRESULT GPKI_XMLSignTemplateFile2File(BSTR bstrPIN, BSTR bstrInXMLFilePath,
                                                BSTR bstrOutXMLFilePath, BSTR bstrSignId,
                                                std::int32_t iFlags, std::int32_t* result) = 0;
  // slot 47, method 40
  virtual HRESULT GPKI_XMLSignTemplateDigest2File(BSTR bstrPIN, BSTR bstrXML,
                                                  BSTR bstrOutXMLFilePath, BSTR bstrSignId,
                                                  std::int32_t iFlags, std::int32_t* result) = 0;
  // slot 48, method 41
  virtual HRESULT GPKI_GetAttributeCert(BSTR strReader, BSTR strPIN, std::int32_t iFlags,
                                        BSTR* result) = 0;
  // slot 49, method 42
  virtual HRESULT SetCodePage(std::int32_t codePage) = 0;
  // slot 50, method 43
  virtual HRESULT GPKI_GetSlotCount(std::int32_t* result) = 0;
  // slot 51, method 44
  virtual HRESULT GPKI_VerifyPIN(BSTR bPIN, std::int32_t iFlags, std::int32_t* result) = 0;
  // slot 52, method 45
  virtual HRESULT GPKI_GetErrorPINCount(std::int32_t* result) = 0;
  // slot 53, method 46
  virtual HRESULT GetVersion(std::int32_t flag, BSTR* result) = 0;
  // slot 54, method 47
  virtual HRESULT GPKI_SignData(BSTR sOptPIN, BSTR sData, BSTR signcodepage, std::int32_t iFlags,
                                std::int32_t iHashFlag, BSTR* result) = 0;
  // slot 55, method 48
  virtual HRESULT GPKI_SignDataUpdate(BSTR sData, BSTR signcodepage, std::int32_t iFlags,
                                      std::int32_t iHashFlag, BSTR* result) = 0;
  // slot 56, method 49
  virtual HRESULT GPKI_PureSign(BSTR sOptPIN, BSTR sData, BSTR signcodepage, std::int32_t iFlags,
                                std::int32_t iHashFlag, BSTR* result) = 0;
  // slot 57, method 50
  virtual HRESULT CryptCertGetSignatureAlgorithm(BSTR strCert, std::int32_t iFlags,
                                                 BSTR* result) = 0;
  // slot 58, method 51
  virtual HRESULT CryptSignatureGetAlgorithm(BSTR strSignature, std::int32_t iFlags,
                                             std::int32_t index, BSTR* result) = 0;
  // slot 59, method 52
  virtual HRESULT GPKI_SignInitLogin(BSTR sOptPIN, std::int32_t lFlags, std::int32_t* result) = 0;
  // slot 60, method 53
  virtual HRESULT GPKI_DetectCard(std::int32_t iFlags, std::int32_t* result) = 0;
  // slot 61, method 54
  virtual HRESULT GPKI_GetCachedCert(BSTR* result) = 0;
  // slot 62, method 55
  virtual HRESULT GPKI_CertGetSubjectDirectoryAttrs(BSTR strCert, BSTR strOID, std::int32_t iFlags,
                                                    BSTR* result) = 0;
  // slot 63, method 56
  virtual HRESULT CryptCertGetExtension(BSTR strCert, std::int32_t iFlags, BSTR* result) = 0;
  // slot 64, method 57
  virtual HRESULT SetDialogString(std::int32_t dlgID, std::int32_t IDS, BSTR value,
                                  std::int32_t* result) = 0;

 protected:
  ~IZDGPKICrypt() = default;
};

}  // namespace qm::component
