#include "platform/component_runtime.h"

#include <string.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/dynlib.h"
#include "platform/paths.h"

namespace qm::com {

namespace {

thread_local int tInitializeCount = 0;

// Component libraries loaded by this runtime, by path. They are closed only when the runtime
// itself goes away (its module is unloaded or the process ends), so an object can never outlive
// its code.
struct LoadedLibraries {
  std::mutex mutex;
  std::map<std::string, platform::DynamicLibrary> byPath;
};

LoadedLibraries& loadedLibraries() {
  static LoadedLibraries libraries;
  return libraries;
}

constexpr HRESULT kErrorInDll = static_cast<HRESULT>(0x800401F9u);  // no factory in the library
constexpr std::uint32_t kMaxBstrUnits = (UINT32_MAX - sizeof(std::uint32_t)) / 4;

unsigned char* bstrBlock(BSTR text) {
  return reinterpret_cast<unsigned char*>(text) - sizeof(std::uint32_t);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// C entry points of the table handed to components.
BSTR apiAllocStringLen(const OLECHAR* text, std::uint32_t length) {
  return sysAllocStringLen(text, length);
}
BSTR apiAllocStringUtf8(const char* text, std::size_t length) {
  return sysAllocStringUtf8(text == nullptr ? std::string_view() : std::string_view(text, length));
}
void apiFreeString(BSTR text) {
  sysFreeString(text);
}
std::uint32_t apiStringLen(const OLECHAR* text) {
  return sysStringLen(text);
}
SAFEARRAY* apiCreateVector(VARTYPE elementType, std::int32_t lowerBound, ULONG count) {
  return safeArrayCreateVector(elementType, lowerBound, count);
}
HRESULT apiDestroy(SAFEARRAY* array) {
  return safeArrayDestroy(array);
}
HRESULT apiVariantClear(VARIANT* value) {
  return variantClear(value);
}

}  // namespace

// ---- identifiers ----

std::string guidText(const Guid& id) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(id.data1), id.data2, id.data3, id.data4[0], id.data4[1],
                id.data4[2], id.data4[3], id.data4[4], id.data4[5], id.data4[6], id.data4[7]);
  return text;
}

std::optional<Guid> parseGuid(std::string_view text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  // Hex digit positions between the braces; hyphens at 8, 13, 18, 23.
  std::uint8_t bytes[16];
  std::size_t count = 0;
  for (std::size_t i = 1; i + 1 < text.size();) {
    std::size_t inner = i - 1;
    if (inner == 8 || inner == 13 || inner == 18 || inner == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int high = hexValue(text[i]);
    int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0 || count == sizeof bytes) return std::nullopt;
    bytes[count++] = static_cast<std::uint8_t>(high << 4 | low);
    i += 2;
  }
  if (count != sizeof bytes) return std::nullopt;
  Guid id;
  id.data1 = static_cast<std::uint32_t>(bytes[0]) << 24 |
             static_cast<std::uint32_t>(bytes[1]) << 16 |
             static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
  id.data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
  id.data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) id.data4[i] = bytes[8 + i];
  return id;
}

std::string componentFileName(const Guid& classId) {
  return guidText(classId) + ".so";
}

// ---- texts ----

BSTR sysAllocString(const OLECHAR* text) noexcept {
  if (text == nullptr) return nullptr;
  std::size_t length = std::char_traits<char16_t>::length(text);
  if (length > kMaxBstrUnits) return nullptr;
  return sysAllocStringLen(text, static_cast<std::uint32_t>(length));
}

