// Decodes arbitrary bytes as a name and runs GetTypicalDN and CompareDN
// on it: no crash, no leak, and a name always matches itself.
#include <asn1x509/asn1x509.h>

#include <cstdint>
#include <cstdlib>

#include "mirrel/mirrel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  uint32_t err = 0;
  X509NameHandle name = nullptr;
  X509NameHandle typical = nullptr;
  if (X509NameObjectCreate(&name, &err) != 0) std::abort();
  if (X509NameObjectCreate(&typical, &err) != 0) std::abort();
  const Pdu pdu{data, static_cast<uint32_t>(size)};
  if (X509NameObjectSetPduBER(name, &pdu, &err) == 0) {
    const int32_t rc = GetTypicalDN(name, typical, &err);
    int32_t result = 1;
    const int32_t compared = CompareDN(name, name, &result, &err);
    if (compared == 0 && result != 0) std::abort();  // a name equals itself
    if ((rc == 0) != (compared == 0)) std::abort();  // both fail on the same values
    if (rc == 0) {
      // The typical form is its own typical form.
      const int32_t again = CompareDN(name, typical, &result, &err);
      if (again != 0 || result != 0) std::abort();
    }
  }
  X509NameObjectDestroy(typical, &err);
  X509NameObjectDestroy(name, &err);
  return 0;
}
