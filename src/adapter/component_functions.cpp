#include "adapter/component_functions.h"

#include <array>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>

#include "adapter/component_binding.h"
#include "adapter/result_slot.h"
#include "component/zdgpki_crypt.h"
#include "util/aes_text.h"
#include "util/diag.h"

namespace qm::adapter {

namespace {

using com::BSTR;
using com::HRESULT;
using component::IZDGPKICrypt;

constexpr int kComponentErrorResult = 61011;
constexpr int kMaxParameters = 5;

enum class ParameterKind { kText, kInteger };
enum class OutputKind { kNone, kText, kInteger, kVariant };
// kChecked: required parameters, read with the missing-key recording, and "AdapterJsonKeyCheck"
// turns a missing one into its code. kUnchecked: read plainly. kNoParameters: nothing to read.
enum class KeyCheck { kChecked, kUnchecked, kNoParameters };

// Parameters of one call. The texts may be PINs: whatever happens they are wiped before they
// are freed.
struct Arguments {
  BSTR texts[kMaxParameters + 1] = {};
  std::int32_t numbers[kMaxParameters + 1] = {};
  Arguments() = default;
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;
  ~Arguments() {
    for (BSTR text : texts) com::sysFreeStringWiped(text);
  }
};

// The method's output; released whatever happens (decrypted texts are wiped too).
struct Outputs {
  BSTR text = nullptr;
  std::int32_t number = 0;
  com::VARIANT variant = {};
  Outputs() = default;
  Outputs(const Outputs&) = delete;
  Outputs& operator=(const Outputs&) = delete;
  ~Outputs() {
    com::sysFreeStringWiped(text);
    com::variantClear(&variant);
  }
};

// How each parameter type of the interface is passed: inputs from Arguments, the output (always
// last) into Outputs.
template <typename T>
struct Pass;
template <>
struct Pass<BSTR> {
  static constexpr bool kInput = true;
  static constexpr ParameterKind kKind = ParameterKind::kText;
  static BSTR get(Arguments& in, Outputs&, std::size_t i) { return in.texts[i]; }
};
template <>
struct Pass<std::int32_t> {
  static constexpr bool kInput = true;
  static constexpr ParameterKind kKind = ParameterKind::kInteger;
  static std::int32_t get(Arguments& in, Outputs&, std::size_t i) { return in.numbers[i]; }
};
template <>
struct Pass<BSTR*> {
  static constexpr bool kInput = false;
  static constexpr OutputKind kOutput = OutputKind::kText;
  static BSTR* get(Arguments&, Outputs& out, std::size_t) { return &out.text; }
};
template <>
struct Pass<std::int32_t*> {
  static constexpr bool kInput = false;
  static constexpr OutputKind kOutput = OutputKind::kInteger;
  static std::int32_t* get(Arguments&, Outputs& out, std::size_t) { return &out.number; }
};
template <>
struct Pass<com::VARIANT*> {
  static constexpr bool kInput = false;
  static constexpr OutputKind kOutput = OutputKind::kVariant;
  static com::VARIANT* get(Arguments&, Outputs& out, std::size_t) { return &out.variant; }
};

using Invoker = HRESULT (*)(IZDGPKICrypt* component, Arguments& in, Outputs& out);

struct ComponentFunction {
  std::string_view name;
  KeyCheck keyCheck;
  int parameterCount;
  std::array<const char*, kMaxParameters> keys;
  std::array<ParameterKind, kMaxParameters> kinds;
  OutputKind output;
  Invoker invoke;
};

template <typename Method>
struct Signature;

template <typename... P>
struct Signature<HRESULT (IZDGPKICrypt::*)(P...)> {
  template <auto method, std::size_t... I>
  static HRESULT call(IZDGPKICrypt* component, Arguments& in, Outputs& out,
                      std::index_sequence<I...>) {
    return (component->*method)(Pass<P>::get(in, out, I)...);
  }
  template <auto method>
  static HRESULT invoke(IZDGPKICrypt* component, Arguments& in, Outputs& out) {
    return call<method>(component, in, out, std::index_sequence_for<P...>{});
  }

