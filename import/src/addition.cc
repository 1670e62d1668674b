// Acceptance of a certificate whose subject changed: the token's
// certificate with the same common name is replaced when its issuing CA is
// listed in the trust anchor file, and so is the token's
// certificate of that CA; a new CA certificate is accepted when its own key
// identifier is listed.
#include <array>
#include <optional>
#include <span>
#include <string>

#include "checker.h"
#include "decisions.h"
#include "import_messages.h"
#include "key_id_text.h"
#include "library_objects.h"
#include "platform/text.h"
#include "token/attribute_values.h"
#include "trust_anchor_file.h"

namespace velkor {

namespace {

// attrTemplate of the first pass and attrTemplateRoot of the second.
enum { kSubject = 0, kSerial = 1, kId = 2, kIssuer = 3, kValue = 4 };
constexpr std::array<CK_ATTRIBUTE_TYPE, 5> kEndEntityTemplate = {CKA_SUBJECT, CKA_SERIAL_NUMBER, CKA_ID,
                                                                 CKA_ISSUER, CKA_VALUE};
enum { kRootValue = 0, kRootSerial = 1 };
constexpr std::array<CK_ATTRIBUTE_TYPE, 2> kRootTemplate = {CKA_VALUE, CKA_SERIAL_NUMBER};

Pdu PduOf(const CK_ATTRIBUTE &attr) {
  return Pdu{static_cast<const unsigned char *>(attr.pValue), static_cast<uint32_t>(attr.ulValueLen)};
}

std::optional<std::span<const unsigned char>> ExtensionValue(const X509CertParam &param, const AsnObjid &id) {
  if (param.extensions == nullptr) return std::nullopt;
  X509Extension ext{};
  uint32_t err = 0;
  if (X509ExtObjectGetExtByObjid(param.extensions, &id, &ext, &err) != 0) return std::nullopt;
  if (ext.value.data == nullptr) return std::nullopt;
  return std::span<const unsigned char>(ext.value.data, ext.value.length);
}

// The authority key identifier of the certificate as text; none without
// one.
std::optional<std::string> GetAuthorityKeyIdText(const X509CertParam &param) {
  auto value = ExtensionValue(param, X509Objid_AuthorityKeyId);
  if (!value) return std::nullopt;
  auto keyId = DecodeAuthorityKeyId(*value);
  if (!keyId) return std::nullopt;
  return RenderKeyIdHex(*keyId);
}

// The subject key identifier of the certificate as text; none without one.
std::optional<std::string> GetSubjectKeyIdText(const X509CertParam &param) {
  auto value = ExtensionValue(param, X509Objid_SubjectKeyId);
  if (!value) return std::nullopt;
  auto keyId = DecodeSubjectKeyId(*value);
  if (!keyId) return std::nullopt;
  return RenderKeyIdHex(*keyId);
}

// A certificate object loaded from a token value, with its parameters.
struct TokenCertificate {
  CertObject object;
  X509CertParam param{};

