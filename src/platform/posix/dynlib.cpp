#include "platform/dynlib.h"

#include <dlfcn.h>

#include <utility>

namespace qm::platform {

std::optional<DynamicLibrary> DynamicLibrary::open(const std::string& path, std::string* error) {
  ::dlerror();
  void* handle = path.empty() ? nullptr : ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    if (error != nullptr) {
      const char* text = ::dlerror();
      *error = text != nullptr ? text : "empty library path";
    }
    return std::nullopt;
  }
  return DynamicLibrary(handle);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

DynamicLibrary::~DynamicLibrary() {
  close();
}

void* DynamicLibrary::symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return ::dlsym(handle_, name);
}

void DynamicLibrary::close() {
  if (handle_ != nullptr) ::dlclose(std::exchange(handle_, nullptr));
}

}  // namespace qm::platform
