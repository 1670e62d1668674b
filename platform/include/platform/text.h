// Text: bounded message formatting, UTF-8, the conversions to cp932 and to
// the locale's encoding, and hexadecimal.
#ifndef PLATFORM_TEXT_H_
#define PLATFORM_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// snprintf into a fixed buffer: a text that does not fit is cut (never
// overflows), and a cut never leaves half a UTF-8 character at the end.
// Returns the number of bytes stored.
size_t FormatBounded(char *buffer, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));

// Appends with the same rules to the text already in `buffer`.
size_t AppendBounded(char *buffer, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));

// va_list forms of the two above.
size_t VFormatBounded(char *buffer, size_t size, const char *format, va_list args) __attribute__((format(printf, 3, 0)));
size_t VAppendBounded(char *buffer, size_t size, const char *format, va_list args) __attribute__((format(printf, 3, 0)));

template <size_t N>
inline size_t CopyBounded(char (&buffer)[N], std::string_view text) {
  return FormatBounded(buffer, N, "%.*s", static_cast<int>(text.size()), text.data());
}

// The longest sequence EncodeUtf8 writes.
inline constexpr size_t kMaxUtf8Bytes = 6;

// Writes `value` (at most 0x7FFFFFFF) as UTF-8 and returns the number of
// bytes: 1 to 4 for a Unicode code point, 5 or 6 beyond it in the 31-bit
// form of RFC 2279 that directory strings may carry.  Whether the value is
// a Unicode scalar value is for the caller to check.  Inline, so that the
// shared libraries use it without linking this static one.
inline size_t EncodeUtf8(uint32_t value, unsigned char (&out)[kMaxUtf8Bytes]) {
  if (value < 0x80) {
    out[0] = static_cast<unsigned char>(value);
    return 1;
  }
  size_t n = 6;
  unsigned char lead = 0xFC;
  if (value < 0x800) {
    n = 2, lead = 0xC0;
  } else if (value < 0x10000) {
    n = 3, lead = 0xE0;
  } else if (value < 0x200000) {
    n = 4, lead = 0xF0;
  } else if (value < 0x4000000) {
    n = 5, lead = 0xF8;
  }
  for (size_t k = n - 1; k > 0; --k) {
    out[k] = static_cast<unsigned char>(0x80 | (value & 0x3F));
    value >>= 6;
  }
  out[0] = static_cast<unsigned char>(lead | value);
  return n;
}

// Drops an incomplete UTF-8 sequence at the end of text[0..length).
size_t TrimPartialUtf8(const char *text, size_t length);

// Converts UTF-8 text to cp932; a character cp932 cannot hold (or a broken
// byte sequence) becomes "?".  Nothing when this machine has no cp932
// converter.
[[nodiscard]] std::optional<std::string> Utf8ToCp932(std::string_view utf8);

// Converts UTF-8 text to the active locale's multibyte encoding (same
// replacement rule), for console lines.  Without a converter to that
// encoding, ASCII stays and every other character becomes "?".
std::string Utf8ToLocale(std::string_view utf8);

// Bytes as lowercase hexadecimal digits, two a byte, nothing between.
// Writes 2 * bytes.size() characters to `out` when given, else returns
// them.
void HexLower(std::span<const unsigned char> bytes, char *out);
std::string HexLower(std::span<const unsigned char> bytes);

}  // namespace platform

#endif  // PLATFORM_TEXT_H_
