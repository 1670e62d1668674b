#include "pkcs12/password.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/text.h"

namespace velkor {

bool WideToUtf8(const wchar_t *wide, size_t count, unsigned char *out, size_t room, size_t *written) {
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    const auto c = static_cast<uint32_t>(wide[i]);
    // Unicode scalar values only: no surrogate, nothing beyond U+10FFFF.
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
    unsigned char bytes[platform::kMaxUtf8Bytes];
    const size_t len = platform::EncodeUtf8(c, bytes);
    const bool fits = room - n >= len + 1;
    if (fits) std::memcpy(out + n, bytes, len);
    platform::SecureWipe(bytes, sizeof bytes);
    if (!fits) return false;
    n += len;
  }
  if (room - n < 1) return false;
  out[n] = 0;
  *written = n;
  return true;
}

namespace {

// The wide character the locale's codeset reads a single byte as; 0 when
// the byte alone is no character there.
wchar_t ReadAlone(char byte) {
  std::mbstate_t state{};
  wchar_t wide = 0;
  const size_t n = std::mbrtowc(&wide, &byte, 1, &state);
  return n == 1 ? wide : 0;
}

// glibc's Shift-JIS codesets (SHIFT_JIS, SHIFT_JISX0213, ...) read the
// single bytes 0x5C and 0x7E as YEN SIGN and OVERLINE; cp932, the code page
// the files' producers and our users' other tools use, reads them as
// backslash and tilde, and so do OpenSSL and Java.  Under a codeset that
// reads them so, those two characters can only have come from those two
// bytes (the full-width forms are other code points), so they are read back
// as cp932 reads them.  The codeset is judged by what it does with the two
// bytes, not by its name.  A double-byte character whose second byte is
// 0x5C was converted whole and is not touched.
void ReadAsCp932(wchar_t *wide, size_t count) {
  const bool yen = ReadAlone('\\') == L'\u00A5';
  const bool overline = ReadAlone('~') == L'\u203E';
  if (!yen && !overline) return;
  for (size_t i = 0; i < count; ++i) {
    if (yen && wide[i] == L'\u00A5') wide[i] = L'\\';
    if (overline && wide[i] == L'\u203E') wide[i] = L'~';
  }
}

}  // namespace

PasswordConversion ConvertPassword(const char *localPassword, platform::SecureBuffer *wide,
                                   platform::SecureBuffer *utf8) {
  if (localPassword == nullptr) return PasswordConversion::kConvertFailed;
  // The converted length, counting the terminator.
  size_t converted = std::mbstowcs(nullptr, localPassword, 0);
  if (converted == static_cast<size_t>(-1)) return PasswordConversion::kConvertFailed;
  size_t n = converted + 1;
  // Room for n + 1 wide characters, zero-filled before the conversion.
  if (n > SIZE_MAX / sizeof(wchar_t) - 1 || !wide->Allocate((n + 1) * sizeof(wchar_t))) {
    return PasswordConversion::kNoMemory;
  }
  std::memset(wide->data(), 0, wide->size());
  auto *wideChars = reinterpret_cast<wchar_t *>(wide->data());
  if (std::mbstowcs(wideChars, localPassword, n + 1) == static_cast<size_t>(-1)) {
    return PasswordConversion::kConvertFailed;
  }
  ReadAsCp932(wideChars, converted);
  // Every code point takes at most 4 bytes of UTF-8.
  size_t utf8Room = 4 * converted + 1;
  if (!utf8->Allocate(utf8Room)) return PasswordConversion::kNoMemory;
  std::memset(utf8->data(), 0, utf8->size());
  size_t written = 0;
  if (!WideToUtf8(wideChars, converted, utf8->data(), utf8Room, &written)) {
    return PasswordConversion::kConvertFailed;
  }
  return PasswordConversion::kOk;
}

}  // namespace velkor
