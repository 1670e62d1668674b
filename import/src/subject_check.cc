// How a PKCS#12 certificate relates to the certificates already on the
// token: same subject or not, same serial number or an older one, and (when
// asked for) the same issuer.  The values are read here; what they mean is
// decided in decisions.cc, and the findings go into the replacement plan_.
#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "decisions.h"
#include "import_messages.h"
#include "library_objects.h"
#include "mirrel/mirrel.h"
#include "import_run.h"
#include "token/attribute_values.h"

namespace velkor {

namespace {

// attrTemplate: what is read of every token object.
enum { kSubject = 0, kSerial = 1, kId = 2, kIssuer = 3 };
constexpr std::array<CK_ATTRIBUTE_TYPE, 4> kCheckTemplate = {CKA_SUBJECT, CKA_SERIAL_NUMBER, CKA_ID, CKA_ISSUER};

Pdu PduOf(const CK_ATTRIBUTE &attr) {
  return Pdu{static_cast<const unsigned char *>(attr.pValue), static_cast<uint32_t>(attr.ulValueLen)};
}

// The value bytes of a common name; none without one.
std::optional<std::string_view> CommonNameValue(const X509AVA *cn) {
  if (cn == nullptr) return std::nullopt;
  return std::string_view(reinterpret_cast<const char *>(cn->value), cn->valueLength);
}

}  // namespace

bool ImportRun::SameTypicalCommonName(X509NameHandle a, X509NameHandle b, bool *same, int32_t *failure) {
  uint32_t err = 0;
  NameObject typicalA;
  NameObject typicalB;
  *failure = -1;
  if (!typicalA.Create(&err) || !typicalB.Create(&err)) {
    r_.SetError(msg::kTypicalNameCreate, err);
    return false;
  }
  if (GetTypicalDN(a, typicalA.get(), &err) != 0 || GetTypicalDN(b, typicalB.get(), &err) != 0) {
    r_.SetError(msg::kTypicalDn, err);
    return false;
  }
  const X509AVA *cnA = nullptr;
  const X509AVA *cnB = nullptr;
  int32_t rc = r_.GetCommonNameAVA(typicalA.get(), &cnA);
  if (rc == 0) rc = r_.GetCommonNameAVA(typicalB.get(), &cnB);
  if (rc != 0) {
    *failure = rc;
    return false;
  }
  *same = decide::SameCommonName(CommonNameValue(cnA), CommonNameValue(cnB));
  return true;
}

int32_t ImportRun::IssuerCheck(X509NameHandle issuer, const Pdu *issuerPdu, unsigned char *sameIssuer) {
  if (issuer == nullptr || issuerPdu == nullptr || issuerPdu->data == nullptr || sameIssuer == nullptr) {
    r_.SetErrorText(msg::kBadIssuerArgs);
    return -1;
  }
  if (switches_.m_issuerCheck == 0) {
    *sameIssuer = 1;
    return 0;
  }
  uint32_t err = 0;
  NameObject tokenIssuer;
  if (!tokenIssuer.Create(&err)) {
    r_.SetError(msg::kNameCreate, err);
    return -1;
  }
  if (X509NameObjectSetPduBER(tokenIssuer.get(), issuerPdu, &err) != 0) {
    r_.SetError(msg::kNameSet, err);
    return -1;
  }
  int32_t compared = 0;
  if (CompareDN(issuer, tokenIssuer.get(), &compared, &err) != 0) {
    r_.SetError(msg::kCompareDn, err);
    return -1;
  }
  if (compared != 0) {
    *sameIssuer = 0;
    return -15;
  }
  *sameIssuer = 1;
  if (tokenIssuer.Reset(&err) != 0) {
    r_.SetError(msg::kNameDestroy, err);
    return -1;
  }
  return 0;
}

int32_t ImportRun::SubjectAndSerialCheck(X509CertHandle cert, int kind) {
  uint32_t err = 0;
  X509CertParam param{};
  if (X509CertObjectGetParamUCert(cert, &param, &err) != 0) {
    r_.SetError(msg::kCertParam, err);
    return -1;
  }
  EncodedSerial serial;
  uint32_t serialCode = 0;
  if (!serial.Encode(param, &serialCode)) {
    r_.SetError(msg::kSerialEncode, serialCode);
    return -1;
  }
  if (kind != 1 && kind != 2) {
    r_.SetErrorText(msg::kCertKind);
    return -1;
  }
  const bool commonNameMode = switches_.m_subjectMode == 1;
  const int32_t mismatch = decide::SubjectMismatchCode(commonNameMode);
  int32_t status = mismatch;
  int32_t result = -1;
  bool failed = false;
  int sameSerialCount = 0;
  token::AttributeValues<4> attrs(kCheckTemplate);

  for (int i = 0; i < ReplacementPlan::kListCapacity && objects_[static_cast<size_t>(i)] != 0; ++i) {
    int failedIndex = 0;
    token::AttributeRead read = attrs.Read(r_.GetFunctionListPtr(), r_.GetSessionHandle(), objects_[static_cast<size_t>(i)], &failedIndex);
    if (read == token::AttributeRead::kUnreadable || read == token::AttributeRead::kValuesUnreadable) {
      continue;  // keys and data objects
    }
    if (read == token::AttributeRead::kNoMemory) {
      r_.SetError(msg::kAttrMemory, failedIndex);
      failed = true;
      break;
    }
    NameObject tokenSubject;
    if (!tokenSubject.Create(&err)) {
      r_.SetError(msg::kNameCreate, err);
      failed = true;
      break;
    }
    Pdu subjectPdu = PduOf(attrs[kSubject]);
    if (X509NameObjectSetPduBER(tokenSubject.get(), &subjectPdu, &err) != 0) {
      r_.SetError(msg::kNameSet, err);
      failed = true;
      break;
    }
    unsigned char sameIssuer = 0;
    Pdu issuerPdu = PduOf(attrs[kIssuer]);
    int32_t issuerResult = IssuerCheck(param.issuer, &issuerPdu, &sameIssuer);
    if (issuerResult != 0 && issuerResult != -15) {
      failed = true;
      break;
    }

    // The subject is compared only for a certificate of the same issuer.
    bool sameSubject = false;
    if (issuerResult == 0 &&
        decide::ComparisonFor(commonNameMode, kind == 1) == decide::SubjectComparison::kWholeName) {
      int32_t compared = 0;
      if (CompareDN(param.subject, tokenSubject.get(), &compared, &err) != 0) {
        r_.SetError(msg::kCompareDn, err);
        failed = true;
        break;
      }
      sameSubject = compared == 0;
    } else if (issuerResult == 0) {
      int32_t failure = -1;
      if (!SameTypicalCommonName(param.subject, tokenSubject.get(), &sameSubject, &failure)) {
        result = failure;
        failed = true;
        break;
      }
    }
    const decide::Relation relation =
        decide::RelationOf(sameIssuer != 0, sameSubject, attrs.Bytes(kSerial), {serial.data(), serial.size()});
    if (relation == decide::Relation::kIssuerDiffers) {
      r_.SetErrorText(msg::kIssuerMismatch);
      status = -15;
      failed = true;
      break;
    }
    const decide::CertificateFate fate = decide::FateOf(relation, sameSerialCount);
    if (fate == decide::CertificateFate::kPassOver) continue;

    status = 0;
    if (relation == decide::Relation::kSameSerial) {
      if (kind == 1) {
        plan_.writeEeCert = 0;
      } else {
        plan_.writeCaCert = 0;
      }
      // The first certificate with this serial stays, and only its keys
      // count as present; a second copy goes like an older certificate,
      // keys and all.
      const bool keep = fate == decide::CertificateFate::kKeep;
      if (keep && kind == 1) {
        if (r_.PublicKeyAndPrivateKeyWriteCheck(attrs[kSubject], attrs[kId], plan_) == 0) {
          failed = true;
          break;
        }
        kept_.ee = true;
        kept_.eeSubject.assign(static_cast<const char *>(attrs[kSubject].pValue), attrs[kSubject].ulValueLen);
        kept_.eeId.assign(static_cast<const char *>(attrs[kId].pValue), attrs[kId].ulValueLen);
        kept_.eePosition = i;
      } else if (keep) {
        kept_.caPosition = i;
      }
      ++sameSerialCount;
    }
    if (fate == decide::CertificateFate::kDeleteCopy || fate == decide::CertificateFate::kReplace) {
      if (!plan_.AddCertDelete(i)) {
        r_.SetErrorText(msg::kCertDeleteListFull);
        failed = true;
        break;
      }
      if (kind == 1) {
        plan_.eeCertDeletePlanned = 1;
        if (r_.PublicKeyAndPrivateKeyDelete(attrs[kSubject], attrs[kId], plan_) == 0) {
          failed = true;
          break;
        }
      } else {
        plan_.caCertDeletePlanned = 1;
      }
    }
  }

  if (!failed && status == 0) result = 0;
  if (status != 0) {
    // Before a certificate of the same subject was found, every failure
    // but the issuer mismatch reads as the subject mismatch.
    result = status;
    if (status == -3) r_.SetErrorText(msg::kSubjectMismatch);
    if (status == -14) r_.SetErrorText(msg::kSubjectCnMismatch);
  }
  return result;
}

int32_t ImportRun::KeepWhatStays() {
  if (kept_.ee) {
    // The keys of the certificate that stays are found exactly the way the
    // deletion search finds keys, and taken off the delete lists.
    ReplacementPlan kept;
    kept.moduleKind = plan_.moduleKind;
    CK_ATTRIBUTE subject{CKA_SUBJECT, kept_.eeSubject.data(), kept_.eeSubject.size()};
    CK_ATTRIBUTE identifier{CKA_ID, kept_.eeId.data(), kept_.eeId.size()};
    if (r_.PublicKeyAndPrivateKeyDelete(subject, identifier, kept) == 0) return -1;
    plan_.publicKeyDeleteCount = decide::WithoutKept(
        std::span<CK_OBJECT_HANDLE>(plan_.publicKeyDelete), plan_.publicKeyDeleteCount,
        std::span<const CK_OBJECT_HANDLE>(kept.publicKeyDelete, static_cast<size_t>(kept.publicKeyDeleteCount)));
    plan_.privateKeyDeleteCount = decide::WithoutKept(
        std::span<CK_OBJECT_HANDLE>(plan_.privateKeyDelete), plan_.privateKeyDeleteCount,
        std::span<const CK_OBJECT_HANDLE>(kept.privateKeyDelete, static_cast<size_t>(kept.privateKeyDeleteCount)));
  }
  // Positions of the certificates that stay (-1 where none does) are never
  // positions of the list, so they take nothing else off it.
  const std::array<int, 2> keptPositions = {kept_.eePosition, kept_.caPosition};
  plan_.certDeleteCount = decide::WithoutKept(std::span<int>(plan_.certDeleteIndex), plan_.certDeleteCount,
                                              std::span<const int>(keptPositions));
  return 0;
}

}  // namespace velkor
