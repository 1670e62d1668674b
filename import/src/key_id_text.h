// Key identifiers as text: decoding of the authority and subject key
// identifier extensions, their hexadecimal rendering, the piecewise
// comparison of two renderings, and the lookup in the trust anchor file.
#ifndef IMPORT_KEY_ID_TEXT_H_
#define IMPORT_KEY_ID_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "decisions.h"

namespace velkor {

// The keyIdentifier of a DER AuthorityKeyIdentifier value; none when the
// value is malformed or holds no (or an empty) keyIdentifier.
[[nodiscard]] std::optional<std::span<const unsigned char>> DecodeAuthorityKeyId(
    std::span<const unsigned char> der);

// The identifier of a DER SubjectKeyIdentifier value: an OCTET STRING with
// a one-byte length that covers exactly the rest of the value.
[[nodiscard]] std::optional<std::span<const unsigned char>> DecodeSubjectKeyId(std::span<const unsigned char> der);

// Lower-case two-digit hexadecimal numbers separated by one blank, 16 to a
// line with two blanks after the 8th, every line ended by CR LF.
std::string RenderKeyIdHex(std::span<const unsigned char> bytes);

// 0 when both texts hold the same hexadecimal pieces in the same order
// (pieces split at blanks, CR and LF; letter case ignored), 1 otherwise,
// also when either holds no piece.
int CompareKeyIdText(const std::string &a, const std::string &b);

// The length of a trust anchor line: 20 bytes as hexadecimal pairs with
// single blanks between them.
inline constexpr size_t kAnchorLineLength = 59;

// The largest trust anchor file read: many thousands of identifier lines.
// A larger file is not a trust anchor list but something else.
inline constexpr size_t kAnchorFileSizeLimit = 1024 * 1024;

// Looks `text` up in the trust anchor file at `path`: every line of exactly
// 59 characters (line end, and a CR before it, not counted) is compared
// with CompareKeyIdText: listed, not listed, or no file when the file
// cannot be opened or read: also when it is no regular file (a FIFO or a
// device never blocks or streams forever) or larger than
// kAnchorFileSizeLimit.
[[nodiscard]] decide::Anchor LookUpTrustAnchor(const std::string &path, const std::string &text);

}  // namespace velkor

#endif  // IMPORT_KEY_ID_TEXT_H_
