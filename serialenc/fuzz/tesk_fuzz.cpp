// Feeds arbitrary serial bytes (and, from the first four input bytes, an
// integer value) to Tesk and checks the result is a minimal DER INTEGER.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tesk/tesk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  X509CertParam record{};
  record.serial.serialForm = 1;
  record.serial.serialBytes = data;
  record.serial.serialLength = static_cast<uint32_t>(size > 0xFFFFFF ? 0xFFFFFF : size);
  uint32_t length = 0;
  unsigned char *der = nullptr;
  EncodeErrorInfo info{};
  const int32_t code = Tesk(&record, &length, &der, &info);
  if (size == 0) {
    if (code != 7) std::abort();
    return 0;
  }
  if (code != 0 || length < 3 || der[0] != 0x02) std::abort();
  const uint32_t header = der[1] < 0x80 ? 2u : 2u + (der[1] & 0x7Fu);
  if (header >= length) std::abort();
  const unsigned char *content = der + header;
  const uint32_t contentLength = length - header;
  if (contentLength > 1 && ((content[0] == 0x00 && (content[1] & 0x80) == 0) ||
                            (content[0] == 0xFF && (content[1] & 0x80) != 0))) {
    std::abort();  // not minimal
  }
  if (std::memcmp(content, data + (size - contentLength), contentLength) != 0) std::abort();
  FreeASN1Memory(der);

  if (size >= 4) {
    int32_t value = 0;
    std::memcpy(&value, data, sizeof value);
    record = X509CertParam{};
    record.serial.serialValue = value;
    if (Tesk(&record, &length, &der, &info) != 0 || length < 3 || length > 6) std::abort();
    FreeASN1Memory(der);
  }
  return 0;
}
