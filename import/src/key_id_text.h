// Key identifiers as text: decoding of the authority and subject key
// identifier extensions, their hexadecimal rendering, and the piecewise
// comparison of two renderings.
#ifndef IMPORT_KEY_ID_TEXT_H_
#define IMPORT_KEY_ID_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

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

}  // namespace velkor

#endif  // IMPORT_KEY_ID_TEXT_H_
