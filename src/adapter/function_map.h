// The adapter's function map: names (case-insensitive, unique) to functions of a request map.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/json_map.h"

namespace qm::adapter {

// A function of the map; `tag` tells table-driven functions apart.
using Handler = void (*)(const QuillmarkJsonMap* request, int tag);

struct FunctionEntry {
  std::string name;  // at most kMaxNameLength characters
  Handler handler = nullptr;
  int tag = 0;
};

class FunctionMap {
 public:
  static constexpr int kCapacity = 1024;
  static constexpr std::size_t kMaxNameLength = 127;

  // Appends the function unless a name equal without regard to case exists (Warning "Function
  // name already exist: ") or the map is full; logs "Enable adapter func: " on success.
  bool add(std::string_view name, Handler handler, int tag = 0);
  // Sorts by name without regard to case.
  void sort();
  // Binary search of the sorted map; null when the name is not there.
  const FunctionEntry* find(std::string_view name) const;
  void clear() { entries_.clear(); }

  int count() const { return static_cast<int>(entries_.size()); }
  const std::vector<FunctionEntry>& entries() const { return entries_; }

 private:
  std::vector<FunctionEntry> entries_;
};

// Case-insensitive (ASCII) equality of two names.
bool sameName(std::string_view a, std::string_view b);

}  // namespace qm::adapter
