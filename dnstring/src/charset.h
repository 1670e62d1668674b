// Character-set conversions of directory-string contents.
#ifndef PARVOX_SRC_CHARSET_H_
#define PARVOX_SRC_CHARSET_H_

#include <cstddef>
#include <cstdint>

#include "out.h"
#include "status.h"

namespace parvox {

enum class Conv : uint8_t {
  Ucs2ToMbs,     // big-endian UCS-2 -> local multibyte
  Ucs4ToMbs,     // big-endian UCS-4 -> local multibyte
  Utf8ToMbs,     // UTF-8 -> local multibyte
  Ucs2ToUtf8,
  Ucs4ToUtf8,
  Ucs2ToUtf8Dn,  // ... UTF-8 escaped as a DN value
  Ucs4ToUtf8Dn,
};

// Error code an input length outside the converter's rule gets (also used
// for negative lengths handed in through the C interface).
uint32_t lengthError(Conv conv);
// Error code of a failed allocation in the converter (the *ToMbs ones have
// their own; the others borrow their length code).
uint32_t memoryError(Conv conv);

// Convert `len` bytes at `src` into `out`.  Size queries of the *ToMbs
// converters answer an upper bound for the active locale; all others are
// exact.  The *ToMbs converters first set LC_CTYPE from the environment and
// store a NUL behind the text when it fits.
Status convert(Conv conv, const unsigned char *src, size_t len, Out &out);

// DN escaping of one whole value given as bytes: ",+\"\\<>;" anywhere, '#'
// or space as first byte and space as last byte get a backslash.
void escapeValue(const unsigned char *src, size_t len, Out &out);

// Set LC_CTYPE of the process from the environment ("" locale).
void selectLocalCharset();

}  // namespace parvox

#endif  // PARVOX_SRC_CHARSET_H_
