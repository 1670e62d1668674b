// Directory-string and e-mail values to text.
#ifndef PARVOX_SRC_DECODE_H_
#define PARVOX_SRC_DECODE_H_

#include <asn1x509/asn1x509.h>

#include <cstddef>
#include <cstdint>

#include "out.h"
#include "status.h"

namespace parvox {

// Output modes.
constexpr int32_t kModeLocal = 0;
constexpr int32_t kModeUtf8 = 1;
constexpr int32_t kModeUtf8Dn = 2;

// Text of DirectoryString content of the given choice.
Status directoryStringText(int32_t choice, const unsigned char *data, size_t length, int32_t mode, Out &out);
// Text of an IA5String or other plain value: escaped in mode 2, copied
// otherwise.
Status plainTextValue(const unsigned char *data, size_t length, int32_t mode, Out &out);
// Text of a DER DirectoryString.
Status decodeDirectoryString(const Pdu &pdu, int32_t mode, Out &out);
// Text of a DER IA5String e-mail address.
Status decodeEmailAddress(const Pdu &pdu, int32_t mode, Out &out);

}  // namespace parvox

#endif  // PARVOX_SRC_DECODE_H_
