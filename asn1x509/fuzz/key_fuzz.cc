// PKCS#8 and PKCS#1 key decoding: accepted input yields numbers that lie
// inside the object and carry no redundant leading zero.
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "asn1x509/asn1x509.h"

namespace {

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

volatile uint8_t sink;

void CheckNumber(const Pdu &n) {
  Require(n.length >= 1);
  Require(n.length == 1 || n.data[0] != 0);
  uint8_t x = 0;
  for (uint32_t i = 0; i < n.length; ++i) {
    x = static_cast<uint8_t>(x ^ n.data[i]);
  }
  sink = x;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 0xFFFFFFFFu) {
    return 0;
  }
  uint32_t err = 0;
  PKCS8PrivateKeyInfoHandle info = nullptr;
  PKCS1RSAPrivateKeyHandle key = nullptr;
  Require(PKCS8PrivateKeyInfoObjectCreate(&info, &err) == 0);
  Require(PKCS1RSAPrivateKeyObjectCreate(&key, &err) == 0);
  Pdu pdu{data, static_cast<uint32_t>(size)};
  // The same bytes as PKCS#8 and as a bare PKCS#1 key.
  const bool wrapped = PKCS8PrivateKeyInfoObjectSetPduBER(info, &pdu, &err) == 0 &&
                       PKCS8PrivateKeyInfoObjectGetParamRSAKey(info, &key, &err) == 0;
  if (wrapped || PKCS1RSAPrivateKeyObjectSetPduBER(key, &pdu, &err) == 0) {
    PKCS1RSAPrivateKeyParam p{};
    Require(PKCS1RSAPrivateKeyObjectGetParam(key, &p, &err) == 0);
    for (const Pdu *n : {&p.modulus, &p.publicExponent, &p.privateExponent, &p.prime1, &p.prime2, &p.exponent1,
                         &p.exponent2, &p.coefficient}) {
      CheckNumber(*n);
    }
  }
  PKCS1RSAPublicKeyHandle pub = nullptr;
  Require(PKCS1RSAPublicKeyObjectCreate(&pub, &err) == 0);
  if (PKCS1RSAPublicKeyObjectSetPduBER(pub, &pdu, &err) == 0) {
    PKCS1RSAPublicKeyParam q{};
    Require(PKCS1RSAPublicKeyObjectGetParam(pub, &q, &err) == 0);
    CheckNumber(q.modulus);
    CheckNumber(q.publicExponent);
  }
  Require(PKCS1RSAPublicKeyObjectDestroy(pub, &err) == 0);
  Require(PKCS1RSAPrivateKeyObjectDestroy(key, &err) == 0);
  Require(PKCS8PrivateKeyInfoObjectDestroy(info, &err) == 0);
  return 0;
}