  [[nodiscard]] bool Load(const CK_ATTRIBUTE &value) {
    uint32_t err = 0;
    Pdu pdu = PduOf(value);
    return object.Create(&err) && X509CertObjectSetPduBER(object.get(), &pdu, &err) == 0 &&
           X509CertObjectGetParamUCert(object.get(), &param, &err) == 0;
  }
};

// Whether the trust anchor file at `path` lists the key identifier `text`
// (none: the certificate has no such identifier).  An empty path cannot be
// opened.
decide::Anchor CheckTrustAnchor(const std::string &path, const std::optional<std::string> &text) {
  if (!text) return decide::Anchor::kNoIdentifier;
  return LookUpTrustAnchor(path, *text);
}

}  // namespace

Outcome Checker::DoAdditionProc(const FileCertificate &cert, Kind kind, bool endEntityAccepted) {
  // Not accepted: the run refuses the changed subject.
  auto notAccepted = [](const char *message) {
    return Outcome::FailureText(decide::RefusalCode(decide::Finding::kNoSameSubject), message);
  };
  uint32_t err = 0;
  if (!cert.serialEncoding.ok()) return notAccepted(msg::kAddition);
  const X509CertParam &param = cert.param;
  const std::string &anchors = inputs_.trustAnchorPath;

  if (kind == Kind::kCa) {
    switch (decide::AcceptNewCa(CheckTrustAnchor(anchors, GetSubjectKeyIdText(param)))) {
      case decide::Acceptance::kAccepted:
        // Only in place of the token's certificate of the CA that the end
        // entity's turn found.
        if (!endEntityAccepted) return notAccepted(msg::kAdditionCaTrust);
        return {};
      case decide::Acceptance::kRefusedNoAnchorFile:
        return notAccepted(msg::kAdditionNoAnchorFile);
      default:
        return notAccepted(msg::kAddition);
    }
  }

  // First pass: the token's certificate with the same common name whose
  // issuer is a trusted CA.
  const std::span<const CK_OBJECT_HANDLE> listed = plan_.Listed();
  int matched = -1;
  std::optional<std::string> authorityKeyId;
  {
    token::AttributeValues<5> attrs(kEndEntityTemplate);
    for (size_t i = 0; i < listed.size(); ++i) {
      token::AttributeRead read = attrs.Read(reader_, listed[i]);
      if (read == token::AttributeRead::kUnreadable || read == token::AttributeRead::kValuesUnreadable) continue;
      if (read == token::AttributeRead::kNoMemory) return notAccepted(msg::kAddition);
      NameObject tokenSubject;
      Pdu subjectPdu = PduOf(attrs[kSubject]);
      if (!tokenSubject.Create(&err) || X509NameObjectSetPduBER(tokenSubject.get(), &subjectPdu, &err) != 0) {
        return notAccepted(msg::kAddition);
      }
      bool same = false;
      if (!SameTypicalCommonName(param.subject, tokenSubject.get(), &same).ok()) return notAccepted(msg::kAddition);
      // A certificate of another common name is not read any further.
      if (!same) continue;
      TokenCertificate tokenCert;
      if (!tokenCert.Load(attrs[kValue])) return notAccepted(msg::kAddition);
      authorityKeyId = GetAuthorityKeyIdText(tokenCert.param);
      const decide::Acceptance acceptance =
          decide::AcceptTokenCertificate(same, CheckTrustAnchor(anchors, authorityKeyId));
      if (acceptance == decide::Acceptance::kRefusedNoAnchorFile) return notAccepted(msg::kAdditionNoAnchorFile);
      if (acceptance != decide::Acceptance::kAccepted) continue;

      matched = static_cast<int>(i);
      if (!plan_.changes.AddCertDelete(matched)) return Outcome::FailureText(kFailure, msg::kCertDeleteListFull);
      plan_.changes.eeCertDeletePlanned = 1;
      if (Outcome deleted = PublicKeyAndPrivateKeyDelete(attrs[kSubject], attrs[kId]); !deleted.ok()) return deleted;
      break;
    }
  }
  if (matched < 0 || !authorityKeyId) return notAccepted(msg::kAddition);

  // Second pass: the token's certificate of the CA that issued it, found by
  // its subject key identifier.  A certificate without one is passed over,
  // wherever the token lists it.
  token::AttributeValues<2> root(kRootTemplate);
  for (size_t i = 0; i < listed.size(); ++i) {
    if (static_cast<int>(i) == matched) continue;
    token::AttributeRead read = root.Read(reader_, listed[i]);
    if (read == token::AttributeRead::kUnreadable || read == token::AttributeRead::kValuesUnreadable) continue;
    if (read == token::AttributeRead::kNoMemory) return notAccepted(msg::kAddition);
    TokenCertificate tokenCert;
    if (!tokenCert.Load(root[kRootValue])) return notAccepted(msg::kAddition);
    if (decide::AcceptIssuingCa(*authorityKeyId, GetSubjectKeyIdText(tokenCert.param)) ==
        decide::Acceptance::kAccepted) {
      if (!plan_.changes.AddCertDelete(static_cast<int>(i))) {
        return Outcome::FailureText(kFailure, msg::kCertDeleteListFull);
      }
      plan_.changes.caCertDeletePlanned = 1;
      return {};
    }
  }
  return notAccepted(msg::kAdditionCaTrust);
}

}  // namespace velkor
