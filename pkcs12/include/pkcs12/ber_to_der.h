// BER turned into DER before it is read, so that the strict DER reader of
// asn1x509 (der.h) is the only code that walks a file's structure.  PKCS#12
// producers write BER: indefinite lengths, long-form lengths where the
// short form would do, and OCTET STRINGs cut into pieces.  The conversion
// gives every element a minimal definite length and joins the pieces of a
// constructed OCTET STRING into one primitive string.
//
// Contents the crypto library keeps opaque (a definite-length constructed
// value whose contents are no run of elements) are kept as they are from
// the first byte that is no element on: a reader that looks in there stops
// at the same place it would have stopped in the BER.
#ifndef PKCS12_BER_TO_DER_H_
#define PKCS12_BER_TO_DER_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/secure.h"

namespace velkor {

// Elements inside more indefinite-length elements than this are refused.
inline constexpr int kMaxIndefiniteNesting = 64;
// Definite-length elements nested deeper than this are copied unconverted
// (nothing reads that deep; it bounds the recursion).
inline constexpr int kMaxBerNesting = 128;
// Constructed elements converted in one input at the most: each one takes a
// record of how it is written while the input is measured.  A certificate
// holds about a hundred, so real files stay far below.
inline constexpr size_t kMaxBerConstructed = size_t{1} << 20;
// Looks at element headers in one conversion at the most (every element is
// looked at once or twice), which bounds its work whatever the input's
// size: a real file holds some thousands of elements.
inline constexpr size_t kMaxBerElements = size_t{1} << 22;

enum class BerConversion {
  kOk,
  // The first element is no complete BER element (or is nested too deeply
  // in indefinite-length elements).
  kMalformed,
  // More than kMaxBerConstructed constructed elements, or kMaxBerElements
  // looks at elements, to convert.
  kTooManyElements,
  kNoMemory,
};

// Converts the first element of `ber` (bytes after it are ignored) into DER
// in *der.  A wiped buffer: the contents may be decrypted key bags.  The
// work is linear in the size of the input, whatever its nesting.
[[nodiscard]] BerConversion BerToDer(std::span<const uint8_t> ber, platform::SecureBuffer *der);

// The same without a copy where none is needed: *der is the DER of the
// first element, which is that element in `ber` itself when it is DER
// already (*out then stays empty), and *out otherwise.
[[nodiscard]] BerConversion BerToDer(std::span<const uint8_t> ber, platform::SecureBuffer *out,
                                     std::span<const uint8_t> *der);

}  // namespace velkor

#endif  // PKCS12_BER_TO_DER_H_
