#include "integer_der.h"

#include <cstring>
#include <limits>

namespace tesk {
namespace {

void put(OutputCursor &cursor, unsigned char byte) noexcept {
  *cursor.position++ = byte;
  --cursor.remaining;
}

// Fills info for a content length and adds the total to the running
// total; fails when the encoding would not fit 32-bit lengths.
Status describe(uint32_t contentLength, uint32_t skip, uint32_t *total, IntegerLengthInfo *info) noexcept {
  const uint32_t fieldSize = lengthFieldSize(contentLength);
  const uint64_t own = 1u + uint64_t{fieldSize} + contentLength;
  const uint64_t running = uint64_t{*total} + own;
  if (running > std::numeric_limits<uint32_t>::max()) {
    return StepCode::invalidArgument;
  }
  info->total = static_cast<uint32_t>(own);
  info->lengthFieldSize = fieldSize;
  info->contentLength = contentLength;
  info->skip = skip;
  *total = static_cast<uint32_t>(running);
  return StepCode::ok;
}

// Checks that the cursor has room for the encoding info describes.  The
// header writer checks the length field and content sizes again, so an
// info record whose parts disagree with its total can never make the
// encoder write past the cursor.
Status checkRoom(const IntegerLengthInfo &info, const OutputCursor &cursor) noexcept {
  if (info.total > cursor.remaining || cursor.remaining == 0) {
    return StepCode::outputTooSmall;
  }
  return StepCode::ok;
}

// Writes tag and length field.  The tag goes out before the length field
// size is checked, so a refused length still leaves the tag in the buffer.
Status writeHeader(const IntegerLengthInfo &info, OutputCursor &cursor) noexcept {
  put(cursor, kIntegerTag);
  const uint32_t fieldSize = info.lengthFieldSize;
  if (fieldSize == 0 || fieldSize > kMaxLengthFieldSize) {
    return StepCode::invalidArgument;
  }
  if (uint64_t{fieldSize} + info.contentLength > cursor.remaining) {
    return StepCode::outputTooSmall;
  }
  if (fieldSize == 1) {
    put(cursor, static_cast<unsigned char>(info.contentLength));
    return StepCode::ok;
  }
  const uint32_t n = fieldSize - 1;
  put(cursor, static_cast<unsigned char>(0x80u + n));
  for (uint32_t i = n; i-- > 0;) {
    put(cursor, static_cast<unsigned char>(info.contentLength >> (8 * i)));
  }
  return StepCode::ok;
}

}  // namespace

uint32_t integerContentLength(int32_t value) noexcept {
  if (value >= 0) {
    if (value < 0x80) return 1;
    if (value < 0x8000) return 2;
    if (value < 0x800000) return 3;
    return 4;
  }
  if (value >= -0x80) return 1;
  if (value >= -0x8000) return 2;
  if (value >= -0x800000) return 3;
  return 4;
}

uint32_t lengthFieldSize(uint32_t contentLength) noexcept {
  if (contentLength < 0x80u) return 1;
  if (contentLength < 0x100u) return 2;
  if (contentLength < 0x10000u) return 3;
  if (contentLength < 0x1000000u) return 4;
  return 5;
}

uint32_t redundantLeadingBytes(const unsigned char *bytes, uint32_t length) noexcept {
  if (bytes == nullptr || length == 0) {
    return 0;
  }
  const unsigned char first = bytes[0];
  if (first != 0x00 && first != 0xFF) {
    return 0;
  }
  // A leading 0x00 is redundant while the byte after it keeps the sign
  // bit clear; a leading 0xFF while the byte after it keeps it set.  The
  // last byte is never skipped since the loop only looks at followers.
  const bool positive = first == 0x00;
  uint32_t skip = 0;
  for (uint32_t i = 1; i < length; ++i) {
    const bool signBit = (bytes[i] & 0x80u) != 0;
    if (signBit == positive) {
      break;
    }
    ++skip;
    if (bytes[i] != first) {
      break;
    }
  }
  return skip;
}

Status ZK_ASN1_CalLengthOfIntegerPDUDER(int32_t value, uint32_t *total, IntegerLengthInfo *info) noexcept {
  if (total == nullptr || info == nullptr) {
    return StepCode::invalidArgument;
  }
  return describe(integerContentLength(value), 0, total, info);
}

Status ZK_ASN1_CalLengthOfIntegerStringPDUDER(const ByteString *bytes, uint32_t *total,
                                              IntegerLengthInfo *info) noexcept {
  if (bytes == nullptr || total == nullptr || info == nullptr || bytes->length == 0 ||
      bytes->address == nullptr) {
    return StepCode::invalidArgument;
  }
  const uint32_t skip = redundantLeadingBytes(bytes->address, bytes->length);
  return describe(bytes->length - skip, skip, total, info);
}

Status ZK_ASN1_EncodeIntegerDER(int32_t value, const IntegerLengthInfo *info, OutputCursor *cursor) noexcept {
  if (info == nullptr || cursor == nullptr || cursor->position == nullptr) {
    return StepCode::invalidArgument;
  }
  if (const Status room = checkRoom(*info, *cursor); !room.ok()) {
    return room;
  }
  // A 32-bit value has at most 4 content bytes; more would shift past
  // the width of the value.
  if (info->contentLength == 0 || info->contentLength > 4) {
    return StepCode::invalidArgument;
  }
  if (const Status header = writeHeader(*info, *cursor); !header.ok()) {
    return header;
  }
  for (uint32_t i = info->contentLength; i-- > 0;) {
    put(*cursor, static_cast<unsigned char>(value >> (8 * i)));
  }
  return StepCode::ok;
}

Status ZK_ASN1_EncodeIntegerStringDER(const ByteString *bytes, const IntegerLengthInfo *info,
                                      OutputCursor *cursor) noexcept {
  if (bytes == nullptr || info == nullptr || cursor == nullptr || cursor->position == nullptr ||
      bytes->length == 0 || bytes->address == nullptr) {
    return StepCode::invalidArgument;
  }
  if (const Status room = checkRoom(*info, *cursor); !room.ok()) {
    return room;
  }
  // The content must lie inside the string.
  if (uint64_t{info->skip} + info->contentLength > bytes->length) {
    return StepCode::invalidArgument;
  }
  if (const Status header = writeHeader(*info, *cursor); !header.ok()) {
    return header;
  }
  if (info->contentLength > 0) {
    std::memcpy(cursor->position, bytes->address + info->skip, info->contentLength);
    cursor->position += info->contentLength;
    cursor->remaining -= info->contentLength;
  }
  return StepCode::ok;
}

}  // namespace tesk
