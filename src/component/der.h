// Just enough DER to walk the structures GnuTLS has no API for (subject directory attributes,
// CMS enveloped data) and to write the latter. Lengths and OIDs go through libtasn1.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qm::component::der {

inline constexpr unsigned char kInteger = 0x02;
inline constexpr unsigned char kOctetString = 0x04;
inline constexpr unsigned char kNull = 0x05;
inline constexpr unsigned char kOid = 0x06;
inline constexpr unsigned char kSequence = 0x30;
inline constexpr unsigned char kSet = 0x31;

struct Element {
  unsigned char tag = 0;  // the identifier octet (class, constructed bit, number < 31)
  std::string_view content;
  std::string_view whole;
};

// Reads one element from the front of `in` and advances it; nullopt when malformed.
std::optional<Element> read(std::string_view& in);
// Reads an element that must carry `tag`.
std::optional<Element> expect(std::string_view& in, unsigned char tag);
// Dotted text of an OBJECT IDENTIFIER element's whole encoding.
std::optional<std::string> oidText(const Element& element);

// Encodes one element.
std::string encode(unsigned char tag, std::string_view content);

}  // namespace qm::component::der
