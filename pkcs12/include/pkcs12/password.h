// The password as the PKCS#12 key derivation takes it: the locale's
// multibyte text read as wide characters and written again as UTF-8.
#ifndef PKCS12_PASSWORD_H_
#define PKCS12_PASSWORD_H_

#include <cstddef>

#include "platform/secure.h"

namespace velkor {

enum class PasswordConversion { kOk, kConvertFailed, kNoMemory };

// Converts the password from the locale's multibyte text into a wide
// string (n + 1 characters, zero-filled, n counting the terminator) and from
// that into UTF-8, the form the PKCS#12 key derivation takes.  Both forms
// live in wiped buffers.
[[nodiscard]] PasswordConversion ConvertPassword(const char *localPassword, platform::SecureBuffer *wide,
                                                 platform::SecureBuffer *utf8);

// Encodes wide characters (whole code points) as UTF-8 into `out`, which
// must hold 4 bytes per character plus the terminator.  False for a value
// that is no Unicode scalar value.
[[nodiscard]] bool WideToUtf8(const wchar_t *wide, size_t count, unsigned char *out, size_t room,
                              size_t *written);

}  // namespace velkor

#endif  // PKCS12_PASSWORD_H_
