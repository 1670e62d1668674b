// Whatever the reader accepts as a run of elements, the writer reproduces
// byte for byte; the same holds inside constructed elements and for the
// object identifiers the reader accepts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "der.h"

namespace der = asn1x509::der;

namespace {

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// Reads elements until the view is exhausted or refused; rewrites each one
// and compares with the bytes consumed.  Constructed contents are walked
// the same way, to a bounded depth.
void Walk(der::Input in, int depth) {
  while (!in.empty()) {
    const der::Input before = in;
    der::Element element;
    if (!in.ReadAnyElement(&element)) {
      Require(in.size() == before.size());  // a refused read does not move
      return;
    }
    Require(element.whole.data() == before.data());
    Require(element.contents.data() + element.contents.size() == element.whole.data() + element.whole.size());
    std::vector<uint8_t> written;
    Require(der::Output(&written).AddElement(element.tag, element.contents.span()));
    Require(written.size() == element.whole.size());
    Require(std::memcmp(written.data(), element.whole.data(), written.size()) == 0);
    Require(der::HeaderLength(element.contents.size()) + element.contents.size() == element.whole.size());

    if (element.tag == der::kObjectIdentifier) {
      std::vector<int32_t> arcs;
      if (der::ParseObjectIdentifier(element.contents, &arcs)) {
        Require(der::IsEncodableObjectIdentifier(arcs));
        std::vector<uint8_t> oid;
        Require(der::Output(&oid).AddObjectIdentifier(arcs));
        Require(oid.size() == element.whole.size());
        Require(std::memcmp(oid.data(), element.whole.data(), oid.size()) == 0);
      }
    }
    if ((element.tag & der::kConstructed) != 0 && depth < 16) {
      Walk(element.contents, depth + 1);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Walk(der::Input(data, size), 0);
  return 0;
}
