// The DirectoryString CHOICE as Mirrel reads it, and the decoding of an
// attribute value to UTF-8 and the encoding of a UTF8String.
#ifndef MIRREL_SRC_DIRECTORY_STRING_H_
#define MIRREL_SRC_DIRECTORY_STRING_H_

#include <asn1x509/asn1x509.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"
#include "text_convert.h"

namespace mirrel {

enum class Conversion { localeText, ucs2, ucs4, none };

struct DirectoryStringChoice {
  int32_t choice;  // 1-based, the order of the alternatives
  const char *path;
  uint32_t tag;    // ASN.1 universal tag
  Conversion conversion;
};

// The six alternatives, in choice order.  Everything else about the
// CHOICE derives from this table.
inline constexpr std::array<DirectoryStringChoice, 6> kDirectoryStringChoices{{
    {1, "teletexString", 20, Conversion::localeText},
    {2, "printableString", 19, Conversion::localeText},
    {3, "bmpString", 30, Conversion::ucs2},
    {4, "universalString", 28, Conversion::ucs4},
    {5, "utf8String", 12, Conversion::none},
    {6, "ia5String", 22, Conversion::localeText},
}};

inline constexpr int32_t kUtf8StringChoice = 5;

// The type description handed to the object library's Asn calls.
const AsnTypeDesc &directoryStringType() noexcept;

// Decodes and re-encodes attribute values for one GetTypicalDN call; its
// buffers are reused from value to value.
class ValueCodec {
 public:
  // The content of a DirectoryString value (whole DER) as UTF-8.
  Status decodeToUtf8(const unsigned char *der, uint32_t length, std::string &utf8);
  // DER UTF8String of the given bytes.
  Status encodeUtf8String(std::string_view text, std::vector<unsigned char> &der);

 private:
  LocaleText locale_;
  std::vector<unsigned char> content_;
};

}  // namespace mirrel

#endif  // MIRREL_SRC_DIRECTORY_STRING_H_
