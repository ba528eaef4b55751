#include "adapter/function_map.h"

#include <algorithm>

#include "util/diag.h"

namespace qm::adapter {

namespace {

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Lowers both texts character by character over their common length; then the shorter first.
int order(std::string_view a, std::string_view b) {
  std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    auto x = static_cast<unsigned char>(lower(a[i]));
    auto y = static_cast<unsigned char>(lower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && order(a, b) == 0;
}

bool FunctionMap::add(std::string_view name, Handler handler, int tag) {
  name = name.substr(0, std::min(name.size(), kMaxNameLength));
  for (const FunctionEntry& entry : entries_) {
    if (sameName(entry.name, name)) {
      diag::warning("Function name already exist: ", name);
      return false;
    }
  }
  if (count() >= kCapacity) return false;
  entries_.push_back(FunctionEntry{std::string(name), handler, tag});
  diag::normal("Enable adapter func: ", name);
  return true;
}

void FunctionMap::sort() {
  std::sort(entries_.begin(), entries_.end(), [](const FunctionEntry& a, const FunctionEntry& b) {
    return order(a.name, b.name) < 0;
  });
}

const FunctionEntry* FunctionMap::find(std::string_view name) const {
  int size = count();
  if (size == 0) return nullptr;
  int lo = 0;
  int hi = size - 1;
  while (true) {
    int mid = (lo + hi) / 2;
    const FunctionEntry& entry = entries_[static_cast<std::size_t>(mid)];
    if (sameName(entry.name, name)) return &entry;
    if (lo >= hi) return nullptr;
    int side = order(entry.name, name);
    if (side < 0) {
      if (mid + 1 >= size) return nullptr;
      lo = mid + 1;
    } else if (side > 0) {
      if (lo + hi < 2) return nullptr;
      hi = mid - 1;
    } else {
      diag::warning("BinarySearchQuillmarkAdapterMap Compare_Same!", "");
      return nullptr;
    }
  }
}

}  // namespace qm::adapter
