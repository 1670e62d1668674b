// The check of an import: the token listed, each certificate of the file
// related to the token's certificates (the end entity first), the changed
// subject tried through the addition procedure where the switches allow it,
// and what stays and what an interrupted run left behind settled.
#include "check.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "checker.h"
#include "decisions.h"
#include "import_messages.h"
#include "token/attribute_values.h"
#include "token/messages.h"

namespace velkor {

namespace {

// The run's refusal for a certificate of no same subject or another issuer.
Outcome Refusal(decide::Finding finding) {
  const char *message = finding == decide::Finding::kNoSameSubject      ? msg::kSubjectMismatch
                        : finding == decide::Finding::kNoSameCommonName ? msg::kSubjectCnMismatch
                                                                        : msg::kIssuerMismatch;
  return Outcome::FailureText(decide::RefusalCode(finding), message);
}

// The label that keys get with any module other than the default one: the
// text with its terminating zero byte.
constexpr char kNoLabel[] = "nolabel";

}  // namespace

std::span<const CK_OBJECT_HANDLE> Plan::Listed() const {
  // A zero handle is no object: the list ends before it.
  const std::span<const CK_OBJECT_HANDLE> all(objects.data(), static_cast<size_t>(objectCount));
  size_t end = 0;
  while (end < all.size() && all[end] != 0) ++end;
  return all.first(end);
}

std::string_view Plan::ReusedEndEntityId() const {
  return decide::ReusedIdentifier(changes.writeEeCert != 0, kept.eeId);
}

std::string_view Plan::KeyLabel() const {
  return changes.moduleKind == 1 ? std::string_view() : std::string_view(kNoLabel, sizeof kNoLabel);
}

Outcome Check(FileContents &file, token::TokenReader &reader, const CheckInputs &inputs, Plan *plan) {
  *plan = Plan{};
  plan->changes.Reset(inputs.modulePath);
  return Checker(file, reader, inputs, *plan).Run();
}

Outcome Checker::Run() {
  if (Outcome listed = ListObjects(); !listed.ok()) return listed;
  if (file_.CertificateCount() > 2) return Outcome::FailureText(kFailure, msg::kSeveralCerts);
  if (Outcome checked = CheckPass(); !checked.ok()) return checked;
  if (Outcome kept = KeepWhatStays(); !kept.ok()) return kept;
  return PlanLeftoverKeys();
}

Outcome Checker::ListObjects() {
  if (Outcome listed = reader_.FindAllObjects(plan_.objects, &plan_.objectCount); !listed.ok()) return listed;
  if (plan_.objectCount >= ReplacementPlan::kListCapacity) return Outcome::FailureText(-5, msg::kTooManyObjects);
  if (plan_.objectCount == 0) return Outcome::FailureText(-13, msg::kNoObjects);
  return {};
}

Outcome Checker::CheckPass() {
  bool endEntityAccepted = false;
  for (int turn = 0; turn < file_.Count(); ++turn) {
    Kind kind = Kind::kCa;
    int position = file_.CaPosition();
    if (turn == 0 && file_.EndEntityPosition() != FileContents::kNone) {
      kind = Kind::kEndEntity;
      position = file_.EndEntityPosition();
    }
    const FileCertificate *cert = nullptr;
    if (Outcome loaded = file_.Certificate(position, &cert); !loaded.ok()) return loaded;
    if (file_.Count() == 1 && kind == Kind::kEndEntity) return Outcome::FailureText(-16, msg::kNoCaCert);
    decide::Finding finding = decide::Finding::kSameSubject;
    if (Outcome checked = SubjectAndSerialCheck(*cert, kind, &finding); !checked.ok()) return checked;
    if (finding == decide::Finding::kSameSubject) continue;
    const ImportSwitches &s = inputs_.switches;
    if (!decide::AdditionApplies(finding, s.m_subjectMode != 0, s.m_issuerCheck != 0, s.m_additionEnabled != 0)) {
      return Refusal(finding);
    }
    if (Outcome added = DoAdditionProc(*cert, kind, endEntityAccepted); !added.ok()) return added;
    if (kind == Kind::kEndEntity) endEntityAccepted = true;
  }
  return {};
}

Outcome Checker::PlanLeftoverKeys() {
  if (file_.EndEntityPosition() == FileContents::kNone) return {};
  const FileCertificate *cert = nullptr;
  if (Outcome loaded = file_.Certificate(file_.EndEntityPosition(), &cert); !loaded.ok()) return loaded;
  // Key material that cannot be read here is no RSA key; the writing pass
  // reports that in its own words.
  uint32_t err = 0;
  Pkcs1PublicKeyObject publicKey;
  PKCS1RSAPublicKeyParam material{};
  if (!cert->params.ok() || !publicKey.Create(&err)) return {};
  Pdu keyPdu{cert->param.subjectPublicKey.bits, cert->param.subjectPublicKey.bitLength / 8};
  if (PKCS1RSAPublicKeyObjectSetPduBER(publicKey.get(), &keyPdu, &err) != 0 ||
      PKCS1RSAPublicKeyObjectGetParam(publicKey.get(), &material, &err) != 0) {
    return {};
  }
  const std::span<const unsigned char> modulus(material.modulus.data, material.modulus.length);
  const std::span<const unsigned char> exponent(material.publicExponent.data, material.publicExponent.length);
  // Keys under the identifier of a certificate that stays (the one being
  // imported, when it is already there, among them) are that
  // certificate's; every other key of this very key material is what an
  // interrupted import of this certificate left (a key may be readable,
  // unable to sign, or damaged).  They are never taken as they are: the
  // new key is written afresh from the checked file, and the leftovers go
  // with the old objects once every write succeeded, so that any number of
  // interrupted runs end, with one complete run, in exactly one set.
  struct Candidate {
    CK_OBJECT_HANDLE handle;
    CK_OBJECT_CLASS objectClass;
    std::string id;
    std::vector<unsigned char> modulus;
    std::vector<unsigned char> exponent;
  };
  std::vector<Candidate> candidates;
  std::vector<std::string> stayingCertificateIds;
  ReplacementPlan &changes = plan_.changes;
  const std::span<const int> deletedPositions(changes.certDeleteIndex, static_cast<size_t>(changes.certDeleteCount));

  token::AttributeValues<2> classAndId({CKA_CLASS, CKA_ID});
  token::AttributeValues<1> classOnly({CKA_CLASS});
  token::AttributeValues<2> keyMaterial({CKA_MODULUS, CKA_PUBLIC_EXPONENT});
  const std::span<const CK_OBJECT_HANDLE> listed = plan_.Listed();
  for (size_t position = 0; position < listed.size(); ++position) {
    const CK_OBJECT_HANDLE object = listed[position];
    std::optional<CK_OBJECT_CLASS> objectClass;
    std::string_view id;
    token::AttributeRead read = classAndId.Read(reader_, object);
    if (read == token::AttributeRead::kOk) {
      objectClass = classAndId.Ulong(0);
      id = classAndId.Text(1);
    } else if (read != token::AttributeRead::kNoMemory) {
      // An object without an identifier: a key of the new material under
      // none is a leftover as well.
      read = classOnly.Read(reader_, object);
      if (read == token::AttributeRead::kOk) objectClass = classOnly.Ulong(0);
    }
    if (read == token::AttributeRead::kNoMemory) return Outcome::Failure(kFailure, msg::kAttrMemory, read.index);
    if (objectClass == CKO_CERTIFICATE && std::ranges::find(deletedPositions, static_cast<int>(position)) ==
                                              deletedPositions.end()) {
      stayingCertificateIds.emplace_back(id);
    }
    if (objectClass != CKO_PRIVATE_KEY && objectClass != CKO_PUBLIC_KEY) continue;
    read = keyMaterial.Read(reader_, object);
    if (read == token::AttributeRead::kNoMemory) return Outcome::Failure(kFailure, msg::kAttrMemory, read.index);
    if (read != token::AttributeRead::kOk) continue;
    candidates.push_back({object, *objectClass, std::string(id),
                          std::vector<unsigned char>(keyMaterial.Bytes(0).begin(), keyMaterial.Bytes(0).end()),
                          std::vector<unsigned char>(keyMaterial.Bytes(1).begin(), keyMaterial.Bytes(1).end())});
  }
  bool listFull = false;
  for (const Candidate &key : candidates) {
    if (!decide::IsLeftoverKey(key.modulus, key.exponent, key.id, modulus, exponent, stayingCertificateIds)) continue;
    if (key.objectClass == CKO_PRIVATE_KEY && !changes.AddPrivateKeyDelete(key.handle)) listFull = true;
    if (key.objectClass == CKO_PUBLIC_KEY && !changes.AddPublicKeyDelete(key.handle)) listFull = true;
  }
  if (listFull) return Outcome::FailureText(kFailure, token::msg::kKeyDeleteListFull);
  return {};
}

}  // namespace velkor
