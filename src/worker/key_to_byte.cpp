// A developer aid: a key file as a byte-array source line, appended to "Cert.h".
#include "platform/files.h"
#include "util/diag.h"
#include "util/tool.h"
#include "worker/worker.h"

namespace qm::worker {

std::string keyToByteText(std::string_view fileName, std::string_view content) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  bool rsa = fileName.find("_RSA.") != std::string_view::npos;
  std::string out = rsa ? "byte RSAKey[] = {" : "byte ECKey[] = {";
  for (std::size_t i = 0; i < content.size(); ++i) {
    // Each byte as its own value: a byte above 0x7F is not a negative number.
    auto byte = static_cast<unsigned char>(content[i]);
    out += i == 0 ? " 0x" : ", 0x";
    if (byte >= 0x10) out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
  return out + "};";
}

void runKeyToByte(const std::string& commandText) {
  diag::normal("KeyToByte area", "");
  std::string fileName = tool::replaceAll(commandText, "-KeyToByte ", "");
  diag::normal("FileName: ", fileName);
  std::optional<std::string> content = tool::readTextFile(fileName.c_str());
  if (!content) return;
  platform::appendToFile("Cert.h", keyToByteText(fileName, *content));
}

}  // namespace qm::worker
