// Strict DER reading and writing.
//
// `Input` is a non-owning view {pointer, length} over bytes that someone
// else keeps alive.  Reads hand out sub-views and never allocate.  Every
// read that can fail is [[nodiscard]] and says whether the view moves on
// failure.  Reads and checks answer true or false, not a Status: what a
// malformed field means (kDer, kStructure, kUnsupported) is the caller's
// to say, and the import program reads its PKCS#12 files with them too.  All checks of the TLV framing live in ReadAnyElement; the
// content checks of the individual universal types live in the Parse...
// helpers below it.
//
// `Output` appends DER to a byte vector and produces exactly the framing
// that ReadAnyElement accepts.
#ifndef ASN1X509_SRC_DER_H_
#define ASN1X509_SRC_DER_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace asn1x509::der {

// Identifier octets (class, constructed bit and tag number in one byte;
// the high-tag-number form is never accepted).
inline constexpr uint8_t kBoolean = 0x01;
inline constexpr uint8_t kInteger = 0x02;
inline constexpr uint8_t kBitString = 0x03;
inline constexpr uint8_t kOctetString = 0x04;
inline constexpr uint8_t kNull = 0x05;
inline constexpr uint8_t kObjectIdentifier = 0x06;
inline constexpr uint8_t kUtf8String = 0x0C;
inline constexpr uint8_t kPrintableString = 0x13;
inline constexpr uint8_t kTeletexString = 0x14;
inline constexpr uint8_t kIa5String = 0x16;
inline constexpr uint8_t kUtcTime = 0x17;
inline constexpr uint8_t kGeneralizedTime = 0x18;
inline constexpr uint8_t kUniversalString = 0x1C;
inline constexpr uint8_t kBmpString = 0x1E;
inline constexpr uint8_t kSequence = 0x30;
inline constexpr uint8_t kSet = 0x31;

inline constexpr uint8_t kConstructed = 0x20;
inline constexpr uint8_t kContextSpecific = 0x80;
inline constexpr uint8_t kTagNumberMask = 0x1F;

constexpr uint8_t ContextPrimitive(uint8_t number) { return static_cast<uint8_t>(kContextSpecific | number); }
constexpr uint8_t ContextConstructed(uint8_t number) {
  return static_cast<uint8_t>(kContextSpecific | kConstructed | number);
}

struct Element;

class Input {
 public:
  constexpr Input() = default;
  constexpr Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  explicit Input(std::span<const uint8_t> bytes) : data_(bytes.data()), size_(bytes.size()) {}

  const uint8_t *data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const uint8_t> span() const { return {data_, size_}; }
  uint32_t size32() const { return static_cast<uint32_t>(size_); }

  // Splits off the first `count` bytes.  On failure (fewer bytes left) the
  // view does not move.
  [[nodiscard]] bool ReadBytes(size_t count, Input *out);

  // Reads one complete DER element of any identifier.  This is the only
  // place where the TLV framing is checked.  On failure the view does not
  // move.
  [[nodiscard]] bool ReadAnyElement(Element *out);

  // Reads one element whose identifier octet is `tag` and hands out its
  // contents.  On failure (malformed, or another identifier) the view does
  // not move.
  [[nodiscard]] bool ReadElement(uint8_t tag, Input *contents);

  // As ReadElement, but also hands out the whole TLV.  Either out pointer
  // may be null.  On failure the view does not move.
  [[nodiscard]] bool ReadElementWithHeader(uint8_t tag, Input *whole, Input *contents);

  // Reads an OPTIONAL element: when the next identifier is `tag` the
  // element is read (*present = true), otherwise nothing is read
  // (*present = false).  Fails, without moving, only when the next element
  // carries `tag` but is malformed.
  [[nodiscard]] bool ReadOptionalElement(uint8_t tag, Input *contents, bool *present);

