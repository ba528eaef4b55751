// Texts in Windows code pages, converted with iconv.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "component/common.h"

namespace qm::component {

inline constexpr int kUtf8CodePage = 65001;

// The iconv name of a code page given as a Windows number ("950", "65001") or as a name
// ("UTF-8", "BIG5"); `fallback` serves an empty text. nullopt when this system has no such
// converter.
std::optional<std::string> codePageName(std::string_view codePage, int fallback);
std::optional<std::string> codePageName(int codePage);

// UTF-8 to the code page and back; kErrConversion when a character has no form there or the
// bytes are not valid in it.
Result<std::string> fromUtf8(std::string_view text, const std::string& codePage);
Result<std::string> toUtf8(std::string_view bytes, const std::string& codePage);

}  // namespace qm::component
