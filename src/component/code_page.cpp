// The component's only use of iconv.
#include "component/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <charconv>

namespace qm::component {

namespace {

// Windows code page numbers whose iconv name is not simply "CP<n>".
struct NamedCodePage {
  int number;
  const char* name;
};
constexpr NamedCodePage kNamedCodePages[] = {
    {65001, "UTF-8"},      {1200, "UTF-16LE"},    {1201, "UTF-16BE"},     {12000, "UTF-32LE"},
    {12001, "UTF-32BE"},   {20127, "ASCII"},      {28591, "ISO-8859-1"},  {28592, "ISO-8859-2"},
    {28595, "ISO-8859-5"}, {28597, "ISO-8859-7"}, {28605, "ISO-8859-15"}, {20866, "KOI8-R"},
    {51932, "EUC-JP"},     {51949, "EUC-KR"},     {54936, "GB18030"},     {50220, "ISO-2022-JP"},
    {65000, "UTF-7"},
};

bool converterExists(const std::string& name) {
  iconv_t handle = iconv_open("UTF-8", name.c_str());
  if (handle == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(handle);
  return true;
}

Result<std::string> convert(std::string_view input, const std::string& to,
                            const std::string& from) {
  iconv_t handle = iconv_open(to.c_str(), from.c_str());
  if (handle == reinterpret_cast<iconv_t>(-1)) return kErrCodePage;
  std::string out(input.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  std::size_t used = 0;
  ErrorCode error = kOk;
  for (bool flushing = false;;) {
    char* outPointer = out.data() + used;
    std::size_t outLeft = out.size() - used;
    std::size_t status = flushing ? iconv(handle, nullptr, nullptr, &outPointer, &outLeft)
                                  : iconv(handle, &in, &inLeft, &outPointer, &outLeft);
    used = out.size() - outLeft;
    if (status != static_cast<std::size_t>(-1)) {
      if (flushing) break;
      flushing = true;  // shift states (UTF-7, ISO-2022) end with a reset sequence
      continue;
    }
    if (errno == E2BIG) {
      std::string bigger(out.size() * 2, '\0');
      bigger.replace(0, used, out, 0, used);
      wipe(out.data(), out.size());
      out.swap(bigger);
      continue;
    }
    error = kErrConversion;  // EILSEQ, EINVAL: not valid or not representable
    break;
  }
  iconv_close(handle);
  if (error != kOk) {
    wipe(out.data(), out.size());
    return error;
  }
  out.resize(used);
  return out;
}

}  // namespace

std::optional<std::string> codePageName(int codePage) {
  for (const NamedCodePage& named : kNamedCodePages) {
    if (named.number == codePage) return std::string(named.name);
  }
  if (codePage <= 0) return std::nullopt;
  std::string name = "CP" + std::to_string(codePage);
  if (!converterExists(name)) return std::nullopt;
  return name;
}

std::optional<std::string> codePageName(std::string_view codePage, int fallback) {
  while (!codePage.empty() && codePage.front() == ' ') codePage.remove_prefix(1);
  while (!codePage.empty() && codePage.back() == ' ') codePage.remove_suffix(1);
  if (codePage.empty()) return codePageName(fallback);
  int number = 0;
  auto [end, error] = std::from_chars(codePage.data(), codePage.data() + codePage.size(), number);
  if (error == std::errc() && end == codePage.data() + codePage.size()) {
    return codePageName(number);
  }
  if (codePage.size() > 64 || codePage.find('/') != std::string_view::npos) return std::nullopt;
  std::string name(codePage);
  if (!converterExists(name)) return std::nullopt;
  return name;
}

Result<std::string> fromUtf8(std::string_view text, const std::string& codePage) {
  if (codePage == "UTF-8") {
    // Still refuse ill-formed input, as any other code page would.
    return convert(text, "UTF-8", "UTF-8");
  }
  return convert(text, codePage, "UTF-8");
}

Result<std::string> toUtf8(std::string_view bytes, const std::string& codePage) {
  return convert(bytes, "UTF-8", codePage);
}

}  // namespace qm::component
