// Certificate decoding: whatever SetPduBER accepts yields a parameter
// record whose every pointer stays inside the object, names that walk
// cleanly, and extension lookups that answer consistently.
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

void Touch(const void *p, uint32_t n) {
  const unsigned char *bytes = static_cast<const unsigned char *>(p);
  uint8_t x = 0;
  for (uint32_t i = 0; i < n; ++i) {
    x = static_cast<uint8_t>(x ^ bytes[i]);
  }
  sink = x;
}

void TouchBits(const X509BitString &bits) { Touch(bits.bits, (bits.bitLength + 7) / 8); }

void WalkName(X509NameHandle name, const Pdu &raw) {
  uint32_t err = 0, rdns = 0;
  Pdu out{};
  Require(X509NameObjectGetPduDER(name, &out, &err) == 0);
  Require(out.length == raw.length && std::memcmp(out.data, raw.data, raw.length) == 0);
  Require(X509NameObjectCalRDN(name, &rdns, &err) == 0);
  for (uint32_t r = 0; r < rdns; ++r) {
    uint32_t avas = 0;
    Require(X509NameObjectCalAVA(name, r, &avas, &err) == 0);
    for (uint32_t a = 0; a < avas; ++a) {
      X509AVA ava{};
      Require(X509NameObjectGetAVA(name, r, a, &ava, &err) == 0);
      Touch(ava.type.arcs, ava.type.count * 4);
      Touch(ava.value, ava.valueLength);
      X509TypedAVA typed{};
      if (X509NameObjectSgetAVA(name, r, a, &typed, &err) == 0) {
        Touch(typed.country.data, typed.country.length);
        Touch(typed.directoryString.data, typed.directoryString.length);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 0xFFFFFFFFu) {
    return 0;
  }
  uint32_t err = 0;
  X509CertHandle cert = nullptr;
  Require(X509CertObjectCreate(&cert, &err) == 0);
  Pdu pdu{data, static_cast<uint32_t>(size)};
  if (X509CertObjectSetPduBER(cert, &pdu, &err) == 0) {
    X509CertParam p{};
    Require(X509CertObjectGetParamUCert(cert, &p, &err) == 0);
    Pdu whole{};
    Require(X509CertObjectGetPduDER(cert, &whole, &err) == 0);
    Require(whole.length == size && std::memcmp(whole.data, data, size) == 0);
    Require(p.serial.serialForm == 1 && p.serial.serialLength >= 1);
    Touch(p.serial.serialBytes, p.serial.serialLength);
    Touch(p.signatureAlgorithm.arcs, p.signatureAlgorithm.count * 4);
    Touch(p.publicKeyAlgorithm.arcs, p.publicKeyAlgorithm.count * 4);
    Touch(p.signatureParameters.data, p.signatureParameters.length);
    Touch(p.publicKeyParameters.data, p.publicKeyParameters.length);
    Touch(p.notBefore.chars, p.notBefore.count);
    Touch(p.notAfter.chars, p.notAfter.count);
    TouchBits(p.subjectPublicKey);
    TouchBits(p.issuerUniqueId);
    TouchBits(p.subjectUniqueId);
    Touch(p.tbsCertificateDer.data, p.tbsCertificateDer.length);
    Touch(p.subjectPublicKeyInfoDer.data, p.subjectPublicKeyInfoDer.length);
    Require(p.version >= 0 && p.version <= 2);
    WalkName(p.issuer, p.issuerDer);
    WalkName(p.subject, p.subjectDer);
    if (p.extensions != nullptr) {
      const AsnObjid *ids[] = {&X509Objid_AuthorityKeyId, &X509Objid_SubjectKeyId, &X509Objid_BasicConstraints};
      for (const AsnObjid *id : ids) {
        X509Extension ext{};
        if (X509ExtObjectGetExtByObjid(p.extensions, id, &ext, &err) == 0) {
          Require(AsnCompareObjid(&ext.extnId, id, &err) == 0);
          Touch(ext.value.data, ext.value.length);
        } else {
          Require(err == ASN1X509_ERR_EXT_NOT_FOUND);
        }
      }
      X509BasicConstraints bc{};
      if (X509ExtObjectSgetBasicConstraints(p.extensions, &bc, &err) == 0) {
        Require(bc.pathLen >= 0);
      }
    } else {
      Require(p.extensionCount == 0);
    }
    // The public key, as the import reads it, never overreads either.
    PKCS1RSAPublicKeyHandle key = nullptr;
    Require(PKCS1RSAPublicKeyObjectCreate(&key, &err) == 0);
    Pdu keyPdu{p.subjectPublicKey.bits, p.subjectPublicKey.bitLength / 8};
    if (PKCS1RSAPublicKeyObjectSetPduBER(key, &keyPdu, &err) == 0) {
      PKCS1RSAPublicKeyParam kp{};
      Require(PKCS1RSAPublicKeyObjectGetParam(key, &kp, &err) == 0);
      Touch(kp.modulus.data, kp.modulus.length);
      Touch(kp.publicExponent.data, kp.publicExponent.length);
    }
    Require(PKCS1RSAPublicKeyObjectDestroy(key, &err) == 0);
  }
  Require(X509CertObjectDestroy(cert, &err) == 0);
  return 0;
}
