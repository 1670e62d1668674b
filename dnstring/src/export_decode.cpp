// Exported decoders of DER values.
#include "decode.h"
#include "guard.h"
#include "parvox/parvox.h"

extern "C" {

int32_t PARVOX_DirectStringDecode(const Pdu *pdu, unsigned char **cursor, int32_t *room, int32_t mode,
                                  uint32_t *errorCode) {
  return parvox::runDecoder(
      cursor, room, errorCode,
      [](const void *input, int32_t m, parvox::Out &out) -> parvox::Status {
        return parvox::decodeDirectoryString(*static_cast<const Pdu *>(input), m, out);
      },
      pdu, mode);
}

int32_t PARVOX_EmailAddrDecode(const Pdu *pdu, unsigned char **cursor, int32_t *room, int32_t mode,
                               uint32_t *errorCode) {
  return parvox::runDecoder(
      cursor, room, errorCode,
      [](const void *input, int32_t m, parvox::Out &out) -> parvox::Status {
        return parvox::decodeEmailAddress(*static_cast<const Pdu *>(input), m, out);
      },
      pdu, mode);
}

}  // extern "C"
