#include "adapter/component_binding.h"

#include <cstdio>

namespace qm::adapter {

namespace {

component::IZDGPKICrypt* instance = nullptr;

// Releases an interface pointer when it goes out of scope. A component that throws from Release
// must not take the host down from a destructor.
struct Releaser {
  com::IUnknown* object;
  ~Releaser() {
    try {
      if (object != nullptr) object->Release();
    } catch (...) {
    }
  }
};

}  // namespace

bool createComponent() {
  if (com::failed(com::initialize())) return false;
  // Every way out without an instance, a throwing component included, ends this thread's use.
  struct Uninitializer {
    bool keep = false;
    ~Uninitializer() {
      if (!keep) com::uninitialize();
    }
  } uninitializer;
  {
    // Forgotten before it is released: a Release that throws must not leave it to release twice.
    Releaser previous{instance};
    instance = nullptr;
  }
  void* unknown = nullptr;
  com::HRESULT result = com::createInstance(component::kZdgpkiCryptClassId, nullptr,
                                            com::CLSCTX_ALL, com::IID_IUnknown, &unknown);
  Releaser owner{static_cast<com::IUnknown*>(unknown)};
  if (com::succeeded(result)) result = com::run(owner.object);
  void* crypt = nullptr;
  if (com::succeeded(result)) {
    result = owner.object->QueryInterface(component::kIZDGPKICryptInterfaceId, &crypt);
  }
  if (com::failed(result) || crypt == nullptr) {
    // A component that answered failure yet handed out a pointer keeps no reference here.
    Releaser stray{static_cast<com::IUnknown*>(crypt)};
    return false;
  }
  instance = static_cast<component::IZDGPKICrypt*>(crypt);
  uninitializer.keep = true;
  return true;
}

void releaseComponent() {
  component::IZDGPKICrypt* object = instance;
  instance = nullptr;
  // Ends this thread's use even when the component's Release throws.
  struct Uninitializer {
    ~Uninitializer() { com::uninitialize(); }
  } uninitializer;
  if (object != nullptr) object->Release();
}

component::IZDGPKICrypt* componentInstance() {
  return instance;
}

std::string variantText(const com::VARIANT& value) {
  // Only a plain VT_BOOL is a boolean: testing (vt & VT_BOOL) == VT_BOOL would also take arrays
  // and references of booleans for one.
  if (value.vt == com::VT_BOOL) return value.boolVal != 0 ? "1" : "0";
  if ((value.vt & com::VT_ARRAY) == 0) return "";

  int element = value.vt & ~com::VT_ARRAY;
  if (element != com::VT_VARIANT) {
    std::printf("Error!! value->vt & ~VT_ARRAY = %d\n", element);
    std::fflush(stdout);
    return "";
  }
  const com::SAFEARRAY* array = value.parray;
  std::int32_t lower = 0;
  std::int32_t upper = -1;
  if (array == nullptr || array->pvData == nullptr ||
      com::failed(com::safeArrayGetLBound(array, 1, &lower)) ||
      com::failed(com::safeArrayGetUBound(array, 1, &upper))) {
    return "";
  }
  const auto* items = static_cast<const com::VARIANT*>(array->pvData);
  std::string text;
  for (long long i = lower; i <= upper; ++i) {
    const com::VARIANT& item = items[i - lower];
    switch (item.vt) {
      case com::VT_I4:
        text += std::to_string(item.lVal);
        break;
      case com::VT_INT:
        text += std::to_string(item.intVal);
        break;
      case com::VT_BSTR:
        text += com::bstrToUtf8(item.bstrVal).value_or(std::string());
        break;
      default:
        break;
    }
    text += ';';
  }
  return text;
}

}  // namespace qm::adapter
