#include "decisions.h"

#include <algorithm>

#include "key_id_text.h"

namespace velkor::decide {

SubjectComparison ComparisonFor(bool commonNameMode, bool endEntity) {
  return commonNameMode && endEntity ? SubjectComparison::kCommonName : SubjectComparison::kWholeName;
}

bool SameCommonName(std::optional<std::string_view> a, std::optional<std::string_view> b) {
  return a.has_value() && b.has_value() && *a == *b;
}

Relation RelationOf(bool sameIssuer, bool sameSubject, std::span<const unsigned char> tokenSerial,
                    std::span<const unsigned char> importedSerial) {
  if (!sameIssuer) return Relation::kIssuerDiffers;
  if (!sameSubject) return Relation::kOtherSubject;
  const bool sameSerial = std::ranges::equal(tokenSerial, importedSerial);
  return sameSerial ? Relation::kSameSerial : Relation::kSameSubjectOtherSerial;
}

CertificateFate FateOf(Relation relation, int sameSerialSeen) {
  switch (relation) {
    case Relation::kIssuerDiffers:
    case Relation::kOtherSubject:
      return CertificateFate::kPassOver;
    case Relation::kSameSerial:
      return sameSerialSeen > 0 ? CertificateFate::kDeleteCopy : CertificateFate::kKeep;
    case Relation::kSameSubjectOtherSerial:
      return CertificateFate::kReplace;
  }
  return CertificateFate::kPassOver;
}

Finding NoSameSubject(bool commonNameMode) {
  return commonNameMode ? Finding::kNoSameCommonName : Finding::kNoSameSubject;
}

int RefusalCode(Finding finding) {
  switch (finding) {
    case Finding::kSameSubject:
      return 0;
    case Finding::kNoSameSubject:
      return -3;
    case Finding::kNoSameCommonName:
      return -14;
    case Finding::kIssuerDiffers:
      return -15;
  }
  return -1;
}

bool AdditionApplies(Finding finding, bool commonNameMode, bool issuerCheck, bool additionEnabled) {
  return finding == Finding::kNoSameSubject && !commonNameMode && !issuerCheck && additionEnabled;
}

bool AnchorListLists(std::string_view contents, const std::string &keyIdText) {
  while (!contents.empty()) {
    const size_t end = contents.find('\n');
    std::string_view line = contents.substr(0, end);
    contents = end == std::string_view::npos ? std::string_view() : contents.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() == kAnchorLineLength && CompareKeyIdText(std::string(line), keyIdText) == 0) return true;
  }
  return false;
}

Acceptance AcceptNewCa(Anchor ownKeyId) {
  if (ownKeyId == Anchor::kListed) return Acceptance::kAccepted;
  if (ownKeyId == Anchor::kNoFile) return Acceptance::kRefusedNoAnchorFile;
  return Acceptance::kRefused;
}

Acceptance AcceptTokenCertificate(bool sameCommonName, Anchor issuerKeyId) {
  if (!sameCommonName) return Acceptance::kNextCertificate;
  if (issuerKeyId == Anchor::kNoFile) return Acceptance::kRefusedNoAnchorFile;
  if (issuerKeyId != Anchor::kListed) return Acceptance::kNextCertificate;
  return Acceptance::kAccepted;
}

Acceptance AcceptIssuingCa(std::string_view authorityKeyId, const std::optional<std::string> &subjectKeyId) {
  if (!subjectKeyId) return Acceptance::kNextCertificate;
  return CompareKeyIdText(std::string(authorityKeyId), *subjectKeyId) == 0 ? Acceptance::kAccepted
                                                                          : Acceptance::kNextCertificate;
}

std::string_view ReusedIdentifier(bool writesEndEntityCertificate, std::string_view keptId) {
  return writesEndEntityCertificate ? std::string_view() : keptId;
}

bool SameInteger(std::span<const unsigned char> a, std::span<const unsigned char> b) {
  while (!a.empty() && a.front() == 0) a = a.subspan(1);
  while (!b.empty() && b.front() == 0) b = b.subspan(1);
  return std::ranges::equal(a, b);
}

bool IsLeftoverKey(std::span<const unsigned char> keyModulus, std::span<const unsigned char> keyExponent,
                   std::string_view keyId, std::span<const unsigned char> newModulus,
                   std::span<const unsigned char> newExponent, const std::vector<std::string> &stayingCertificateIds) {
  if (!SameInteger(keyModulus, newModulus) || !SameInteger(keyExponent, newExponent)) return false;
  return std::ranges::find(stayingCertificateIds, keyId) == stayingCertificateIds.end();
}

}  // namespace velkor::decide
