// BerToDer on any bytes: no fault, no leak, the same result with and
// without a copy, and DER goes through unchanged.
// An input whose first element is DER all the way down (as the strict
// reader judges it) comes out byte for byte as it went in.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pkcs12/ber_to_der.h"
#include "der.h"

namespace der = asn1x509::der;

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// Every element of the run, and of the contents of every constructed one,
// is one the strict reader accepts.
bool AllDer(der::Input in, int depth) {
  while (!in.empty()) {
    der::Element element;
    if (depth > velkor::kMaxBerNesting || !in.ReadAnyElement(&element)) return false;
    if ((element.tag & der::kConstructed) != 0 && !AllDer(element.contents, depth + 1)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  platform::SecureBuffer converted;
  const velkor::BerConversion result = velkor::BerToDer({data, size}, &converted);
  // The form without a copy gives the same bytes.
  platform::SecureBuffer scratch;
  std::span<const uint8_t> view;
  Require(velkor::BerToDer({data, size}, &scratch, &view) == result);
  Require(view.size() == converted.size());
  Require(view.empty() || std::memcmp(view.data(), converted.data(), view.size()) == 0);
  der::Input in(data, size);
  der::Element first;
  if (!in.ReadAnyElement(&first)) return 0;
  if ((first.tag & der::kConstructed) != 0 && !AllDer(first.contents, 1)) return 0;
  Require(result == velkor::BerConversion::kOk);
  Require(converted.size() == first.whole.size());
  Require(std::memcmp(converted.data(), first.whole.data(), converted.size()) == 0);
  return 0;
}
