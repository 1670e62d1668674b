// RSA keys: PKCS#1 RSAPublicKey / RSAPrivateKey and the PKCS#8
// PrivateKeyInfo around an RSA private key.  Key bytes live in wiped
// storage.
#include "internal.h"
#include "tables.h"

using asn1x509::Code;
using asn1x509::ExpectAnyElement;
using asn1x509::ExpectElement;
using asn1x509::Guard;
using asn1x509::IsLive;
using asn1x509::ObjectKind;
using asn1x509::Status;
namespace der = asn1x509::der;

namespace {

// A non-negative INTEGER as its magnitude: the content octets without the
// sign octet (a zero keeps its one octet).
Status ReadUnsigned(der::Input *in, Pdu *out) {
  der::Input contents;
  if (Status s = ExpectElement(in, der::kInteger, &contents); !s.ok()) {
    return s;
  }
  if (!der::IsValidInteger(contents)) {
    return Code::kDer;
  }
  if ((contents.data()[0] & 0x80) != 0) {
    return Code::kStructure;  // RSA numbers are never negative
  }
  const uint8_t *p = contents.data();
  size_t n = contents.size();
  if (n > 1 && p[0] == 0) {
    ++p;
    --n;
  }
  out->data = p;
  out->length = static_cast<uint32_t>(n);
  return Code::kOk;
}

Status ReadVersion(der::Input *in, int32_t *version) {
  der::Input contents;
  if (Status s = ExpectElement(in, der::kInteger, &contents); !s.ok()) {
    return s;
  }
  if (!der::IsValidInteger(contents)) {
    return Code::kDer;
  }
  if (!der::ParseSmallNonNegative(contents, version)) {
    return Code::kUnsupported;
  }
  return Code::kOk;
}

// The outer SEQUENCE of `bytes`, which must be all there is.
Status OpenSequence(std::span<const uint8_t> bytes, der::Input *contents) {
  der::Input in(bytes);
  if (Status s = ExpectElement(&in, der::kSequence, contents); !s.ok()) {
    return s;
  }
  return in.empty() ? Code::kOk : Code::kDer;
}

// RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
Status ParsePublic(PKCS1RSAPublicKeyObject *key) {
  der::Input sequence;
  PKCS1RSAPublicKeyParam param{};
  if (Status s = OpenSequence(key->der.span(), &sequence); !s.ok()) {
    return s;
  }
  if (Status s = ReadUnsigned(&sequence, &param.modulus); !s.ok()) {
    return s;
  }
  if (Status s = ReadUnsigned(&sequence, &param.publicExponent); !s.ok()) {
    return s;
  }
  if (!sequence.empty()) {
    return Code::kStructure;
  }
  key->param = param;
  return Code::kOk;
}

// RSAPrivateKey ::= SEQUENCE { version, modulus, publicExponent,
//   privateExponent, prime1, prime2, exponent1, exponent2, coefficient,
//   otherPrimeInfos OPTIONAL }   -- two-prime keys (version 0) only
Status ParsePrivate(PKCS1RSAPrivateKeyObject *key) {
  der::Input sequence;
  PKCS1RSAPrivateKeyParam param{};
  if (Status s = OpenSequence(key->der.span(), &sequence); !s.ok()) {
    return s;
  }
  if (Status s = ReadVersion(&sequence, &param.version); !s.ok()) {
    return s;
  }
  if (param.version != 0) {
    return Code::kUnsupported;  // multi-prime keys
  }
  Pdu *fields[] = {&param.modulus, &param.publicExponent, &param.privateExponent, &param.prime1,
                   &param.prime2,  &param.exponent1,      &param.exponent2,       &param.coefficient};
  for (Pdu *field : fields) {
    if (Status s = ReadUnsigned(&sequence, field); !s.ok()) {
      return s;
    }
  }
  if (!sequence.empty()) {
    return Code::kStructure;
  }
  key->param = param;
  return Code::kOk;
}

Status LoadPrivate(PKCS1RSAPrivateKeyObject *key, std::span<const uint8_t> bytes) {
  key->loaded = false;
  key->param = PKCS1RSAPrivateKeyParam{};
  if (!key->der.Assign(bytes)) return Code::kNoMemory;
  const Status status = ParsePrivate(key);
  if (!status.ok()) {
    key->param = PKCS1RSAPrivateKeyParam{};
    key->der.Release();
    return status;
  }
  key->loaded = true;
  return Code::kOk;
}

// PrivateKeyInfo ::= SEQUENCE { version INTEGER,
//   privateKeyAlgorithm AlgorithmIdentifier, privateKey OCTET STRING,
//   attributes [0] IMPLICIT SET OF Attribute OPTIONAL,
//   publicKey [1] IMPLICIT BIT STRING OPTIONAL }   -- [1]: version 1 only
Status ParsePkcs8(PKCS8PrivateKeyInfoObject *info) {
  der::Input sequence, algorithm, oid, privateKey;
  if (Status s = OpenSequence(info->der.span(), &sequence); !s.ok()) {
    return s;
  }
  int32_t version = 0;
  if (Status s = ReadVersion(&sequence, &version); !s.ok()) {
    return s;
  }
  if (version > 1) {
    return Code::kUnsupported;
  }
  if (Status s = ExpectElement(&sequence, der::kSequence, &algorithm); !s.ok()) {
    return s;
  }
  if (Status s = ExpectElement(&algorithm, der::kObjectIdentifier, &oid); !s.ok()) {
    return s;
  }
  std::vector<int32_t> arcs;
  if (!der::ParseObjectIdentifier(oid, &arcs)) {
    return Code::kDer;
  }
  if (!asn1x509::SameArcs(arcs, asn1x509::RsaEncryptionArcs())) {
    return Code::kUnsupported;
  }
  // rsaEncryption takes NULL parameters; absent ones are read the same.
  if (!algorithm.empty()) {
    der::Input nullContents;
    if (Status s = ExpectElement(&algorithm, der::kNull, &nullContents); !s.ok()) {
      return s;
    }
    if (!nullContents.empty()) {
      return Code::kDer;
    }
    if (!algorithm.empty()) {
      return Code::kStructure;
    }
  }
  if (Status s = ExpectElement(&sequence, der::kOctetString, &privateKey); !s.ok()) {
    return s;
  }
  der::Input ignored;
  bool present = false;
  if (!sequence.ReadOptionalElement(der::ContextConstructed(0), &ignored, &present)) {
    return Code::kDer;
  }
  if (version == 1 && !sequence.ReadOptionalElement(der::ContextPrimitive(1), &ignored, &present)) {
    return Code::kDer;
  }
  if (!sequence.empty()) {
    return Code::kStructure;
  }
  info->privateKey = privateKey;
  return Code::kOk;
}

bool ValidPdu(const Pdu *pdu) { return pdu != nullptr && (pdu->data != nullptr || pdu->length == 0); }

}  // namespace

