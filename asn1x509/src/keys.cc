// RSA keys: PKCS#1 RSAPublicKey / RSAPrivateKey and the PKCS#8
// PrivateKeyInfo around an RSA private key.  Key bytes live in wiped
// storage.
#include "internal.h"
#include "tables.h"

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
  if (Status s = ExpectElement(in, der::kInteger, &contents); s != Status::kOk) {
    return s;
  }
  if (!der::IsValidInteger(contents)) {
    return Status::kDer;
  }
  if ((contents.data()[0] & 0x80) != 0) {
    return Status::kStructure;  // RSA numbers are never negative
  }
  const uint8_t *p = contents.data();
  size_t n = contents.size();
  if (n > 1 && p[0] == 0) {
    ++p;
    --n;
  }
  out->data = p;
  out->length = static_cast<uint32_t>(n);
  return Status::kOk;
}

Status ReadVersion(der::Input *in, int32_t *version) {
  der::Input contents;
  if (Status s = ExpectElement(in, der::kInteger, &contents); s != Status::kOk) {
    return s;
  }
  if (!der::IsValidInteger(contents)) {
    return Status::kDer;
  }
  if (!der::ParseSmallNonNegative(contents, version)) {
    return Status::kUnsupported;
  }
  return Status::kOk;
}

// The outer SEQUENCE of `bytes`, which must be all there is.
Status OpenSequence(std::span<const uint8_t> bytes, der::Input *contents) {
  der::Input in(bytes);
  if (Status s = ExpectElement(&in, der::kSequence, contents); s != Status::kOk) {
    return s;
  }
  return in.empty() ? Status::kOk : Status::kDer;
}

// RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
Status ParsePublic(PKCS1RSAPublicKeyObject *key) {
  der::Input sequence;
  PKCS1RSAPublicKeyParam param{};
  if (Status s = OpenSequence(key->der.span(), &sequence); s != Status::kOk) {
    return s;
  }
  if (Status s = ReadUnsigned(&sequence, &param.modulus); s != Status::kOk) {
    return s;
  }
  if (Status s = ReadUnsigned(&sequence, &param.publicExponent); s != Status::kOk) {
    return s;
  }
  if (!sequence.empty()) {
    return Status::kStructure;
  }
  key->param = param;
  return Status::kOk;
}

// RSAPrivateKey ::= SEQUENCE { version, modulus, publicExponent,
//   privateExponent, prime1, prime2, exponent1, exponent2, coefficient,
//   otherPrimeInfos OPTIONAL }   -- two-prime keys (version 0) only
Status ParsePrivate(PKCS1RSAPrivateKeyObject *key) {
  der::Input sequence;
  PKCS1RSAPrivateKeyParam param{};
  if (Status s = OpenSequence(key->der.span(), &sequence); s != Status::kOk) {
    return s;
  }
  if (Status s = ReadVersion(&sequence, &param.version); s != Status::kOk) {
    return s;
  }
  if (param.version != 0) {
    return Status::kUnsupported;  // multi-prime keys
  }
  Pdu *fields[] = {&param.modulus, &param.publicExponent, &param.privateExponent, &param.prime1,
                   &param.prime2,  &param.exponent1,      &param.exponent2,       &param.coefficient};
  for (Pdu *field : fields) {
    if (Status s = ReadUnsigned(&sequence, field); s != Status::kOk) {
      return s;
    }
  }
  if (!sequence.empty()) {
    return Status::kStructure;
  }
  key->param = param;
  return Status::kOk;
}

Status LoadPrivate(PKCS1RSAPrivateKeyObject *key, std::span<const uint8_t> bytes) {
  key->loaded = false;
  key->param = PKCS1RSAPrivateKeyParam{};
  if (!key->der.Assign(bytes)) return Status::kNoMemory;
  const Status status = ParsePrivate(key);
  if (status != Status::kOk) {
    key->param = PKCS1RSAPrivateKeyParam{};
    key->der.Release();
    return status;
  }
  key->loaded = true;
  return Status::kOk;
}