  // The identifier octet of the next element; false when the view is
  // empty.  Never moves.
  [[nodiscard]] bool PeekTag(uint8_t *tag) const;

 private:
  const uint8_t *data_ = nullptr;
  size_t size_ = 0;
};

struct Element {
  uint8_t tag = 0;
  Input whole;     // identifier, length and contents
  Input contents;  // contents only
};

// ---- content checks of universal types (the contents, no header) ----

// BOOLEAN: exactly one octet, 0x00 or 0xFF.
[[nodiscard]] bool ParseBoolean(Input contents, bool *value);

// INTEGER: at least one octet and minimal two's complement (no redundant
// leading 0x00 or 0xFF octet).
[[nodiscard]] bool IsValidInteger(Input contents);

// INTEGER that must be non-negative and fit in 31 bits.
[[nodiscard]] bool ParseSmallNonNegative(Input contents, int32_t *value);

// BIT STRING: leading unused-bit count 0..7, zero when there are no
// further octets, and the unused bits themselves zero.
[[nodiscard]] bool ParseBitString(Input contents, Input *bits, uint32_t *bitLength);

// OBJECT IDENTIFIER: at least one subidentifier, each one minimal, the last
// one complete, and every arc within 0..INT32_MAX.  Arcs are appended to
// `arcs` (nothing is appended on failure).
[[nodiscard]] bool ParseObjectIdentifier(Input contents, std::vector<int32_t> *arcs);

// Whether ParseObjectIdentifier would accept the contents (no output).
[[nodiscard]] bool IsValidObjectIdentifier(Input contents);

// The arcs form an identifier that can be encoded: at least two arcs, the
// first 0..2, the second below 40 unless the first is 2, none negative.
[[nodiscard]] bool IsEncodableObjectIdentifier(std::span<const int32_t> arcs);

// UTCTime "YYMMDDHHMMSSZ" and GeneralizedTime "YYYYMMDDHHMMSSZ", the forms
// a certificate may carry, with field ranges checked.
[[nodiscard]] bool IsValidUtcTime(Input contents);
[[nodiscard]] bool IsValidGeneralizedTime(Input contents);

// ---- writing ----

// Bytes of the identifier and length octets for a given contents length.
size_t HeaderLength(size_t contentLength);

// Length octets the writer produces at most: the long form with four
// octets, so contents up to 4 GiB - 1 (the reader accepts no more either).
inline constexpr size_t kMaxLengthOctets = 5;

// Minimal definite length octets for `length`; answers how many were
// written, or 0 (nothing written) when the length needs more than
// kMaxLengthOctets (a count, like the writer's bool; the import program's
// BER conversion takes it as it is).
[[nodiscard]] size_t EncodeLength(size_t length, uint8_t (&out)[kMaxLengthOctets]);

class Output {
 public:
  explicit Output(std::vector<uint8_t> *buffer) : buffer_(buffer) {}

  void AddBytes(std::span<const uint8_t> bytes);
  // One element: identifier, minimal definite length, contents.
  // Fails, appending nothing, when the contents are 4 GiB or longer.
  bool AddElement(uint8_t tag, std::span<const uint8_t> contents);
  // Encodes `arcs` as an OBJECT IDENTIFIER element; the caller checked them
  // with IsEncodableObjectIdentifier.  Fails, appending nothing, when the
  // encoding would be 4 GiB or longer.
  [[nodiscard]] bool AddObjectIdentifier(std::span<const int32_t> arcs);

  // Opens a constructed element whose contents are appended next; returns
  // the marker that EndElement needs.
  [[nodiscard]] size_t BeginElement(uint8_t tag);
  // Closes the element opened at `marker`, writing its length.  Fails when
  // the contents exceed the 32-bit range (nothing is changed then).
  [[nodiscard]] bool EndElement(size_t marker);

 private:
  std::vector<uint8_t> *buffer_;
};

}  // namespace asn1x509::der

#endif  // ASN1X509_SRC_DER_H_
