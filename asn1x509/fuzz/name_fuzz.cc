// Name decoding: whatever SetPduBER accepts can be walked completely, its
// DER comes back unchanged, and a name rebuilt AVA by AVA from the decoded
// records encodes to the very same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "asn1x509/asn1x509.h"

namespace {

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

volatile uint8_t sink;

void Touch(const unsigned char *p, uint32_t n) {
  uint8_t x = 0;
  for (uint32_t i = 0; i < n; ++i) {
    x = static_cast<uint8_t>(x ^ p[i]);
  }
  sink = x;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 0xFFFFFFFFu) {
    return 0;
  }
  uint32_t err = 0;
  X509NameHandle name = nullptr, copy = nullptr;
  Require(X509NameObjectCreate(&name, &err) == 0);
  Require(X509NameObjectCreate(&copy, &err) == 0);
  Pdu pdu{data, static_cast<uint32_t>(size)};
  if (X509NameObjectSetPduBER(name, &pdu, &err) == 0) {
    Pdu out{};
    Require(X509NameObjectGetPduDER(name, &out, &err) == 0);
    Require(out.length == size && std::memcmp(out.data, data, size) == 0);
    uint32_t rdns = 0;
    Require(X509NameObjectCalRDN(name, &rdns, &err) == 0);
    for (uint32_t r = 0; r < rdns; ++r) {
      uint32_t avas = 0;
      Require(X509NameObjectCalAVA(name, r, &avas, &err) == 0);
      Require(X509NameObjectAddRDN(copy, &err) == 0);
      for (uint32_t a = 0; a < avas; ++a) {
        X509AVA ava{};
        const X509AVA *held = nullptr;
        Require(X509NameObjectGetAVA(name, r, a, &ava, &err) == 0);
        Require(X509NameObjectGetAVAp(name, r, a, &held, &err) == 0);
        Require(held->value == ava.value);
        Touch(ava.value, ava.valueLength);
        Require(ava.valueLength >= 2);
        X509TypedAVA typed{};
        if (X509NameObjectSgetAVA(name, r, a, &typed, &err) == 0) {
          Touch(typed.country.data, typed.country.length);
          Touch(typed.directoryString.data, typed.directoryString.length);
        } else {
          Require(err == ASN1X509_ERR_UNSUPPORTED || err == ASN1X509_ERR_STRUCTURE);
        }
        Require(X509NameObjectSetAVA(copy, &ava, &err) == 0);
      }
      uint32_t none = 0;
      Require(X509NameObjectCalAVA(name, r, &none, &err) == 0);
    }
    uint32_t bad = 0;
    Require(X509NameObjectCalAVA(name, rdns, &bad, &err) == -1 && err == ASN1X509_ERR_INDEX);
    Pdu rebuilt{};
    Require(X509NameObjectGetPduDER(copy, &rebuilt, &err) == 0);
    Require(rebuilt.length == size && std::memcmp(rebuilt.data, data, size) == 0);
  } else {
    Require(err == ASN1X509_ERR_DER || err == ASN1X509_ERR_STRUCTURE);
  }
  Require(X509NameObjectDestroy(copy, &err) == 0);
  Require(X509NameObjectDestroy(name, &err) == 0);
  return 0;
}
