// Certificates (RFC 5280 Certificate / TBSCertificate) and their
// extension sets.
#include <array>

#include "internal.h"
#include "tables.h"

using asn1x509::Code;
using asn1x509::ExpectAnyElement;
using asn1x509::ExpectElement;
using asn1x509::ExpectElementWithHeader;
using asn1x509::Guard;
using asn1x509::IsLive;
using asn1x509::ObjectKind;
using asn1x509::Status;
namespace der = asn1x509::der;

namespace {

constexpr std::array<int32_t, 4> kAuthorityKeyIdArcs{2, 5, 29, 35};
constexpr std::array<int32_t, 4> kSubjectKeyIdArcs{2, 5, 29, 14};
constexpr std::array<int32_t, 4> kBasicConstraintsArcs{2, 5, 29, 19};

// AlgorithmIdentifier ::= SEQUENCE { algorithm OBJECT IDENTIFIER,
//                                    parameters ANY OPTIONAL }
// The arcs are appended to `arcs`; *offset says where they start.
Status ReadAlgorithm(der::Input *in, std::vector<int32_t> *arcs, size_t *offset, uint32_t *count, Pdu *parameters) {
  der::Input algorithm, oid;
  if (Status s = ExpectElement(in, der::kSequence, &algorithm); !s.ok()) {
    return s;
  }
  if (Status s = ExpectElement(&algorithm, der::kObjectIdentifier, &oid); !s.ok()) {
    return s;
  }
  *offset = arcs->size();
  if (!der::ParseObjectIdentifier(oid, arcs)) {
    return Code::kDer;
  }
  *count = static_cast<uint32_t>(arcs->size() - *offset);
  *parameters = Pdu{};
  if (!algorithm.empty()) {
    der::Element element;
    if (Status s = ExpectAnyElement(&algorithm, &element); !s.ok()) {
      return s;
    }
    if (!algorithm.empty()) {
      return Code::kStructure;
    }
    parameters->data = element.whole.data();
    parameters->length = element.whole.size32();
  }
  return Code::kOk;
}

// Time ::= CHOICE { utcTime UTCTime, generalTime GeneralizedTime }
Status ReadTime(der::Input *in, X509Time *out) {
  der::Element element;
  if (Status s = ExpectAnyElement(in, &element); !s.ok()) {
    return s;
  }
  if (element.tag == der::kUtcTime) {
    if (!der::IsValidUtcTime(element.contents)) {
      return Code::kDer;
    }
    out->kind = X509_TIME_UTC;
  } else if (element.tag == der::kGeneralizedTime) {
    if (!der::IsValidGeneralizedTime(element.contents)) {
      return Code::kDer;
    }
    out->kind = X509_TIME_GENERALIZED;
  } else {
    return Code::kStructure;
  }
  out->chars = reinterpret_cast<const char *>(element.contents.data());
  out->count = element.contents.size32();
  return Code::kOk;
}

Status ReadUniqueId(der::Input *tbs, uint8_t tag, X509BitString *out) {
  der::Input contents;
  bool present = false;
  if (!tbs->ReadOptionalElement(tag, &contents, &present)) {
    return Code::kDer;
  }
  if (present) {
    der::Input bits;
    if (!der::ParseBitString(contents, &bits, &out->bitLength)) {
      return Code::kDer;
    }
    out->bits = bits.data();
  }
  return Code::kOk;
}

// Extensions ::= SEQUENCE SIZE (1..MAX) OF Extension
// Extension ::= SEQUENCE { extnID OBJECT IDENTIFIER,
//                          critical BOOLEAN DEFAULT FALSE,
//                          extnValue OCTET STRING }
Status ReadExtensions(der::Input explicitTag, X509ExtObject *out) {
  der::Input list;
  if (Status s = ExpectElement(&explicitTag, der::kSequence, &list); !s.ok()) {
    return s;
  }
  if (!explicitTag.empty()) {
    return Code::kStructure;
  }
  std::vector<size_t> offsets;
  while (!list.empty()) {
    der::Input extension, oid, value;
    if (Status s = ExpectElement(&list, der::kSequence, &extension); !s.ok()) {
      return s;
    }
    if (Status s = ExpectElement(&extension, der::kObjectIdentifier, &oid); !s.ok()) {
      return s;
    }
    X509Extension record{};
    offsets.push_back(out->arcs.size());
    if (!der::ParseObjectIdentifier(oid, &out->arcs)) {
      return Code::kDer;
    }
    record.extnId.count = static_cast<uint32_t>(out->arcs.size() - offsets.back());
    der::Input critical;
    bool present = false;
    if (!extension.ReadOptionalElement(der::kBoolean, &critical, &present)) {
      return Code::kDer;
    }
    if (present) {
      // An explicit FALSE is not DER (it is the default) but some issuers
      // write it; it means the same and is accepted.
      bool flag = false;
      if (!der::ParseBoolean(critical, &flag)) {
        return Code::kDer;
      }
      record.critical = flag ? 1 : 0;
    }
    if (Status s = ExpectElement(&extension, der::kOctetString, &value); !s.ok()) {
      return s;
    }
    if (!extension.empty()) {
      return Code::kStructure;
    }
    record.value.data = value.data();
    record.value.length = value.size32();
    out->extensions.push_back(record);
  }
  for (size_t i = 0; i < out->extensions.size(); ++i) {
    out->extensions[i].extnId.arcs = out->arcs.data() + offsets[i];
  }
  // The same extension twice makes every lookup ambiguous.
  for (size_t i = 0; i < out->extensions.size(); ++i) {
    for (size_t j = i + 1; j < out->extensions.size(); ++j) {
      const AsnObjid &a = out->extensions[i].extnId;
      const AsnObjid &b = out->extensions[j].extnId;
      if (asn1x509::SameArcs({a.arcs, a.count}, {b.arcs, b.count})) {
        return Code::kStructure;
      }
    }
  }
  return Code::kOk;
}

Status ReadName(der::Input *in, X509NameObject *name, Pdu *raw) {
  der::Input whole;
  if (Status s = ExpectElementWithHeader(in, der::kSequence, &whole, nullptr); !s.ok()) {
    return s;
  }
  raw->data = whole.data();
  raw->length = whole.size32();
  return name->Decode(whole.span());
}

Status DecodeCertificate(X509CertObject *cert) {
  X509CertParam &p = cert->param;
  der::Input in(cert->der);
  der::Input certificate, tbsWhole, tbs, signature;
  if (Status s = ExpectElement(&in, der::kSequence, &certificate); !s.ok()) {
    return s;
  }
  if (!in.empty()) {
    return Code::kDer;  // trailing bytes after the certificate
  }
  if (Status s = ExpectElementWithHeader(&certificate, der::kSequence, &tbsWhole, &tbs); !s.ok()) {
    return s;
  }
  size_t outerOffset = 0, signatureOffset = 0, keyOffset = 0;
  uint32_t outerCount = 0;
  Pdu outerParameters{};
  if (Status s = ReadAlgorithm(&certificate, &cert->arcs, &outerOffset, &outerCount, &outerParameters);
      !s.ok()) {
    return s;
  }
  if (Status s = ExpectElement(&certificate, der::kBitString, &signature); !s.ok()) {
    return s;
  }
  der::Input signatureBits;
  uint32_t signatureBitLength = 0;
  if (!der::ParseBitString(signature, &signatureBits, &signatureBitLength)) {
    return Code::kDer;
  }
  if (!certificate.empty()) {
    return Code::kStructure;
  }
  p.tbsCertificateDer = Pdu{tbsWhole.data(), tbsWhole.size32()};

  // version [0] EXPLICIT Version DEFAULT v1.  An explicit v1 is not DER but
  // old issuers wrote it; it is read as v1.
  der::Input explicitVersion;
  bool present = false;
  if (!tbs.ReadOptionalElement(der::ContextConstructed(0), &explicitVersion, &present)) {
    return Code::kDer;
  }
  p.version = 0;
  if (present) {
    der::Input version;
    if (Status s = ExpectElement(&explicitVersion, der::kInteger, &version); !s.ok()) {
      return s;
    }
    if (!explicitVersion.empty()) {
      return Code::kStructure;
    }
    if (!der::IsValidInteger(version)) {
      return Code::kDer;
    }
    if (!der::ParseSmallNonNegative(version, &p.version) || p.version > 2) {
      return Code::kUnsupported;
    }
  }

  // serialNumber: kept exactly as encoded (any length, any sign).
  der::Input serial;
  if (Status s = ExpectElement(&tbs, der::kInteger, &serial); !s.ok()) {
    return s;
  }
  if (!der::IsValidInteger(serial)) {
    return Code::kDer;
  }
  p.serial.serialForm = 1;
  p.serial.serialValue = 0;
  p.serial.serialBytes = serial.data();
  p.serial.serialLength = serial.size32();

  if (Status s =
          ReadAlgorithm(&tbs, &cert->arcs, &signatureOffset, &p.signatureAlgorithm.count, &p.signatureParameters);
      !s.ok()) {
    return s;
  }
  if (Status s = ReadName(&tbs, &cert->issuer, &p.issuerDer); !s.ok()) {
    return s;
  }
  der::Input validity;
  if (Status s = ExpectElement(&tbs, der::kSequence, &validity); !s.ok()) {
    return s;
  }
  if (Status s = ReadTime(&validity, &p.notBefore); !s.ok()) {
    return s;
  }
  if (Status s = ReadTime(&validity, &p.notAfter); !s.ok()) {
    return s;
  }
  if (!validity.empty()) {
    return Code::kStructure;
  }
  if (Status s = ReadName(&tbs, &cert->subject, &p.subjectDer); !s.ok()) {
    return s;
  }

  // SubjectPublicKeyInfo ::= SEQUENCE { algorithm, subjectPublicKey BIT STRING }
  der::Input spkiWhole, spki, key, keyBits;
  if (Status s = ExpectElementWithHeader(&tbs, der::kSequence, &spkiWhole, &spki); !s.ok()) {
    return s;
  }
  p.subjectPublicKeyInfoDer = Pdu{spkiWhole.data(), spkiWhole.size32()};
  if (Status s = ReadAlgorithm(&spki, &cert->arcs, &keyOffset, &p.publicKeyAlgorithm.count, &p.publicKeyParameters);
      !s.ok()) {
    return s;
  }
  if (Status s = ExpectElement(&spki, der::kBitString, &key); !s.ok()) {
    return s;
  }
  if (!der::ParseBitString(key, &keyBits, &p.subjectPublicKey.bitLength)) {
    return Code::kDer;
  }
  p.subjectPublicKey.bits = keyBits.data();
  if (!spki.empty()) {
    return Code::kStructure;
  }

  // issuerUniqueID [1], subjectUniqueID [2]: v2 and v3 only.
  if (Status s = ReadUniqueId(&tbs, der::ContextPrimitive(1), &p.issuerUniqueId); !s.ok()) {
    return s;
  }
  if (Status s = ReadUniqueId(&tbs, der::ContextPrimitive(2), &p.subjectUniqueId); !s.ok()) {
    return s;
  }
  if ((p.issuerUniqueId.bits != nullptr || p.subjectUniqueId.bits != nullptr) && p.version < 1) {
    return Code::kStructure;
  }
  // extensions [3] EXPLICIT Extensions: v3 only.
  der::Input extensions;
  if (!tbs.ReadOptionalElement(der::ContextConstructed(3), &extensions, &present)) {
    return Code::kDer;
  }
  if (present) {
    if (p.version != 2) {
      return Code::kStructure;
    }
    if (Status s = ReadExtensions(extensions, &cert->extensions); !s.ok()) {
      return s;
    }
    cert->hasExtensions = true;
  }
  if (!tbs.empty()) {
    return Code::kStructure;
  }

  p.signatureAlgorithm.arcs = cert->arcs.data() + signatureOffset;
  p.publicKeyAlgorithm.arcs = cert->arcs.data() + keyOffset;
  p.issuer = &cert->issuer;
  p.subject = &cert->subject;
  p.extensions = cert->hasExtensions ? &cert->extensions : nullptr;
  p.extensionCount = cert->hasExtensions ? static_cast<uint32_t>(cert->extensions.extensions.size()) : 0;
  return Code::kOk;
}

void ResetCertificate(X509CertObject *cert) {
  cert->loaded = false;
  cert->der.clear();
  cert->arcs.clear();
  cert->param = X509CertParam{};
  cert->issuer.Clear();
  cert->subject.Clear();
  cert->extensions.extensions.clear();
  cert->extensions.arcs.clear();
  cert->hasExtensions = false;
}

const X509Extension *FindExtension(const X509ExtObject *set, std::span<const int32_t> arcs) {
  for (const X509Extension &extension : set->extensions) {
    if (asn1x509::SameArcs({extension.extnId.arcs, extension.extnId.count}, arcs)) {
      return &extension;
    }
  }
  return nullptr;
}

// BasicConstraints ::= SEQUENCE { cA BOOLEAN DEFAULT FALSE,
//                                 pathLenConstraint INTEGER (0..MAX) OPTIONAL }
Status ReadBasicConstraints(const Pdu &value, X509BasicConstraints *out) {
  der::Input in(value.data, value.length);
  der::Input sequence, ca, pathLen;
  if (Status s = ExpectElement(&in, der::kSequence, &sequence); !s.ok()) {
    return s;
  }
  if (!in.empty()) {
    return Code::kDer;
  }
  X509BasicConstraints record{};
  bool present = false;
  if (!sequence.ReadOptionalElement(der::kBoolean, &ca, &present)) {
    return Code::kDer;
  }
  if (present) {
    bool flag = false;
    if (!der::ParseBoolean(ca, &flag)) {
      return Code::kDer;
    }
    record.cAPresent = 1;
    record.cA = flag ? 1 : 0;
  }
  if (!sequence.ReadOptionalElement(der::kInteger, &pathLen, &present)) {
    return Code::kDer;
  }
  if (present) {
    if (!der::IsValidInteger(pathLen)) {
      return Code::kDer;
    }
    if (!der::ParseSmallNonNegative(pathLen, &record.pathLen)) {
      return Code::kStructure;
    }
    record.pathLenPresent = 1;
  }
  if (!sequence.empty()) {
    return Code::kStructure;
  }
  *out = record;
  return Code::kOk;
}

}  // namespace

