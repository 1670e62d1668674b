// How a PKCS#12 certificate relates to the certificates already on the
// token: same subject or not, same serial number or an older one, and (when
// asked for) the same issuer.  The findings go into the replacement plan_.
#include <array>
#include <cstring>
#include <span>

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
  // A name without a common name never matches.
  *same = cnA != nullptr && cnB != nullptr && cnA->valueLength == cnB->valueLength &&
          (cnA->valueLength == 0 || std::memcmp(cnA->value, cnB->value, cnA->valueLength) == 0);
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
  const int32_t mismatch = switches_.m_subjectMode == 1 ? -14 : -3;
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
    if (issuerResult == -15) {
      r_.SetErrorText(msg::kIssuerMismatch);
      status = -15;
      failed = true;
      break;
    }
    if (issuerResult != 0) {
      failed = true;
      break;
    }

    bool sameSubject = false;
    if (switches_.m_subjectMode == 0 || kind == 2) {
      int32_t compared = 0;
      if (CompareDN(param.subject, tokenSubject.get(), &compared, &err) != 0) {
        r_.SetError(msg::kCompareDn, err);
        failed = true;
        break;
      }
      sameSubject = compared == 0;
    } else {
      int32_t failure = -1;
      if (!SameTypicalCommonName(param.subject, tokenSubject.get(), &sameSubject, &failure)) {
        result = failure;
        failed = true;
        break;
      }
    }
    if (!sameSubject) continue;

    status = 0;
    std::span<const unsigned char> serialValue = attrs.Bytes(kSerial);
    bool sameSerial = serialValue.size() == serial.size() &&
                      std::memcmp(serialValue.data(), serial.data(), serial.size()) == 0;
    bool planDeletion = !sameSerial;
    if (sameSerial) {
      if (kind == 1) {
        plan_.writeEeCert = 0;
      } else {
        plan_.writeCaCert = 0;
      }
      // The first certificate with this serial stays, and only its keys
      // count as present; a second copy goes like an older certificate,
      // keys and all.
      if (sameSerialCount > 0) {
        planDeletion = true;
      } else if (kind == 1) {
        if (r_.PublicKeyAndPrivateKeyWriteCheck(attrs[kSubject], attrs[kId], plan_) == 0) {
          failed = true;
          break;
        }
        kept_.ee = true;
        kept_.eeSubject.assign(static_cast<const char *>(attrs[kSubject].pValue), attrs[kSubject].ulValueLen);
        kept_.eeId.assign(static_cast<const char *>(attrs[kId].pValue), attrs[kId].ulValueLen);
        kept_.eePosition = i;
      } else {
        kept_.caPosition = i;
      }
      ++sameSerialCount;
    }
    if (planDeletion) {
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

namespace {

template <typename T>
void RemoveFromList(T *list, int &count, T value) {
  int kept = 0;
  for (int i = 0; i < count; ++i) {
    if (list[i] != value) list[kept++] = list[i];
  }
  for (int i = kept; i < count; ++i) list[i] = T{};
  count = kept;
}

}  // namespace

int32_t ImportRun::KeepWhatStays() {
  if (kept_.ee) {
    // The keys of the certificate that stays are found exactly the way the
    // deletion search finds keys, and taken off the delete lists.
    ReplacementPlan kept;
    kept.moduleKind = plan_.moduleKind;
    CK_ATTRIBUTE subject{CKA_SUBJECT, kept_.eeSubject.data(), kept_.eeSubject.size()};
    CK_ATTRIBUTE identifier{CKA_ID, kept_.eeId.data(), kept_.eeId.size()};
    if (r_.PublicKeyAndPrivateKeyDelete(subject, identifier, kept) == 0) return -1;
    for (int i = 0; i < kept.publicKeyDeleteCount; ++i) {
      RemoveFromList(plan_.publicKeyDelete, plan_.publicKeyDeleteCount, kept.publicKeyDelete[i]);
    }
    for (int i = 0; i < kept.privateKeyDeleteCount; ++i) {
      RemoveFromList(plan_.privateKeyDelete, plan_.privateKeyDeleteCount, kept.privateKeyDelete[i]);
    }
  }
  if (kept_.eePosition >= 0) RemoveFromList(plan_.certDeleteIndex, plan_.certDeleteCount, kept_.eePosition);
  if (kept_.caPosition >= 0) RemoveFromList(plan_.certDeleteIndex, plan_.certDeleteCount, kept_.caPosition);
  return 0;
}

}  // namespace velkor