BSTR sysAllocStringLen(const OLECHAR* text, std::uint32_t length) noexcept {
  if (length > kMaxBstrUnits) return nullptr;
  std::uint32_t bytes = length * static_cast<std::uint32_t>(sizeof(OLECHAR));
  auto* block = static_cast<unsigned char*>(std::malloc(sizeof bytes + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &bytes, sizeof bytes);
  auto* units = reinterpret_cast<OLECHAR*>(block + sizeof bytes);
  if (text != nullptr) {
    std::memcpy(units, text, bytes);
  } else {
    std::memset(units, 0, bytes);
  }
  units[length] = u'\0';
  return units;
}

BSTR sysAllocStringUtf8(std::string_view text) noexcept {
  try {
    std::u16string wide = utf8ToUtf16(text);
    if (wide.size() > kMaxBstrUnits) return nullptr;
    BSTR result = sysAllocStringLen(wide.data(), static_cast<std::uint32_t>(wide.size()));
    // The source may be a PIN: leave no copy behind.
    secureZero(wide.data(), wide.size() * sizeof(char16_t));
    return result;
  } catch (...) {
    return nullptr;
  }
}

void sysFreeString(BSTR text) noexcept {
  if (text != nullptr) std::free(bstrBlock(text));
}

std::uint32_t sysStringLen(const OLECHAR* text) noexcept {
  return bstrLength(text);
}

std::uint32_t sysStringByteLen(const OLECHAR* text) noexcept {
  return bstrLength(text) * static_cast<std::uint32_t>(sizeof(OLECHAR));
}

void sysFreeStringWiped(BSTR text) noexcept {
  if (text == nullptr) return;
  secureZero(text, sysStringByteLen(text) + sizeof(OLECHAR));
  sysFreeString(text);
}

std::optional<std::string> bstrToUtf8(const OLECHAR* text) {
  if (text == nullptr) return std::nullopt;
  return utf16ToUtf8(bstrView(text));
}

void secureZero(void* data, std::size_t size) noexcept {
  if (data != nullptr && size > 0) ::explicit_bzero(data, size);
}

// ---- arrays and variants ----

SAFEARRAY* safeArrayCreateVector(VARTYPE elementType, std::int32_t lowerBound,
                                 ULONG count) noexcept {
  ULONG elementSize;
  std::uint16_t features = 0;
  switch (elementType) {
    case VT_VARIANT:
      elementSize = sizeof(VARIANT);
      features = FADF_VARIANT;
      break;
    case VT_BSTR:
      elementSize = sizeof(BSTR);
      features = FADF_BSTR;
      break;
    case VT_I4:
    case VT_INT:
      elementSize = sizeof(std::int32_t);
      break;
    case VT_I2:
    case VT_BOOL:
      elementSize = sizeof(std::int16_t);
      break;
    default:
      return nullptr;
  }
  // The upper bound must be representable.
  if (count > 0 && static_cast<long long>(lowerBound) + count - 1 > INT32_MAX) return nullptr;
  auto* array = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
  if (array == nullptr) return nullptr;
  if (count > 0) {
    array->pvData = std::calloc(count, elementSize);  // zero: VT_EMPTY variants, null BSTRs
    if (array->pvData == nullptr) {
      std::free(array);
      return nullptr;
    }
  }
  array->cDims = 1;
  array->fFeatures = features;
  array->cbElements = elementSize;
  array->rgsabound[0] = SAFEARRAYBOUND{count, lowerBound};
  return array;
}

HRESULT safeArrayDestroy(SAFEARRAY* array) noexcept {
  if (array == nullptr) return S_OK;
  ULONG count = array->cDims == 1 ? array->rgsabound[0].cElements : 0;
  if (array->pvData != nullptr) {
    if (array->fFeatures & FADF_VARIANT) {
      auto* items = static_cast<VARIANT*>(array->pvData);
      for (ULONG i = 0; i < count; ++i) variantClear(&items[i]);
    } else if (array->fFeatures & FADF_BSTR) {
      auto* items = static_cast<BSTR*>(array->pvData);
      for (ULONG i = 0; i < count; ++i) sysFreeString(items[i]);
    }
    std::free(array->pvData);
  }
  std::free(array);
  return S_OK;
}

HRESULT safeArrayGetLBound(const SAFEARRAY* array, std::uint32_t dimension,
                           std::int32_t* bound) noexcept {
  if (array == nullptr || bound == nullptr) return E_INVALIDARG;
  if (dimension != 1 || array->cDims != 1) return DISP_E_BADINDEX;
  *bound = array->rgsabound[0].lLbound;
  return S_OK;
}

HRESULT safeArrayGetUBound(const SAFEARRAY* array, std::uint32_t dimension,
                           std::int32_t* bound) noexcept {
  if (array == nullptr || bound == nullptr) return E_INVALIDARG;
  if (dimension != 1 || array->cDims != 1) return DISP_E_BADINDEX;
  long long upper =
      static_cast<long long>(array->rgsabound[0].lLbound) + array->rgsabound[0].cElements - 1;
  if (upper > INT32_MAX) return DISP_E_BADINDEX;
  *bound = static_cast<std::int32_t>(upper);
  return S_OK;
}

HRESULT variantClear(VARIANT* value) noexcept {
  if (value == nullptr) return E_INVALIDARG;
  VARTYPE vt = value->vt;
  if (vt & VT_BYREF) {
    // Borrowed: nothing to release.
  } else if (vt & VT_ARRAY) {
    safeArrayDestroy(value->parray);
  } else {
    switch (vt) {
      case VT_BSTR:
        sysFreeString(value->bstrVal);
        break;
      case VT_EMPTY:
      case VT_NULL:
      case VT_I2:
      case VT_I4:
      case VT_INT:
      case VT_BOOL:
        break;
      default:
        return DISP_E_BADVARTYPE;
    }
  }
  variantInit(value);
  return S_OK;
}

// ---- objects ----

HRESULT initialize() noexcept {
  return tInitializeCount++ == 0 ? S_OK : S_FALSE;
}

void uninitialize() noexcept {
  if (tInitializeCount > 0) --tInitializeCount;
}

bool initializedOnThisThread() noexcept {
  return tInitializeCount > 0;
}

const ComponentRuntimeApi& runtimeApi() noexcept {
  static const ComponentRuntimeApi api = {
      sizeof(ComponentRuntimeApi),
      apiAllocStringLen,
      apiAllocStringUtf8,
      apiFreeString,
      apiStringLen,
      apiCreateVector,
      apiDestroy,
      apiVariantClear,
  };
  return api;
}

HRESULT createInstance(const Guid& classId, IUnknown* outer, std::uint32_t context,
                       const Guid& interfaceId, void** object) noexcept {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!initializedOnThisThread()) return CO_E_NOTINITIALIZED;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  try {
    std::string folder = platform::componentFolder();
    if (folder.empty()) return REGDB_E_CLASSNOTREG;
    std::string path = folder + "/" + componentFileName(classId);

    ComponentFactory factory = nullptr;
    {
      LoadedLibraries& libraries = loadedLibraries();
      std::lock_guard lock(libraries.mutex);
      auto found = libraries.byPath.find(path);
      if (found == libraries.byPath.end()) {
        auto library = platform::DynamicLibrary::open(path);
        if (!library) return REGDB_E_CLASSNOTREG;
        found = libraries.byPath.emplace(path, std::move(*library)).first;
      }
      factory = found->second.function<ComponentFactory>(kComponentFactoryName);
    }
    if (factory == nullptr) return kErrorInDll;

    HRESULT result = factory(&runtimeApi(), &classId, &interfaceId, object);
    if (failed(result)) {
      *object = nullptr;
      return result;
    }
    return *object != nullptr ? result : E_UNEXPECTED;
  } catch (...) {
    *object = nullptr;
    return E_UNEXPECTED;
  }
}

HRESULT run(IUnknown* object) noexcept {
  return object != nullptr ? S_OK : E_INVALIDARG;
}

}  // namespace qm::com
