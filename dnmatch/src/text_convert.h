// Conversions of directory-string contents to UTF-8, and the space and
// case normalisation of the typical form.  All functions append to or
// fill a caller's buffer so that one buffer serves many values.
#ifndef MIRREL_SRC_TEXT_CONVERT_H_
#define MIRREL_SRC_TEXT_CONVERT_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "result.h"

namespace mirrel {

using ByteSpan = std::span<const unsigned char>;

// Appends the UTF-8 form (ISO 10646, 1 to 6 bytes) of a 32-bit value.
void appendUtf8(uint32_t value, std::string &out);

// Big-endian UCS-2; every 16-bit unit is written on its own (surrogate
// units are not paired).  Fails on an empty or odd-length input.
Status ucs2ToUtf8(ByteSpan in, std::string &out);

// Big-endian UCS-4.  Fails on an empty input or one whose length is not a
// multiple of 4.
Status ucs4ToUtf8(ByteSpan in, std::string &out);

// Text in the character set of the process's LC_CTYPE locale, which the
// first conversion sets to the system default (setlocale(LC_CTYPE, "")).
// Whole code points are kept, and the whole value is converted: a NUL
// byte inside it becomes U+0000 instead of ending the text.
class LocaleText {
 public:
  // Fails on an empty value and on bytes the locale cannot convert.
  Status toUtf8(ByteSpan in, std::string &out);

 private:
  bool localeSet_ = false;
  bool asciiTransparent_ = false;  // ASCII bytes stand for themselves
};

// Drops leading and trailing spaces (0x20 only), turns each inner run of
// spaces into one, raises 'a'..'z' to upper case and copies every other
// byte unchanged.
void normaliseSpacesAndCase(std::string_view in, std::string &out);

}  // namespace mirrel

#endif  // MIRREL_SRC_TEXT_CONVERT_H_
