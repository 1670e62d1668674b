// Owners for the object library's handles (shared with the read program)
// and for the serial encoder's buffer.
#ifndef IMPORT_LIBRARY_OBJECTS_H_
#define IMPORT_LIBRARY_OBJECTS_H_

#include <cstdint>

#include "asn1x509/asn1x509.h"
#include "import_messages.h"
#include "token/library_objects.h"
#include "tesk/tesk.h"
#include "token/outcome.h"

namespace velkor {

using token::CertObject;
using token::NameObject;
using token::Pkcs1PrivateKeyObject;
using token::Pkcs1PublicKeyObject;
using token::Pkcs8Object;

// The DER serial number that Tesk hands out, released with FreeASN1Memory.
class EncodedSerial {
 public:
  EncodedSerial() = default;
  ~EncodedSerial() { Reset(); }
  EncodedSerial(const EncodedSerial &) = delete;
  EncodedSerial &operator=(const EncodedSerial &) = delete;

  // Encodes the record's serial number; on failure the message names the
  // failing step's code, and nothing is held.
  [[nodiscard]] token::Outcome Encode(const X509CertParam &param) {
    Reset();
    EncodeErrorInfo info{};
    uint32_t length = 0;
    unsigned char *bytes = nullptr;
    int32_t rc = Tesk(&param, &length, &bytes, &info);
    if (rc != 0) {
      return token::Outcome::Failure(token::kFailure, msg::kSerialEncode,
                                     static_cast<uint32_t>(info.stepCode != 0 ? info.stepCode : rc));
    }
    bytes_ = bytes;
    length_ = length;
    return {};
  }
  void Reset() {
    if (bytes_ != nullptr) FreeASN1Memory(bytes_);
    bytes_ = nullptr;
    length_ = 0;
  }
  const unsigned char *data() const { return bytes_; }
  uint32_t size() const { return length_; }

 private:
  unsigned char *bytes_ = nullptr;
  uint32_t length_ = 0;
};

}  // namespace velkor

#endif  // IMPORT_LIBRARY_OBJECTS_H_