  // Describes the method; a row that does not match its method does not compile.
  template <auto method>
  static consteval ComponentFunction describe(std::string_view name, KeyCheck keyCheck,
                                              std::initializer_list<const char*> keys) {
    constexpr bool kInputs[] = {Pass<P>::kInput..., true};
    constexpr int kCount = sizeof...(P);
    int inputs = 0;
    while (inputs < kCount && kInputs[inputs]) ++inputs;
    if (inputs < kCount - 1) throw "the output must be the last parameter";
    if (inputs > kMaxParameters) throw "too many parameters";
    if (static_cast<int>(keys.size()) != inputs) throw "one key per parameter";
    if ((keyCheck == KeyCheck::kNoParameters) != (inputs == 0)) throw "key check of the row";

    ComponentFunction function{name, keyCheck, inputs, {}, {}, OutputKind::kNone, &invoke<method>};
    int i = 0;
    for (const char* key : keys) function.keys[static_cast<std::size_t>(i++)] = key;
    i = 0;
    (
        [&] {
          if constexpr (Pass<P>::kInput) {
            function.kinds[static_cast<std::size_t>(i)] = Pass<P>::kKind;
          } else {
            function.output = Pass<P>::kOutput;
          }
          ++i;
        }(),
        ...);
    return function;
  }
};

#define QM_COMPONENT_FUNCTION(method, keyCheck, ...)                           \
  Signature<decltype(&IZDGPKICrypt::method)>::describe<&IZDGPKICrypt::method>( \
      #method, KeyCheck::keyCheck, {__VA_ARGS__})

// In slot order: entry i calls the method at slot 7 + i and is "QuillmarkFunctionIndex" i.
constexpr std::array<ComponentFunction, kComponentFunctionCount> kFunctions = {
    QM_COMPONENT_FUNCTION(get_lastError, kNoParameters),
    QM_COMPONENT_FUNCTION(GPKI_EnumCerts, kChecked, "iFlags"),
    QM_COMPONENT_FUNCTION(CAPICertGetSerialNumber, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(CAPICertGetIssuer, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(CAPICertGetSubject, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_GetTailOfCitizenID, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_GetCertType, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_GetOrganizationID, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_GetCardHolderRank, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_GetCertTypeOID, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_GetEntityOID, kChecked, "cert", "iFlags"),
    QM_COMPONENT_FUNCTION(CAPICertGetPublicKey, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(CAPICertGetNotBefore, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(CAPICertGetNotAfter, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(CAPICertGetVersion, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_EncryptByCert, kChecked, "strCert", "strData", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_Decrypt, kChecked, "strCipher", "iFlags", "iKeyUsage"),
    QM_COMPONENT_FUNCTION(GPKI_Decrypt2File, kChecked, "strCipher", "strOutFilePath", "iFlags",
                          "iKeyUsage"),
    QM_COMPONENT_FUNCTION(GPKI_XMLSignTemplate, kChecked, "bstrPIN", "bstrXML", "bstrSignId",
                          "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_SetReaderSlot, kChecked, "iFlags", "slot"),
    QM_COMPONENT_FUNCTION(GPKI_EnumCertsToString, kChecked, "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_Base64Encode, kChecked, "srcData", "codePage"),
    QM_COMPONENT_FUNCTION(GPKI_Base64Decode, kChecked, "base64String", "outCodePage"),
    QM_COMPONENT_FUNCTION(GPKI_DecryptEx, kChecked, "sOptPIN", "strCipher", "iFlags", "iKeyUsage"),
    QM_COMPONENT_FUNCTION(GPKI_SignDataInit, kChecked, "sOptPIN", "lFlags"),
    QM_COMPONENT_FUNCTION(GPKI_SignDataFinal, kChecked, "lFlags"),
    QM_COMPONENT_FUNCTION(GPKI_XMLSignTemplateFile, kChecked, "bstrPIN", "bstrXMLFilePath",
                          "bstrSignId", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_XMLCalcTemplateDigest, kChecked, "bstrXML", "bstrSignId"),
    QM_COMPONENT_FUNCTION(GPKI_XMLCalcTemplateFileDigest, kChecked, "bstrXMLFilePath",
                          "bstrSignId"),
    QM_COMPONENT_FUNCTION(GPKI_XMLSignTemplateDigest, kChecked, "bstrPIN", "bstrXML", "bstrSignId",
                          "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_XMLSignTemplateFileUpdate, kChecked, "bstrXMLFilePath", "bstrSignId",
                          "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_SignInit, kChecked, "sOptPIN", "lFlags"),
    QM_COMPONENT_FUNCTION(GPKI_SignFinal, kChecked, "lFlags"),
    QM_COMPONENT_FUNCTION(GPKI_XMLSignTemplateDigestUpdate, kChecked, "bstrXML", "bstrSignId",
                          "iFlags"),
    QM_COMPONENT_FUNCTION(SetXMLReferenceDirs, kChecked, "bstrMultiRefDir"),
    QM_COMPONENT_FUNCTION(GPKI_GetSerialNumber, kNoParameters),
    QM_COMPONENT_FUNCTION(GPKI_RSADecrypt, kChecked, "strCipher", "strPinCode", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_RSAEncryptByCert, kChecked, "strCert", "strData", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_XMLSignTemplateUpdate, kChecked, "bstrXML", "bstrSignId", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_XMLSignTemplateFile2File, kChecked, "bstrPIN", "bstrInXMLFilePath",
                          "bstrOutXMLFilePath", "bstrSignId", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_XMLSignTemplateDigest2File, kChecked, "bstrPIN", "bstrXML",
                          "bstrOutXMLFilePath", "bstrSignId", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_GetAttributeCert, kChecked, "strReader", "strPIN", "iFlags"),
    QM_COMPONENT_FUNCTION(SetCodePage, kChecked, "codePage"),
    QM_COMPONENT_FUNCTION(GPKI_GetSlotCount, kNoParameters),
    QM_COMPONENT_FUNCTION(GPKI_VerifyPIN, kChecked, "bPIN", "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_GetErrorPINCount, kNoParameters),
    QM_COMPONENT_FUNCTION(GetVersion, kUnchecked, "flag"),
    QM_COMPONENT_FUNCTION(GPKI_SignData, kChecked, "sOptPIN", "sData", "signcodepage", "iFlags",
                          "iHashFlag"),
    QM_COMPONENT_FUNCTION(GPKI_SignDataUpdate, kChecked, "sData", "signcodepage", "iFlags",
                          "iHashFlag"),
    QM_COMPONENT_FUNCTION(GPKI_PureSign, kChecked, "sOptPIN", "sData", "signcodepage", "iFlags",
                          "iHashFlag"),
    QM_COMPONENT_FUNCTION(CryptCertGetSignatureAlgorithm, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(CryptSignatureGetAlgorithm, kChecked, "strSignature", "iFlags", "index"),
    QM_COMPONENT_FUNCTION(GPKI_SignInitLogin, kChecked, "sOptPIN", "lFlags"),
    QM_COMPONENT_FUNCTION(GPKI_DetectCard, kChecked, "iFlags"),
    QM_COMPONENT_FUNCTION(GPKI_GetCachedCert, kNoParameters),
    QM_COMPONENT_FUNCTION(GPKI_CertGetSubjectDirectoryAttrs, kChecked, "strCert", "strOID",
                          "iFlags"),
    QM_COMPONENT_FUNCTION(CryptCertGetExtension, kChecked, "strCert", "iFlags"),
    QM_COMPONENT_FUNCTION(SetDialogString, kChecked, "dlgID", "IDS", "value"),
};

#undef QM_COMPONENT_FUNCTION

static_assert(kComponentFunctionCount == component::kZdgpkiCryptMethodCount);
static_assert(
    [] {
      for (std::size_t i = 0; i < kFunctions.size(); ++i) {
        if (kFunctions[i].name != component::kZdgpkiCryptMethodNames[i]) return false;
      }
      return true;
    }(),
    "functions must follow the interface's slot order");

// The missing-key recording of the JSON map, on for the reads of one call.
class MissingKeyRecording {
 public:
  MissingKeyRecording() {
    json::setReportMissingKeys(true);
    json::setLastJsonError(0);
  }
  ~MissingKeyRecording() { json::setReportMissingKeys(false); }
  MissingKeyRecording(const MissingKeyRecording&) = delete;
  MissingKeyRecording& operator=(const MissingKeyRecording&) = delete;
};

void readParameters(const ComponentFunction& function, const QuillmarkJsonMap* request,
                    Arguments& in) {
  for (std::size_t i = 0; i < static_cast<std::size_t>(function.parameterCount); ++i) {
    const char* key = function.keys[i];
    if (function.kinds[i] == ParameterKind::kInteger) {
      in.numbers[i] = json::getInt(request, key);
      continue;
    }
    std::optional<std::string> value = json::getText(request, key);
    if (!value) continue;  // absent: a null text
    in.texts[i] = com::sysAllocStringUtf8(*value);
    aes::wipe(*value);
    if (in.texts[i] == nullptr) QM_ALLOCATION_FAILURE();
  }
}

void storeOutput(OutputKind kind, const Outputs& out) {
  switch (kind) {
    case OutputKind::kNone:
      storeResult("0");
      break;
    case OutputKind::kInteger:
      storeResult(out.number);
      break;
    case OutputKind::kText: {
      // A null or empty text stores nothing: the entry point answers an empty text.
      std::optional<std::string> text = com::bstrToUtf8(out.text);
      if (text && !text->empty()) storeResult(std::move(*text));
      if (text) aes::wipe(*text);
      break;
    }
    case OutputKind::kVariant: {
      std::string text = variantText(out.variant);
      if (!text.empty()) storeResult(std::move(text));
      break;
    }
  }
}

void componentFailed(const std::string& logName, int line) {
  diag::warning("Catch component exception", "");
  storeResult(kComponentErrorResult);
  char where[512];
  std::snprintf(where, sizeof where, "Safe in %s at %d lines in %s", logName.c_str(), line,
                __FILE_NAME__);
  diag::error("[Safe Line] ", where);
}

}  // namespace

std::string_view componentFunctionName(int index) {
  if (index < 0 || index >= kComponentFunctionCount) return {};
  return kFunctions[static_cast<std::size_t>(index)].name;
}

void runComponentFunction(const QuillmarkJsonMap* request, int index) {
  if (index < 0 || index >= kComponentFunctionCount) return;
  const ComponentFunction& function = kFunctions[static_cast<std::size_t>(index)];
  std::string logName = "ComponentAPI_" + std::string(function.name);
  diag::normal("Into adapter function: ", logName);
  int line = __LINE__;
  try {
    Arguments in;
    if (function.keyCheck == KeyCheck::kChecked) {
      {
        MissingKeyRecording recording;
        readParameters(function, request, in);
      }
      int missing = json::lastJsonError();
      if (missing != 0 && json::getBool(request, "AdapterJsonKeyCheck")) {
        storeResult(missing);
        return;
      }
    } else {
      readParameters(function, request, in);
    }

    diag::normal("Ready into component func: ", function.name);
    Outputs out;
    IZDGPKICrypt* component = componentInstance();
    line = __LINE__;
    HRESULT result = component != nullptr ? function.invoke(component, in, out) : com::E_POINTER;
    if (com::failed(result)) {
      componentFailed(logName, line);
      return;
    }
    diag::normal("Finish component func: ", function.name);
    storeOutput(function.output, out);
  } catch (...) {
    componentFailed(logName, line);
  }
}

}  // namespace qm::adapter
