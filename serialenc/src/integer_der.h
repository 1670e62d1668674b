// Minimal DER encoder for INTEGER values: a length calculation that
// describes the encoding, and an encoding step that writes it.
#ifndef TESK_SRC_INTEGER_DER_H_
#define TESK_SRC_INTEGER_DER_H_

#include <cstdint>

#include "step_code.h"

namespace tesk {

inline constexpr unsigned char kIntegerTag = 0x02;
inline constexpr uint32_t kMaxLengthFieldSize = 5;

// Content octets of a serial number: big-endian two's complement.
struct ByteString {
  uint32_t length;
  const unsigned char *address;
};

// Produced by a length calculation, consumed by the matching encoding.
struct IntegerLengthInfo {
  uint32_t total;            // tag + length field + content
  uint32_t lengthFieldSize;  // 1 (short form) or 1 + n
  uint32_t contentLength;
  uint32_t skip;             // redundant leading input bytes left out
};

// Where the next byte goes and how many bytes may still be written.
struct OutputCursor {
  uint32_t remaining;
  unsigned char *position;
};

// Number of content bytes of the shortest two's-complement form of value.
uint32_t integerContentLength(int32_t value) noexcept;
// Size of the DER length field for a content length.
uint32_t lengthFieldSize(uint32_t contentLength) noexcept;
// Redundant leading 0x00 / 0xFF bytes of a non-empty string.
uint32_t redundantLeadingBytes(const unsigned char *bytes, uint32_t length) noexcept;

// Both calculations fill info and add info.total to the running total.
Status ZK_ASN1_CalLengthOfIntegerPDUDER(int32_t value, uint32_t *total, IntegerLengthInfo *info) noexcept;
Status ZK_ASN1_CalLengthOfIntegerStringPDUDER(const ByteString *bytes, uint32_t *total,
                                              IntegerLengthInfo *info) noexcept;

Status ZK_ASN1_EncodeIntegerDER(int32_t value, const IntegerLengthInfo *info, OutputCursor *cursor) noexcept;
Status ZK_ASN1_EncodeIntegerStringDER(const ByteString *bytes, const IntegerLengthInfo *info,
                                      OutputCursor *cursor) noexcept;

}  // namespace tesk

#endif  // TESK_SRC_INTEGER_DER_H_
