// How a PKCS#12 certificate relates to the certificates already on the
// token: same subject or not, same serial number or an older one, and (when
// asked for) the same issuer.  The findings go into the replacement plan.
#include <array>
#include <cstring>
#include <span>

#include "import_messages.h"
#include "library_objects.h"
#include "mirrel/mirrel.h"
#include "token/smart_card_reader.h"
#include "token_attributes.h"

namespace {

// attrTemplate: what is read of every token object.
enum { kSubject = 0, kSerial = 1, kId = 2, kIssuer = 3 };
constexpr std::array<CK_ATTRIBUTE_TYPE, 4> kCheckTemplate = {CKA_SUBJECT, CKA_SERIAL_NUMBER, CKA_ID, CKA_ISSUER};

Pdu PduOf(const CK_ATTRIBUTE &attr) {
  return Pdu{static_cast<const unsigned char *>(attr.pValue), static_cast<uint32_t>(attr.ulValueLen)};
}

}  // namespace

bool CSmartCardReader::SameTypicalCommonName(X509NameHandle a, X509NameHandle b, bool *same, int32_t *failure) {
  uint32_t err = 0;
  velkor::NameObject typicalA;
  velkor::NameObject typicalB;
  *failure = -1;
  if (!typicalA.Create(&err) || !typicalB.Create(&err)) {
    SetError(velkor::msg::kTypicalNameCreate, err);
    return false;
  }
  if (GetTypicalDN(a, typicalA.get(), &err) != 0 || GetTypicalDN(b, typicalB.get(), &err) != 0) {
    SetError(velkor::msg::kTypicalDn, err);
    return false;
  }
  const X509AVA *cnA = nullptr;
  const X509AVA *cnB = nullptr;
  int32_t rc = GetCommonNameAVA(typicalA.get(), &cnA);
  if (rc == 0) rc = GetCommonNameAVA(typicalB.get(), &cnB);
  if (rc != 0) {
    *failure = rc;
    return false;
  }
  // A name without a common name never matches.
  *same = cnA != nullptr && cnB != nullptr && cnA->valueLength == cnB->valueLength &&
          (cnA->valueLength == 0 || std::memcmp(cnA->value, cnB->value, cnA->valueLength) == 0);
  return true;
}

int32_t CSmartCardReader::IssuerCheck(X509NameHandle issuer, const Pdu *issuerPdu, unsigned char *sameIssuer) {
  if (issuer == nullptr || issuerPdu == nullptr || issuerPdu->data == nullptr || sameIssuer == nullptr) {
    SetErrorText(velkor::msg::kBadIssuerArgs);
    return -1;
  }
  if (m_issuerCheck == 0) {
    *sameIssuer = 1;
    return 0;
  }
  uint32_t err = 0;
  velkor::NameObject tokenIssuer;
  if (!tokenIssuer.Create(&err)) {
    SetError(velkor::msg::kNameCreate, err);
    return -1;
  }
  if (X509NameObjectSetPduBER(tokenIssuer.get(), issuerPdu, &err) != 0) {
    SetError(velkor::msg::kNameSet, err);
    return -1;
  }
  int32_t compared = 0;
  if (CompareDN(issuer, tokenIssuer.get(), &compared, &err) != 0) {
    SetError(velkor::msg::kCompareDn, err);
    return -1;
  }
  if (compared != 0) {
    *sameIssuer = 0;
    return -15;
  }
  *sameIssuer = 1;
  if (tokenIssuer.Reset(&err) != 0) {
    SetError(velkor::msg::kNameDestroy, err);
    return -1;
  }
  return 0;
}