extern "C" {

int32_t PKCS1RSAPublicKeyObjectCreate(PKCS1RSAPublicKeyHandle *out, uint32_t *err) {
  return Guard(err, [&] { return asn1x509::CreateObject(out); });
}

int32_t PKCS1RSAPublicKeyObjectDestroy(PKCS1RSAPublicKeyHandle key, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(key, ObjectKind::kRsaPublic)) {
      return Code::kArgument;
    }
    asn1x509::DestroyObject(key);
    return Code::kOk;
  });
}

int32_t PKCS1RSAPublicKeyObjectSetPduBER(PKCS1RSAPublicKeyHandle key, const Pdu *pdu, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(key, ObjectKind::kRsaPublic) || !ValidPdu(pdu)) {
      return Code::kArgument;
    }
    key->loaded = false;
    key->param = PKCS1RSAPublicKeyParam{};
    if (!key->der.Assign({pdu->data, pdu->length})) return Code::kNoMemory;
    const Status status = ParsePublic(key);
    if (!status.ok()) {
      key->der.Release();
      return status;
    }
    key->loaded = true;
    return Code::kOk;
  });
}

int32_t PKCS1RSAPublicKeyObjectGetParam(PKCS1RSAPublicKeyHandle key, PKCS1RSAPublicKeyParam *record, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(key, ObjectKind::kRsaPublic) || record == nullptr) {
      return Code::kArgument;
    }
    if (!key->loaded) {
      return Code::kState;
    }
    *record = key->param;
    return Code::kOk;
  });
}

int32_t PKCS1RSAPrivateKeyObjectCreate(PKCS1RSAPrivateKeyHandle *out, uint32_t *err) {
  return Guard(err, [&] { return asn1x509::CreateObject(out); });
}

int32_t PKCS1RSAPrivateKeyObjectDestroy(PKCS1RSAPrivateKeyHandle key, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(key, ObjectKind::kRsaPrivate)) {
      return Code::kArgument;
    }
    asn1x509::DestroyObject(key);
    return Code::kOk;
  });
}

int32_t PKCS1RSAPrivateKeyObjectSetPduBER(PKCS1RSAPrivateKeyHandle key, const Pdu *pdu, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(key, ObjectKind::kRsaPrivate) || !ValidPdu(pdu)) {
      return Code::kArgument;
    }
    return LoadPrivate(key, {pdu->data, pdu->length});
  });
}

int32_t PKCS1RSAPrivateKeyObjectGetParam(PKCS1RSAPrivateKeyHandle key, PKCS1RSAPrivateKeyParam *record,
                                         uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(key, ObjectKind::kRsaPrivate) || record == nullptr) {
      return Code::kArgument;
    }
    if (!key->loaded) {
      return Code::kState;
    }
    *record = key->param;
    return Code::kOk;
  });
}

int32_t PKCS8PrivateKeyInfoObjectCreate(PKCS8PrivateKeyInfoHandle *out, uint32_t *err) {
  return Guard(err, [&] { return asn1x509::CreateObject(out); });
}

int32_t PKCS8PrivateKeyInfoObjectDestroy(PKCS8PrivateKeyInfoHandle info, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(info, ObjectKind::kPkcs8)) {
      return Code::kArgument;
    }
    asn1x509::DestroyObject(info);
    return Code::kOk;
  });
}

int32_t PKCS8PrivateKeyInfoObjectSetPduBER(PKCS8PrivateKeyInfoHandle info, const Pdu *pdu, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(info, ObjectKind::kPkcs8) || !ValidPdu(pdu)) {
      return Code::kArgument;
    }
    info->loaded = false;
    info->privateKey = der::Input();
    if (!info->der.Assign({pdu->data, pdu->length})) return Code::kNoMemory;
    const Status status = ParsePkcs8(info);
    if (!status.ok()) {
      info->privateKey = der::Input();
      info->der.Release();
      return status;
    }
    info->loaded = true;
    return Code::kOk;
  });
}

int32_t PKCS8PrivateKeyInfoObjectGetParamRSAKey(PKCS8PrivateKeyInfoHandle info, PKCS1RSAPrivateKeyHandle *key,
                                                uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(info, ObjectKind::kPkcs8) || key == nullptr || !IsLive(*key, ObjectKind::kRsaPrivate)) {
      return Code::kArgument;
    }
    if (!info->loaded) {
      return Code::kState;
    }
    return LoadPrivate(*key, info->privateKey.span());
  });
}

}  // extern "C"