extern "C" {

const AsnObjid X509Objid_AuthorityKeyId = {kAuthorityKeyIdArcs.data(), 4};
const AsnObjid X509Objid_SubjectKeyId = {kSubjectKeyIdArcs.data(), 4};
const AsnObjid X509Objid_BasicConstraints = {kBasicConstraintsArcs.data(), 4};

int32_t X509CertObjectCreate(X509CertHandle *out, uint32_t *err) {
  return Guard(err, [&] { return asn1x509::CreateObject(out); });
}

int32_t X509CertObjectDestroy(X509CertHandle cert, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(cert, ObjectKind::kCertificate)) {
      return Code::kArgument;
    }
    cert->issuer.kind = ObjectKind::kDead;
    cert->subject.kind = ObjectKind::kDead;
    cert->extensions.kind = ObjectKind::kDead;
    asn1x509::DestroyObject(cert);
    return Code::kOk;
  });
}

int32_t X509CertObjectSetPduBER(X509CertHandle cert, const Pdu *pdu, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(cert, ObjectKind::kCertificate) || pdu == nullptr || (pdu->data == nullptr && pdu->length != 0)) {
      return Code::kArgument;
    }
    // Copy before resetting: the bytes may be this object's own DER.
    std::vector<uint8_t> copy(pdu->data, pdu->data + pdu->length);
    ResetCertificate(cert);
    cert->der = std::move(copy);
    const Status status = DecodeCertificate(cert);
    if (!status.ok()) {
      ResetCertificate(cert);
      return status;
    }
    cert->loaded = true;
    return Code::kOk;
  });
}

