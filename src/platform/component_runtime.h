// Component runtime: the in-process component model the adapter uses to drive crypto components.
//
// A component is a shared library named after its class id ("{XXXXXXXX-XXXX-XXXX-XXXX-
// XXXXXXXXXXXX}.so") in componentFolder(). It exports one C function, kComponentFactoryName, of
// type ComponentFactory. Objects are C++ abstract classes with the classic slot order: the three
// IUnknown slots, the four IDispatch slots, then the interface's own methods.
//
// Ownership across the two libraries. Every BSTR and SAFEARRAY is allocated and freed by the
// runtime of the host that created the object (the module that calls createInstance). A
// component never links this runtime: the factory hands it a ComponentRuntimeApi table of that
// host's allocation functions and the object keeps that pointer. So
//   - [in] BSTR parameters belong to the caller; the component only reads them during the call;
//   - [out] BSTR / VARIANT values are allocated by the component through the table and then
//     belong to the caller, who frees them with sysFreeString / variantClear.
// Nothing may throw across a slot or the factory: methods report failure as a negative HRESULT.
//
// The types and inline helpers of this header are usable by a component on its own; the
// functions declared under "Host side" are implemented by the runtime (quillmark_platform).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace qm::com {

// ---- results ----
using HRESULT = std::int32_t;
using ULONG = std::uint32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
inline constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008u);
inline constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000Bu);

constexpr bool succeeded(HRESULT result) {
  return result >= 0;
}
constexpr bool failed(HRESULT result) {
  return result < 0;
}

// Creation contexts; createInstance serves only in-process servers.
inline constexpr std::uint32_t CLSCTX_INPROC_SERVER = 0x1;
inline constexpr std::uint32_t CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr std::uint32_t CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr std::uint32_t CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr std::uint32_t CLSCTX_ALL = 0x17;

// ---- identifiers ----
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};

  friend constexpr bool operator==(const Guid&, const Guid&) = default;
};

inline constexpr Guid IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr Guid IID_IDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Registry form, upper-case: "{9C003E43-BC2A-80BF-F099-672E6A19792D}".
std::string guidText(const Guid& id);
// Reads the registry form (braces required, either case); nullopt when malformed.
std::optional<Guid> parseGuid(std::string_view text);
// File name of the component library that serves the class: guidText(classId) + ".so".
std::string componentFileName(const Guid& classId);

// ---- texts ----
// BSTR: UTF-16 code units preceded by a 32-bit byte length and followed by a NUL unit. A null
// BSTR counts as the empty text wherever a length is asked.
using OLECHAR = char16_t;
using BSTR = OLECHAR*;

namespace detail {

// Length of the well-formed UTF-8 sequence at text[0], or the length of its longest valid prefix
// negated (at least -1) when it is ill-formed. Ranges as in the Unicode standard, table 3-7.
inline int utf8Sequence(std::string_view text, char32_t* codePoint) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  }
  int length;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  char32_t value = lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if (static_cast<std::size_t>(i) >= text.size()) return -i;
    unsigned char next = byte(i);
    if (next < low || next > high) return -i;
    low = 0x80;
    high = 0xBF;
    value = (value << 6) | (next & 0x3F);
  }
  *codePoint = value;
  return length;
}

inline void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace detail

// UTF-8 to UTF-16; every ill-formed sequence becomes U+FFFD, so any byte string converts.
inline std::u16string utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  while (!text.empty()) {
    char32_t c = 0;
    int length = detail::utf8Sequence(text, &c);
    if (length < 0) {
      out += u'\uFFFD';
      text.remove_prefix(static_cast<std::size_t>(-length));
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    text.remove_prefix(static_cast<std::size_t>(length));
  }
  return out;
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD. The output is sized once: it may be
// decrypted data, and a grown buffer would leave a copy behind in freed memory.
inline std::string utf16ToUtf8(std::u16string_view text) {
  auto codePoint = [&](std::size_t& i) -> char32_t {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    return c;
  };
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = codePoint(i);
    bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  }
  std::string out;
  out.reserve(bytes);
  for (std::size_t i = 0; i < text.size(); ++i) detail::appendUtf8(out, codePoint(i));
  return out;
}

// Length in code units from the prefix; 0 for null.
inline std::uint32_t bstrLength(const OLECHAR* text) {
  if (text == nullptr) return 0;
  std::uint32_t bytes;
  const unsigned char* prefix = reinterpret_cast<const unsigned char*>(text) - sizeof bytes;
  std::memcpy(&bytes, prefix, sizeof bytes);
  return bytes / sizeof(OLECHAR);
}
inline std::u16string_view bstrView(const OLECHAR* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text, bstrLength(text));
}

// ---- variants ----
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum VarType : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_INT = 22,
  VT_TYPEMASK = 0x0FFF,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

struct SAFEARRAYBOUND {
  ULONG cElements;
  std::int32_t lLbound;
};

// Array descriptor; the runtime creates only one-dimensional arrays.
struct SAFEARRAY {
  std::uint16_t cDims;
  std::uint16_t fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
};

// Element kinds that safeArrayDestroy must release.
inline constexpr std::uint16_t FADF_BSTR = 0x0100;
inline constexpr std::uint16_t FADF_VARIANT = 0x0800;

struct VARIANT {
  VARTYPE vt;
  std::uint16_t wReserved1;
  std::uint16_t wReserved2;
  std::uint16_t wReserved3;
  union {
    std::int32_t lVal;     // VT_I4
    std::int32_t intVal;   // VT_INT
    std::int16_t iVal;     // VT_I2
    VARIANT_BOOL boolVal;  // VT_BOOL
    BSTR bstrVal;          // VT_BSTR
    SAFEARRAY* parray;     // VT_ARRAY | element type
    void* reserved[2];
  };
};