// PrivateKeyInfo ::= SEQUENCE { version INTEGER,
//   privateKeyAlgorithm AlgorithmIdentifier, privateKey OCTET STRING,
//   attributes [0] IMPLICIT SET OF Attribute OPTIONAL,
//   publicKey [1] IMPLICIT BIT STRING OPTIONAL }   -- [1]: version 1 only
Status ParsePkcs8(PKCS8PrivateKeyInfoObject *info) {
  der::Input sequence, algorithm, oid, privateKey;
  if (Status s = OpenSequence(info->der.span(), &sequence); s != Status::kOk) {
    return s;
  }
  int32_t version = 0;
  if (Status s = ReadVersion(&sequence, &version); s != Status::kOk) {
    return s;
  }
  if (version > 1) {
    return Status::kUnsupported;
  }
  if (Status s = ExpectElement(&sequence, der::kSequence, &algorithm); s != Status::kOk) {
    return s;
  }
  if (Status s = ExpectElement(&algorithm, der::kObjectIdentifier, &oid); s != Status::kOk) {
    return s;
  }
  std::vector<int32_t> arcs;
  if (!der::ParseObjectIdentifier(oid, &arcs)) {
    return Status::kDer;
  }
  if (!asn1x509::SameArcs(arcs, asn1x509::RsaEncryptionArcs())) {
    return Status::kUnsupported;
  }
  // rsaEncryption takes NULL parameters; absent ones are read the same.
  if (!algorithm.empty()) {
    der::Input nullContents;
    if (Status s = ExpectElement(&algorithm, der::kNull, &nullContents); s != Status::kOk) {
      return s;
    }
    if (!nullContents.empty()) {
      return Status::kDer;
    }
    if (!algorithm.empty()) {
      return Status::kStructure;
    }
  }
  if (Status s = ExpectElement(&sequence, der::kOctetString, &privateKey); s != Status::kOk) {
    return s;
  }
  der::Input ignored;
  bool present = false;
  if (!sequence.ReadOptionalElement(der::ContextConstructed(0), &ignored, &present)) {
    return Status::kDer;
  }
  if (version == 1 && !sequence.ReadOptionalElement(der::ContextPrimitive(1), &ignored, &present)) {
    return Status::kDer;
  }
  if (!sequence.empty()) {
    return Status::kStructure;
  }
  info->privateKey = privateKey;
  return Status::kOk;
}

bool ValidPdu(const Pdu *pdu) { return pdu != nullptr && (pdu->data != nullptr || pdu->length == 0); }

}  // namespace

