// How a PKCS#12 certificate relates to the certificates already on the
// token: same subject or not, same serial number or an older one, and (when
// asked for) the same issuer.  The values are read here; what they mean is
// decided in decisions.cc, and the findings go into the plan.  The key searches that go with it are here too.
#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "checker.h"
#include "decisions.h"
#include "import_messages.h"
#include "library_objects.h"
#include "mirrel/mirrel.h"
#include "token/attribute_values.h"
#include "token/messages.h"
#include "token/smart_card_reader.h"

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

Outcome Checker::SameTypicalCommonName(X509NameHandle a, X509NameHandle b, bool *same) {
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

Outcome Checker::IssuerCheck(X509NameHandle issuer, const Pdu &issuerPdu, bool *sameIssuer) {
  if (issuer == nullptr || issuerPdu.data == nullptr) return Outcome::FailureText(kFailure, msg::kBadIssuerArgs);
  *sameIssuer = true;
  if (inputs_.switches.m_issuerCheck == 0) return {};
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

Outcome Checker::FindKeysOf(const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier, const char *ended,
                           const std::function<Outcome(CK_OBJECT_CLASS, std::span<const CK_OBJECT_HANDLE>)> &found) {
  // Public keys first, then private keys.
  for (CK_OBJECT_CLASS keyClass : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
    std::vector<CK_OBJECT_HANDLE> keys;
    if (reader_.FindKeys(keyClass, subject, identifier, DefaultModule(), kKeySearchLimit, &keys) != CKR_OK) {
      return Outcome::FailureText(kFailure, ended);
    }
    if (Outcome taken = found(keyClass, keys); !taken.ok()) return taken;
  }
  return {};
}

Outcome Checker::PublicKeyAndPrivateKeyWriteCheck(const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier) {
  // A key already there is not written again.
  return FindKeysOf(subject, identifier, token::msg::kWriteCheckFinal,
                    [&](CK_OBJECT_CLASS keyClass, std::span<const CK_OBJECT_HANDLE> keys) -> Outcome {
                      if (!keys.empty()) {
                        (keyClass == CKO_PUBLIC_KEY ? plan_.changes.writePublicKey : plan_.changes.writePrivateKey) = 0;
                      }
                      return {};
                    });
}

Outcome Checker::PublicKeyAndPrivateKeyDelete(const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier) {
  ReplacementPlan *lists = &plan_.changes;
  return FindKeysOf(subject, identifier, token::msg::kDeleteFinal,
                    [&](CK_OBJECT_CLASS keyClass, std::span<const CK_OBJECT_HANDLE> keys) -> Outcome {
                      for (CK_OBJECT_HANDLE handle : keys) {
                        const bool added = keyClass == CKO_PUBLIC_KEY ? lists->AddPublicKeyDelete(handle)
                                                                      : lists->AddPrivateKeyDelete(handle);
                        if (!added) return Outcome::FailureText(kFailure, token::msg::kKeyDeleteListFull);
                      }
                      return {};
                    });
}

Outcome Checker::SubjectAndSerialCheck(const FileCertificate &cert, Kind kind, decide::Finding *finding) {
  if (!cert.serialEncoding.ok()) return cert.serialEncoding;
  const X509CertParam &param = cert.param;
  const EncodedSerial &serial = cert.serial;
  uint32_t err = 0;
  const bool commonNameMode = inputs_.switches.m_subjectMode == 1;
  bool sameSubjectFound = false;
  int sameSerialCount = 0;
  token::AttributeValues<4> attrs(kCheckTemplate);
  const std::span<const CK_OBJECT_HANDLE> listed = plan_.Listed();

  // A token certificate that cannot be read or compared before one of the
  // same subject was found counts as one of another subject; after that,
  // the failure is the run's.
  auto failed = [&](Outcome failure) -> Outcome {
    if (sameSubjectFound) return failure;
    *finding = decide::NoSameSubject(commonNameMode);
    return {};
  };

  for (size_t i = 0; i < listed.size(); ++i) {
    token::AttributeRead read = attrs.Read(reader_, listed[i]);
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
        decide::ComparisonFor(commonNameMode, kind == Kind::kEndEntity) == decide::SubjectComparison::kWholeName) {
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
    if (relation == decide::Relation::kIssuerDiffers) {
      *finding = decide::Finding::kIssuerDiffers;
      return {};
    }
    const decide::CertificateFate fate = decide::FateOf(relation, sameSerialCount);
    if (fate == decide::CertificateFate::kPassOver) continue;

    sameSubjectFound = true;
    const int position = static_cast<int>(i);
    if (relation == decide::Relation::kSameSerial) {
      (kind == Kind::kEndEntity ? plan_.changes.writeEeCert : plan_.changes.writeCaCert) = 0;
      // The first certificate with this serial stays, and only its keys
      // count as present; a second copy goes like an older certificate,
      // keys and all.
      const bool keep = fate == decide::CertificateFate::kKeep;
      if (keep && kind == Kind::kEndEntity) {
        if (Outcome checked = PublicKeyAndPrivateKeyWriteCheck(attrs[kSubject], attrs[kId]); !checked.ok()) {
          return checked;
        }
        plan_.kept.ee = true;
        plan_.kept.eeSubject.assign(attrs.Text(kSubject));
        plan_.kept.eeId.assign(attrs.Text(kId));
        plan_.kept.eePosition = position;
      } else if (keep) {
        plan_.kept.caPosition = position;
      }
      ++sameSerialCount;
    }
    if (fate == decide::CertificateFate::kDeleteCopy || fate == decide::CertificateFate::kReplace) {
      if (!plan_.changes.AddCertDelete(position)) return Outcome::FailureText(kFailure, msg::kCertDeleteListFull);
      if (kind == Kind::kEndEntity) {
        plan_.changes.eeCertDeletePlanned = 1;
        if (Outcome deleted = PublicKeyAndPrivateKeyDelete(attrs[kSubject], attrs[kId]); !deleted.ok()) return deleted;
      } else {
        plan_.changes.caCertDeletePlanned = 1;
      }
    }
  }
  *finding = sameSubjectFound ? decide::Finding::kSameSubject : decide::NoSameSubject(commonNameMode);
  return {};
}

Outcome Checker::KeepWhatStays() {
  if (plan_.kept.ee) {
    // The keys of the certificate that stays are found exactly the way the
    // deletion search finds keys, and taken off the delete lists.
    std::string &keptSubject = plan_.kept.eeSubject;
    std::string &keptId = plan_.kept.eeId;
    CK_ATTRIBUTE subject{CKA_SUBJECT, keptSubject.data(), keptSubject.size()};
    CK_ATTRIBUTE identifier{CKA_ID, keptId.data(), keptId.size()};
    std::vector<CK_OBJECT_HANDLE> keptPublic;
    std::vector<CK_OBJECT_HANDLE> keptPrivate;
    Outcome found = FindKeysOf(subject, identifier, token::msg::kDeleteFinal,
                               [&](CK_OBJECT_CLASS keyClass, std::span<const CK_OBJECT_HANDLE> keys) -> Outcome {
                                 // As many as a delete list holds, like the keys the deletion search finds.
                                 if (keys.size() > ReplacementPlan::kListCapacity) {
                                   return Outcome::FailureText(kFailure, token::msg::kKeyDeleteListFull);
                                 }
                                 (keyClass == CKO_PUBLIC_KEY ? keptPublic : keptPrivate).assign(keys.begin(), keys.end());
                                 return {};
                               });
    if (!found.ok()) return found;
    plan_.kept.eeKeys = keptPrivate;
    plan_.kept.eeKeys.insert(plan_.kept.eeKeys.end(), keptPublic.begin(), keptPublic.end());
    ReplacementPlan &changes = plan_.changes;
    changes.publicKeyDeleteCount = decide::WithoutKept(std::span<CK_OBJECT_HANDLE>(changes.publicKeyDelete),
                                                       changes.publicKeyDeleteCount,
                                                       std::span<const CK_OBJECT_HANDLE>(keptPublic));
    changes.privateKeyDeleteCount = decide::WithoutKept(std::span<CK_OBJECT_HANDLE>(changes.privateKeyDelete),
                                                        changes.privateKeyDeleteCount,
                                                        std::span<const CK_OBJECT_HANDLE>(keptPrivate));
  }
  // Positions of the certificates that stay (-1 where none does) are never
  // positions of the list, so they take nothing else off it.
  const std::array<int, 2> keptPositions = {plan_.kept.eePosition, plan_.kept.caPosition};
  plan_.changes.certDeleteCount = decide::WithoutKept(std::span<int>(plan_.changes.certDeleteIndex),
                                                      plan_.changes.certDeleteCount, std::span<const int>(keptPositions));
  return {};
}

}  // namespace velkor