inline void variantInit(VARIANT* value) {
  if (value == nullptr) return;
  *value = VARIANT{};
  value->vt = VT_EMPTY;
}

// ---- objects ----
// The destructors are protected and not virtual: slots 0..2 must be exactly these three, and an
// object is destroyed only by its own Release.
class IUnknown {
 public:
  virtual HRESULT QueryInterface(const Guid& interfaceId, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

class IDispatch : public IUnknown {
 public:
  virtual HRESULT GetTypeInfoCount(std::uint32_t* count) = 0;
  virtual HRESULT GetTypeInfo(std::uint32_t index, std::uint32_t locale, void** typeInfo) = 0;
  virtual HRESULT GetIDsOfNames(const Guid& interfaceId, OLECHAR** names, std::uint32_t count,
                                std::uint32_t locale, std::int32_t* dispatchIds) = 0;
  virtual HRESULT Invoke(std::int32_t dispatchId, const Guid& interfaceId, std::uint32_t locale,
                         std::uint16_t flags, void* parameters, VARIANT* result,
                         void* exceptionInfo, std::uint32_t* argumentError) = 0;

 protected:
  ~IDispatch() = default;
};

// ---- the boundary between a host's runtime and a component library ----
extern "C" {

// Allocation functions of the creating host. Components allocate every [out] value with these
// and free with them whatever they allocated and did not hand out.
struct ComponentRuntimeApi {
  std::uint32_t size;  // sizeof(ComponentRuntimeApi) of the host, for later growth
  BSTR (*sysAllocStringLen)(const OLECHAR* text, std::uint32_t length);
  BSTR (*sysAllocStringUtf8)(const char* text, std::size_t length);
  void (*sysFreeString)(BSTR text);
  std::uint32_t (*sysStringLen)(const OLECHAR* text);
  SAFEARRAY* (*safeArrayCreateVector)(VARTYPE elementType, std::int32_t lowerBound, ULONG count);
  HRESULT (*safeArrayDestroy)(SAFEARRAY* array);
  HRESULT (*variantClear)(VARIANT* value);
};

// The one export of a component library. Creates an object of `classId` and answers the
// interface `interfaceId` of it (with one reference) in *object; *object is null on failure.
// `runtime` stays valid for as long as the object lives.
using ComponentFactory = HRESULT (*)(const ComponentRuntimeApi* runtime, const Guid* classId,
                                     const Guid* interfaceId, void** object);

}  // extern "C"

inline constexpr const char kComponentFactoryName[] = "componentCreateInstance";

// ============================ Host side ============================
// Implemented by the runtime; none of these throws, except bstrToUtf8 when memory runs out.

// Per-thread use of the component system. initialize answers S_OK the first time on a thread and
// S_FALSE when already initialised; each successful call needs one uninitialize.
HRESULT initialize() noexcept;
void uninitialize() noexcept;
bool initializedOnThisThread() noexcept;

// Creates an object of `classId` from <componentFolder()>/<componentFileName(classId)> and
// answers `interfaceId` in *object. Only in-process creation exists: `context` must include
// CLSCTX_INPROC_SERVER and `outer` must be null. The library stays loaded for the life of this
// runtime (the host module), so objects never outlive their code.
HRESULT createInstance(const Guid& classId, IUnknown* outer, std::uint32_t context,
                       const Guid& interfaceId, void** object) noexcept;
// Puts an object into its running state; an in-process object already runs.
HRESULT run(IUnknown* object) noexcept;

// The table handed to the components this runtime loads.
const ComponentRuntimeApi& runtimeApi() noexcept;

BSTR sysAllocString(const OLECHAR* text) noexcept;
BSTR sysAllocStringLen(const OLECHAR* text, std::uint32_t length) noexcept;
// UTF-8 text as a new BSTR (see utf8ToUtf16); null only when memory runs out.
BSTR sysAllocStringUtf8(std::string_view text) noexcept;
void sysFreeString(BSTR text) noexcept;
std::uint32_t sysStringLen(const OLECHAR* text) noexcept;
std::uint32_t sysStringByteLen(const OLECHAR* text) noexcept;
// Zero-fills the text over its byte length (and its terminator), then frees it. For every text
// that may hold a secret.
void sysFreeStringWiped(BSTR text) noexcept;
// BSTR to UTF-8; nullopt for a null BSTR.
std::optional<std::string> bstrToUtf8(const OLECHAR* text);

SAFEARRAY* safeArrayCreateVector(VARTYPE elementType, std::int32_t lowerBound,
                                 ULONG count) noexcept;
HRESULT safeArrayDestroy(SAFEARRAY* array) noexcept;
HRESULT safeArrayGetLBound(const SAFEARRAY* array, std::uint32_t dimension,
                           std::int32_t* bound) noexcept;
HRESULT safeArrayGetUBound(const SAFEARRAY* array, std::uint32_t dimension,
                           std::int32_t* bound) noexcept;
// Releases what the variant holds and leaves VT_EMPTY. DISP_E_BADVARTYPE (value unchanged) for
// a type this runtime does not know.
HRESULT variantClear(VARIANT* value) noexcept;

// Zero-fills memory in a way the compiler keeps even right before the memory is freed.
void secureZero(void* data, std::size_t size) noexcept;

}  // namespace qm::com