extern "C" {

int32_t PKCS1RSAPublicKeyObjectCreate(PKCS1RSAPublicKeyHandle *out, uint32_t *err) {
  return Guard(err, [&] { return asn1x509::CreateObject(out); });
}

int32_t PKCS1RSAPublicKeyObjectDestroy(PKCS1RSAPublicKeyHandle key, uint32_t *err) {
  return Guard(err, [&] {
    if (!IsLive(key, ObjectKind::kRsaPublic)) {
      return Status::kArgument;
    }
    asn1x509::DestroyObject(key);
    return Status::kOk;
  });
}

int32_t PKCS1RSAPublicKeyObjectSetPduBER(PKCS1RSAPublicKeyHandle key, const Pdu *pdu, uint32_t *err) {
  return Guard(err, [&] {
    if (!IsLive(key, ObjectKind::kRsaPublic) || !ValidPdu(pdu)) {
      return Status::kArgument;
    }
    key->loaded = false;
    key->param = PKCS1RSAPublicKeyParam{};
    if (!key->der.Assign({pdu->data, pdu->length})) return Status::kNoMemory;
    const Status status = ParsePublic(key);
    if (status != Status::kOk) {
      key->der.Release();
      return status;
    }
    key->loaded = true;
    return Status::kOk;
  });
}

int32_t PKCS1RSAPublicKeyObjectGetParam(PKCS1RSAPublicKeyHandle key, PKCS1RSAPublicKeyParam *record, uint32_t *err) {
  return Guard(err, [&] {
    if (!IsLive(key, ObjectKind::kRsaPublic) || record == nullptr) {
      return Status::kArgument;
    }
    if (!key->loaded) {
      return Status::kState;
    }
    *record = key->param;
    return Status::kOk;
  });
}

int32_t PKCS1RSAPrivateKeyObjectCreate(PKCS1RSAPrivateKeyHandle *out, uint32_t *err) {
  return Guard(err, [&] { return asn1x509::CreateObject(out); });
}

int32_t PKCS1RSAPrivateKeyObjectDestroy(PKCS1RSAPrivateKeyHandle key, uint32_t *err) {
  return Guard(err, [&] {
    if (!IsLive(key, ObjectKind::kRsaPrivate)) {
      return Status::kArgument;
    }
    asn1x509::DestroyObject(key);
    return Status::kOk;
  });
}

int32_t PKCS1RSAPrivateKeyObjectSetPduBER(PKCS1RSAPrivateKeyHandle key, const Pdu *pdu, uint32_t *err) {
  return Guard(err, [&] {
    if (!IsLive(key, ObjectKind::kRsaPrivate) || !ValidPdu(pdu)) {
      return Status::kArgument;
    }
    return LoadPrivate(key, {pdu->data, pdu->length});
  });
}

int32_t PKCS1RSAPrivateKeyObjectGetParam(PKCS1RSAPrivateKeyHandle key, PKCS1RSAPrivateKeyParam *record,
                                         uint32_t *err) {
  return Guard(err, [&] {
    if (!IsLive(key, ObjectKind::kRsaPrivate) || record == nullptr) {
      return Status::kArgument;
    }
    if (!key->loaded) {
      return Status::kState;
    }
    *record = key->param;
    return Status::kOk;
  });
}

int32_t PKCS8PrivateKeyInfoObjectCreate(PKCS8PrivateKeyInfoHandle *out, uint32_t *err) {
  return Guard(err, [&] { return asn1x509::CreateObject(out); });
}

int32_t PKCS8PrivateKeyInfoObjectDestroy(PKCS8PrivateKeyInfoHandle info, uint32_t *err) {
  return Guard(err, [&] {
    if (!IsLive(info, ObjectKind::kPkcs8)) {
      return Status::kArgument;
    }
    asn1x509::DestroyObject(info);
    return Status::kOk;
  });
}

int32_t PKCS8PrivateKeyInfoObjectSetPduBER(PKCS8PrivateKeyInfoHandle info, const Pdu *pdu, uint32_t *err) {
  return Guard(err, [&] {
    if (!IsLive(info, ObjectKind::kPkcs8) || !ValidPdu(pdu)) {
      return Status::kArgument;
    }
    info->loaded = false;
    info->privateKey = der::Input();
    if (!info->der.Assign({pdu->data, pdu->length})) return Status::kNoMemory;
    const Status status = ParsePkcs8(info);
    if (status != Status::kOk) {
      info->privateKey = der::Input();
      info->der.Release();
      return status;
    }
    info->loaded = true;
    return Status::kOk;
  });
}

int32_t PKCS8PrivateKeyInfoObjectGetParamRSAKey(PKCS8PrivateKeyInfoHandle info, PKCS1RSAPrivateKeyHandle *key,
                                                uint32_t *err) {
  return Guard(err, [&] {
    if (!IsLive(info, ObjectKind::kPkcs8) || key == nullptr || !IsLive(*key, ObjectKind::kRsaPrivate)) {
      return Status::kArgument;
    }
    if (!info->loaded) {
      return Status::kState;
    }
    return LoadPrivate(*key, info->privateKey.span());
  });
}

}  // extern "C"
