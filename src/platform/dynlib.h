// Dynamic libraries: dlopen(RTLD_NOW | RTLD_LOCAL) / dlsym / dlclose. A copied file is a separate
// inode and so a separate instance with its own state.
#pragma once

#include <optional>
#include <string>

namespace qm::platform {

class DynamicLibrary {
 public:
  // nullopt when the file cannot be loaded; `error` (when given) receives the loader's text.
  static std::optional<DynamicLibrary> open(const std::string& path, std::string* error = nullptr);

  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  ~DynamicLibrary();

  // Address of an exported symbol, or nullptr.
  void* symbol(const char* name) const;

  template <typename F>
  F function(const char* name) const {
    return reinterpret_cast<F>(symbol(name));
  }

  void close();

 private:
  explicit DynamicLibrary(void* handle) : handle_(handle) {}
  void* handle_ = nullptr;
};

}  // namespace qm::platform
