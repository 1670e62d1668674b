// RAII access to the object library's generic ASN.1 values, and the two
// value types this library reads and writes through it.
#ifndef PARVOX_SRC_ASN_H_
#define PARVOX_SRC_ASN_H_

#include <asn1x509/asn1x509.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "status.h"

namespace parvox {

// DirectoryString: CHOICE of teletexString, printableString, bmpString,
// universalString, utf8String (choices 1 to 5, in that order).
extern const AsnTypeDesc kDirectoryStringType;
// Path name of DirectoryString choice 1..5; PARVOX_ERR_DECODE_CHOICE
// outside.
Result<const char *> directoryStringPath(int32_t choice);
// EmailAddress: IA5String at the root.
extern const AsnTypeDesc kEmailAddressType;

struct Bytes {
  const unsigned char *data;
  size_t length;
};

class AsnValue {
 public:
  static Result<AsnValue> create();
  AsnValue(AsnValue &&other) noexcept : handle_(other.handle_), open_(other.open_) {
    other.handle_ = nullptr;
    other.open_ = false;
  }
  AsnValue &operator=(AsnValue &&) = delete;
  AsnValue(const AsnValue &) = delete;
  AsnValue &operator=(const AsnValue &) = delete;
  ~AsnValue();

  // Open DER bytes (kept by reference: `pdu` must outlive this object's use).
  Status openFromMem(const AsnTypeDesc &type, const Pdu &pdu);
  Status openNew(const AsnTypeDesc &type);
  Status decode();
  Result<int32_t> choice();
  // Content octets of the value at path, inside the opened bytes.
  Result<Bytes> content(const char *path);
  Status setContent(const char *path, const unsigned char *bytes, size_t length);
  Result<std::vector<unsigned char>> encode();

 private:
  explicit AsnValue(AsnObjectHandle handle) : handle_(handle) {}
  AsnObjectHandle handle_;
  bool open_ = false;
};

// DER of a DirectoryString holding `bytes` as the given choice, or of an
// EmailAddress (IA5String).
Result<std::vector<unsigned char>> encodeDirectoryString(int32_t choice, const unsigned char *bytes, size_t length);
Result<std::vector<unsigned char>> encodeEmailAddress(const unsigned char *bytes, size_t length);

}  // namespace parvox

#endif  // PARVOX_SRC_ASN_H_
