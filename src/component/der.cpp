#include "component/der.h"

#include <libtasn1.h>

namespace qm::component::der {

std::optional<Element> read(std::string_view& in) {
  if (in.size() < 2 || in.size() > 0x7FFFFFFF) return std::nullopt;
  const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
  // Only low tag numbers occur in the structures read here.
  if ((bytes[0] & 0x1F) == 0x1F) return std::nullopt;
  int lengthBytes = 0;
  long length = asn1_get_length_der(bytes + 1, static_cast<int>(in.size() - 1), &lengthBytes);
  if (length < 0 || lengthBytes <= 0) return std::nullopt;
  std::size_t header = 1 + static_cast<std::size_t>(lengthBytes);
  if (static_cast<std::size_t>(length) > in.size() - header) return std::nullopt;
  Element element;
  element.tag = bytes[0];
  element.content = in.substr(header, static_cast<std::size_t>(length));
  element.whole = in.substr(0, header + static_cast<std::size_t>(length));
  in.remove_prefix(element.whole.size());
  return element;
}

std::optional<Element> expect(std::string_view& in, unsigned char tag) {
  auto element = read(in);
  if (!element || element->tag != tag) return std::nullopt;
  return element;
}

std::optional<std::string> oidText(const Element& element) {
  if (element.tag != kOid) return std::nullopt;
  char text[ASN1_MAX_NAME_SIZE * 2] = {};
  int used = 0;
  if (asn1_get_object_id_der(reinterpret_cast<const unsigned char*>(element.whole.data()) + 1,
                             static_cast<int>(element.whole.size() - 1), &used, text,
                             sizeof text) != ASN1_SUCCESS) {
    return std::nullopt;
  }
  return std::string(text);
}

std::string encode(unsigned char tag, std::string_view content) {
  unsigned char length[16];
  int lengthSize = sizeof length;
  asn1_length_der(static_cast<unsigned long>(content.size()), length, &lengthSize);
  std::string out;
  out.reserve(1 + static_cast<std::size_t>(lengthSize) + content.size());
  out += static_cast<char>(tag);
  out.append(reinterpret_cast<const char*>(length), static_cast<std::size_t>(lengthSize));
  out.append(content);
  return out;
}

}  // namespace qm::component::der
