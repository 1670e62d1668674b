// How a PKCS#12 certificate relates to the certificates already on the
// token: same subject or not, same serial number or an older one, and (when
// asked for) the same issuer.  The values are read here; what they mean is
// decided in decisions.cc, and the findings go into the run's replacement
// plan.  The key searches that go with it are here too.
#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "decisions.h"
#include "import_messages.h"
#include "library_objects.h"
#include "mirrel/mirrel.h"
#include "import_run.h"
#include "token/attribute_values.h"
#include "token/messages.h"

namespace velkor {

namespace {

// attrTemplate: what is read of every token object.
enum { kSubject = 0, kSerial = 1, kId = 2, kIssuer = 3 };
constexpr std::array<CK_ATTRIBUTE_TYPE, 4> kCheckTemplate = {CKA_SUBJECT, CKA_SERIAL_NUMBER, CKA_ID, CKA_ISSUER};

Pdu PduOf(const CK_ATTRIBUTE &attr) {
  return Pdu{static_cast<const unsigned char *>(attr.pValue), static_cast<uint32_t>(attr.ulValueLen)};
}

// Keys looked at per class and search: one more than a delete list holds,
// so that a list that would overflow is told.
constexpr size_t kKeySearchLimit = ReplacementPlan::kListCapacity + 1;

// The value bytes of a common name; none without one.
std::optional<std::string_view> CommonNameValue(const X509AVA *cn) {
  if (cn == nullptr) return std::nullopt;
  return std::string_view(reinterpret_cast<const char *>(cn->value), cn->valueLength);
}

}  // namespace

Outcome ImportRun::SameTypicalCommonName(X509NameHandle a, X509NameHandle b, bool *same) {
  uint32_t err = 0;
  NameObject typicalA;
  NameObject typicalB;
  if (!typicalA.Create(&err) || !typicalB.Create(&err)) return Outcome::Failure(kFailure, msg::kTypicalNameCreate, err);
  if (GetTypicalDN(a, typicalA.get(), &err) != 0 || GetTypicalDN(b, typicalB.get(), &err) != 0) {
    return Outcome::Failure(kFailure, msg::kTypicalDn, err);
  }
  const X509AVA *cnA = nullptr;
  const X509AVA *cnB = nullptr;
  if (Outcome found = token::GetCommonNameAVA(typicalA.get(), &cnA); !found.ok()) return found;
  if (Outcome found = token::GetCommonNameAVA(typicalB.get(), &cnB); !found.ok()) return found;
  *same = decide::SameCommonName(CommonNameValue(cnA), CommonNameValue(cnB));
  return {};
}

Outcome ImportRun::IssuerCheck(X509NameHandle issuer, const Pdu &issuerPdu, bool *sameIssuer) {
  if (issuer == nullptr || issuerPdu.data == nullptr) return Outcome::FailureText(kFailure, msg::kBadIssuerArgs);
  *sameIssuer = true;
  if (switches_.m_issuerCheck == 0) return {};
  uint32_t err = 0;
  NameObject tokenIssuer;
  if (!tokenIssuer.Create(&err)) return Outcome::Failure(kFailure, msg::kNameCreate, err);
  if (X509NameObjectSetPduBER(tokenIssuer.get(), &issuerPdu, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kNameSet, err);
  }
  int32_t compared = 0;
  if (CompareDN(issuer, tokenIssuer.get(), &compared, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kCompareDn, err);
  }
  *sameIssuer = compared == 0;
  if (*sameIssuer && tokenIssuer.Reset(&err) != 0) return Outcome::Failure(kFailure, msg::kNameDestroy, err);
  return {};
}

Outcome ImportRun::PublicKeyAndPrivateKeyWriteCheck(const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier) {
  // Public keys first, then private keys; a hit clears that key's flag.
  struct Pass {
    CK_OBJECT_CLASS keyClass;
    int ReplacementPlan::*writeFlag;
  };
  for (const Pass &pass : {Pass{CKO_PUBLIC_KEY, &ReplacementPlan::writePublicKey},
                           Pass{CKO_PRIVATE_KEY, &ReplacementPlan::writePrivateKey}}) {
    std::vector<CK_OBJECT_HANDLE> found;
    if (r_.FindKeys(pass.keyClass, subject, identifier, plan_.moduleKind == 1, kKeySearchLimit, &found) != CKR_OK) {
      return Outcome::FailureText(kFailure, token::msg::kWriteCheckFinal);
    }
    if (!found.empty()) plan_.*pass.writeFlag = 0;
  }
  return {};
}

Outcome ImportRun::PublicKeyAndPrivateKeyDelete(const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier,
                                                ReplacementPlan &plan) {
  // Public keys first, then private keys; every hit goes to its list.
  struct Pass {
    CK_OBJECT_CLASS keyClass;
    bool (ReplacementPlan::*append)(CK_OBJECT_HANDLE);
  };
  for (const Pass &pass : {Pass{CKO_PUBLIC_KEY, &ReplacementPlan::AddPublicKeyDelete},
                           Pass{CKO_PRIVATE_KEY, &ReplacementPlan::AddPrivateKeyDelete}}) {
    std::vector<CK_OBJECT_HANDLE> found;
    if (r_.FindKeys(pass.keyClass, subject, identifier, plan.moduleKind == 1, kKeySearchLimit, &found) != CKR_OK) {
      return Outcome::FailureText(kFailure, token::msg::kDeleteFinal);
    }
    for (CK_OBJECT_HANDLE handle : found) {
      if (!(plan.*pass.append)(handle)) return Outcome::FailureText(kFailure, token::msg::kKeyDeleteListFull);
    }
  }
  return {};
}

Outcome ImportRun::SubjectAndSerialCheck(X509CertHandle cert, int kind) {
  uint32_t err = 0;
  X509CertParam param{};
  if (X509CertObjectGetParamUCert(cert, &param, &err) != 0) return Outcome::Failure(kFailure, msg::kCertParam, err);
  EncodedSerial serial;
  uint32_t serialCode = 0;
  if (!serial.Encode(param, &serialCode)) return Outcome::Failure(kFailure, msg::kSerialEncode, serialCode);
  if (kind != 1 && kind != 2) return Outcome::FailureText(kFailure, msg::kCertKind);
  const bool commonNameMode = switches_.m_subjectMode == 1;
  bool sameSubjectFound = false;
  int sameSerialCount = 0;
  token::AttributeValues<4> attrs(kCheckTemplate);
  const std::span<const CK_OBJECT_HANDLE> listed = Listed();

  auto mismatch = [&] {
    const int32_t code = decide::SubjectMismatchCode(commonNameMode);
    return Outcome::FailureText(code, code == -3 ? msg::kSubjectMismatch : msg::kSubjectCnMismatch);
  };
  // Every failure before a certificate of the same subject was found reads
  // as the subject mismatch; the issuer mismatch always keeps its own.
  auto failed = [&](Outcome failure) { return sameSubjectFound ? failure : mismatch(); };

  for (size_t i = 0; i < listed.size(); ++i) {
    token::AttributeRead read = attrs.Read(r_, listed[i]);
    if (read == token::AttributeRead::kUnreadable || read == token::AttributeRead::kValuesUnreadable) {
      continue;  // keys and data objects
    }
    if (read == token::AttributeRead::kNoMemory) {
      return failed(Outcome::Failure(kFailure, msg::kAttrMemory, read.index));
    }
    NameObject tokenSubject;
    if (!tokenSubject.Create(&err)) return failed(Outcome::Failure(kFailure, msg::kNameCreate, err));
    Pdu subjectPdu = PduOf(attrs[kSubject]);
    if (X509NameObjectSetPduBER(tokenSubject.get(), &subjectPdu, &err) != 0) {
      return failed(Outcome::Failure(kFailure, msg::kNameSet, err));
    }
    bool sameIssuer = false;
    if (Outcome issuer = IssuerCheck(param.issuer, PduOf(attrs[kIssuer]), &sameIssuer); !issuer.ok()) {
      return failed(issuer);
    }

    // The subject is compared only for a certificate of the same issuer.
    bool sameSubject = false;
    if (sameIssuer &&
        decide::ComparisonFor(commonNameMode, kind == 1) == decide::SubjectComparison::kWholeName) {
      int32_t compared = 0;
      if (CompareDN(param.subject, tokenSubject.get(), &compared, &err) != 0) {
        return failed(Outcome::Failure(kFailure, msg::kCompareDn, err));
      }
      sameSubject = compared == 0;
    } else if (sameIssuer) {
      if (Outcome named = SameTypicalCommonName(param.subject, tokenSubject.get(), &sameSubject); !named.ok()) {
        return failed(named);
      }
    }
    const decide::Relation relation =
        decide::RelationOf(sameIssuer, sameSubject, attrs.Bytes(kSerial), {serial.data(), serial.size()});
    if (relation == decide::Relation::kIssuerDiffers) return Outcome::FailureText(-15, msg::kIssuerMismatch);
    const decide::CertificateFate fate = decide::FateOf(relation, sameSerialCount);
    if (fate == decide::CertificateFate::kPassOver) continue;

    sameSubjectFound = true;
    const int position = static_cast<int>(i);
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
        if (Outcome checked = PublicKeyAndPrivateKeyWriteCheck(attrs[kSubject], attrs[kId]); !checked.ok()) {
          return checked;
        }
        kept_.ee = true;
        kept_.eeSubject.assign(attrs.Text(kSubject));
        kept_.eeId.assign(attrs.Text(kId));
        kept_.eePosition = position;
      } else if (keep) {
        kept_.caPosition = position;
      }
      ++sameSerialCount;
    }
    if (fate == decide::CertificateFate::kDeleteCopy || fate == decide::CertificateFate::kReplace) {
      if (!plan_.AddCertDelete(position)) return Outcome::FailureText(kFailure, msg::kCertDeleteListFull);
      if (kind == 1) {
        plan_.eeCertDeletePlanned = 1;
        if (Outcome deleted = PublicKeyAndPrivateKeyDelete(attrs[kSubject], attrs[kId], plan_); !deleted.ok()) {
          return deleted;
        }
      } else {
        plan_.caCertDeletePlanned = 1;
      }
    }
  }
  if (!sameSubjectFound) return mismatch();
  return {};
}

Outcome ImportRun::KeepWhatStays() {
  if (kept_.ee) {
    // The keys of the certificate that stays are found exactly the way the
    // deletion search finds keys, and taken off the delete lists.
    ReplacementPlan kept;
    kept.moduleKind = plan_.moduleKind;
    CK_ATTRIBUTE subject{CKA_SUBJECT, kept_.eeSubject.data(), kept_.eeSubject.size()};
    CK_ATTRIBUTE identifier{CKA_ID, kept_.eeId.data(), kept_.eeId.size()};
    if (Outcome found = PublicKeyAndPrivateKeyDelete(subject, identifier, kept); !found.ok()) return found;
    kept_.eeKeys.assign(kept.privateKeyDelete, kept.privateKeyDelete + kept.privateKeyDeleteCount);
    kept_.eeKeys.insert(kept_.eeKeys.end(), kept.publicKeyDelete, kept.publicKeyDelete + kept.publicKeyDeleteCount);
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
  return {};
}

}  // namespace velkor