int32_t X509CertObjectGetPduDER(X509CertHandle cert, Pdu *out, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(cert, ObjectKind::kCertificate) || out == nullptr) {
      return Code::kArgument;
    }
    if (!cert->loaded) {
      return Code::kState;
    }
    out->data = cert->der.data();
    out->length = static_cast<uint32_t>(cert->der.size());
    return Code::kOk;
  });
}

int32_t X509CertObjectGetParamUCert(X509CertHandle cert, X509CertParam *record, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(cert, ObjectKind::kCertificate) || record == nullptr) {
      return Code::kArgument;
    }
    if (!cert->loaded) {
      return Code::kState;
    }
    *record = cert->param;
    return Code::kOk;
  });
}

int32_t X509ExtObjectGetExtByObjid(X509ExtHandle extensions, const AsnObjid *id, X509Extension *record,
                                   uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(extensions, ObjectKind::kExtensions) || id == nullptr || record == nullptr ||
        (id->arcs == nullptr && id->count != 0)) {
      return Code::kArgument;
    }
    const X509Extension *found = FindExtension(extensions, {id->arcs, id->count});
    if (found == nullptr) {
      return Code::kExtensionNotFound;
    }
    *record = *found;
    return Code::kOk;
  });
}

int32_t X509ExtObjectSgetBasicConstraints(X509ExtHandle extensions, X509BasicConstraints *record, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(extensions, ObjectKind::kExtensions) || record == nullptr) {
      return Code::kArgument;
    }
    const X509Extension *found = FindExtension(extensions, kBasicConstraintsArcs);
    if (found == nullptr) {
      return Code::kNoBasicConstraints;
    }
    return ReadBasicConstraints(found->value, record);
  });
}

}  // extern "C"