int32_t CSmartCardReader::SubjectAndSerialCheck(X509CertHandle cert, const CK_OBJECT_HANDLE *handles,
                                                ReplacementPlan &plan, int kind) {
  uint32_t err = 0;
  X509CertParam param{};
  if (X509CertObjectGetParamUCert(cert, &param, &err) != 0) {
    SetError(velkor::msg::kCertParam, err);
    return -1;
  }
  velkor::EncodedSerial serial;
  uint32_t serialCode = 0;
  if (!serial.Encode(param, &serialCode)) {
    SetError(velkor::msg::kSerialEncode, serialCode);
    return -1;
  }
  if (kind != 1 && kind != 2) {
    SetErrorText(velkor::msg::kCertKind);
    return -1;
  }
  const int32_t mismatch = m_subjectMode == 1 ? -14 : -3;
  int32_t status = mismatch;
  int32_t result = -1;
  bool failed = false;
  int sameSerialCount = 0;
  velkor::AttributeValues<4> attrs(kCheckTemplate);

  for (int i = 0; i < ReplacementPlan::kListCapacity && handles[i] != 0; ++i) {
    int failedIndex = 0;
    velkor::AttributeRead read = attrs.Read(m_functionList, m_session, handles[i], &failedIndex);
    if (read == velkor::AttributeRead::kUnreadable) continue;  // keys and data objects
    if (read == velkor::AttributeRead::kNoMemory) {
      SetError(velkor::msg::kAttrMemory, failedIndex);
      failed = true;
      break;
    }
    velkor::NameObject tokenSubject;
    if (!tokenSubject.Create(&err)) {
      SetError(velkor::msg::kNameCreate, err);
      failed = true;
      break;
    }
    Pdu subjectPdu = PduOf(attrs[kSubject]);
    if (X509NameObjectSetPduBER(tokenSubject.get(), &subjectPdu, &err) != 0) {
      SetError(velkor::msg::kNameSet, err);
      failed = true;
      break;
    }
    unsigned char sameIssuer = 0;
    Pdu issuerPdu = PduOf(attrs[kIssuer]);
    int32_t issuerResult = IssuerCheck(param.issuer, &issuerPdu, &sameIssuer);
    if (issuerResult == -15) {
      SetErrorText(velkor::msg::kIssuerMismatch);
      status = -15;
      failed = true;
      break;
    }
    if (issuerResult != 0) {
      failed = true;
      break;
    }

    bool sameSubject = false;
    if (m_subjectMode == 0 || kind == 2) {
      int32_t compared = 0;
      if (CompareDN(param.subject, tokenSubject.get(), &compared, &err) != 0) {
        SetError(velkor::msg::kCompareDn, err);
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
        plan.writeEeCert = 0;
      } else {
        plan.writeCaCert = 0;
      }
      // The first certificate with this serial stays, and only its keys
      // count as present; a second copy goes like an older certificate,
      // keys and all.
      if (sameSerialCount > 0) {
        planDeletion = true;
      } else if (kind == 1) {
        if (PublicKeyAndPrivateKeyWriteCheck(attrs[kSubject], attrs[kId], plan) == 0) {
          failed = true;
          break;
        }
        RememberKeptEe(attrs[kSubject], attrs[kId], i);
      } else {
        RememberKeptCa(i);
      }
      ++sameSerialCount;
    }
    if (planDeletion) {
      if (!plan.AddCertDelete(i)) {
        SetErrorText(velkor::msg::kCertDeleteListFull);
        failed = true;
        break;
      }
      if (kind == 1) {
        plan.eeCertDeletePlanned = 1;
        if (PublicKeyAndPrivateKeyDelete(attrs[kSubject], attrs[kId], plan) == 0) {
          failed = true;
          break;
        }
      } else {
        plan.caCertDeletePlanned = 1;
      }
    }
  }

  if (!failed && status == 0) result = 0;
  if (status != 0) {
    // Before a certificate of the same subject was found, every failure
    // but the issuer mismatch reads as the subject mismatch.
    result = status;
    if (status == -3) SetErrorText(velkor::msg::kSubjectMismatch);
    if (status == -14) SetErrorText(velkor::msg::kSubjectCnMismatch);
  }
  return result;
}

void CSmartCardReader::RememberKeptEe(const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier, int position) {
  m_keptEe = true;
  m_keptEeSubject.assign(static_cast<const char *>(subject.pValue), subject.ulValueLen);
  m_keptEeId.assign(static_cast<const char *>(identifier.pValue), identifier.ulValueLen);
  m_keptEePosition = position;
}

void CSmartCardReader::RememberKeptCa(int position) { m_keptCaPosition = position; }

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

int32_t CSmartCardReader::KeepWhatStays(ReplacementPlan &plan) {
  if (m_keptEe) {
    // The keys of the certificate that stays are found exactly the way the
    // deletion search finds keys, and taken off the delete lists.
    ReplacementPlan kept;
    kept.Reset(m_modulePath);
    kept.moduleKind = plan.moduleKind;
    CK_ATTRIBUTE subject{CKA_SUBJECT, m_keptEeSubject.data(), m_keptEeSubject.size()};
    CK_ATTRIBUTE identifier{CKA_ID, m_keptEeId.data(), m_keptEeId.size()};
    if (PublicKeyAndPrivateKeyDelete(subject, identifier, kept) == 0) return -1;
    for (int i = 0; i < kept.publicKeyDeleteCount; ++i) {
      RemoveFromList(plan.publicKeyDelete, plan.publicKeyDeleteCount, kept.publicKeyDelete[i]);
    }
    for (int i = 0; i < kept.privateKeyDeleteCount; ++i) {
      RemoveFromList(plan.privateKeyDelete, plan.privateKeyDeleteCount, kept.privateKeyDelete[i]);
    }
  }
  if (m_keptEePosition >= 0) RemoveFromList(plan.certDeleteIndex, plan.certDeleteCount, m_keptEePosition);
  if (m_keptCaPosition >= 0) RemoveFromList(plan.certDeleteIndex, plan.certDeleteCount, m_keptCaPosition);
  return 0;
}
