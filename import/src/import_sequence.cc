// The import procedure: open the PKCS#12 contents, log in to the token,
// decide per certificate what to write and what to delete, write the new
// objects, and only then delete the old ones.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <utility>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decisions.h"
#include "import_messages.h"
#include "import_run.h"
#include "password.h"
#include "platform/secure.h"
#include "platform/text.h"
#include "token/attribute_values.h"
#include "token/messages.h"

namespace velkor {

namespace {

// The end-entity private key taken out of the file, as the object library's
// PKCS#1 key.  The exported bytes are wiped when it goes.
struct ExtractedKey {
  platform::SecureBuffer pkcs8;
  Pkcs8Object info;
  Pkcs1PrivateKeyObject rsa;
};

}  // namespace

ImportRun::ImportRun(CSmartCardReader &reader, const ImportSwitches &switches, const std::string &modulePath)
    : r_(reader), switches_(switches), modulePath_(modulePath) {
  plan_.Reset(modulePath_);
}

Outcome ImportRun::OpenPkcs12(uint32_t blobSize, const unsigned char *blob, platform::SecureBuffer &password) {
  const PasswordConversion converted =
      ConvertPassword(reinterpret_cast<const char *>(password.data()), &widePassword_, &utf8Password_);
  // Only the converted forms are used from here on.
  password.Release();
  switch (converted) {
    case PasswordConversion::kOk:
      break;
    case PasswordConversion::kNoMemory:
      return Outcome::FailureText(kFailure, msg::kPasswordBuffer);
    case PasswordConversion::kConvertFailed:
      return Outcome::FailureText(kFailure, msg::kPasswordToWide);
  }
  if (Outcome opened = archive_.Open(blob, blobSize); !opened.ok()) return opened;
  const unsigned char *utf8 = utf8Password_.data();
  size_t utf8Length = std::strlen(reinterpret_cast<const char *>(utf8));
  if (Outcome verified = archive_.VerifyPassword(utf8, utf8Length); !verified.ok()) return verified;
  // A file without any certificate is refused here, before the token is
  // touched.
  Outcome imported = archive_.Import();
  // Every bag is open: nothing needs the password again.
  utf8Password_.Release();
  widePassword_.Release();
  return imported;
}

Outcome ImportRun::Classify() {
  // Two certificates are told apart here.  A file of three or more is
  // refused where the certificates are collected, after the token listing,
  // whatever the order of its bags.
  const size_t considered = archive_.CertificateCount() <= 2 ? archive_.CertificateCount() : 0;
  for (size_t i = 0; i < considered; ++i) {
    if (archive_.HasPrivateKey(i)) {
      if (collected_.endEntity != kNone) return Outcome::FailureText(kFailure, msg::kSeveralKeyCerts);
      collected_.endEntity = collected_.count;
    } else {
      if (collected_.ca != kNone) return Outcome::FailureText(kFailure, msg::kNoKeyCert);
      collected_.ca = collected_.count;
    }
    ++collected_.count;
  }
  // Whatever is written must be readable again by the next run.
  for (size_t i = 0; i < archive_.CertificateCount(); ++i) {
    if (archive_.CertificateDer(i).size() > token::kMaxAttributeLength) {
      return Outcome::FailureText(kFailure, msg::kCertTooLarge);
    }
  }
  return {};
}

Outcome ImportRun::LoadCertificate(int position, CertObject *cert) {
  uint32_t err = 0;
  if (!cert->Create(&err)) return Outcome::Failure(kFailure, msg::kCertObjectCreate, err);
  const std::vector<unsigned char> &der = archive_.CertificateDer(static_cast<size_t>(position));
  Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  if (X509CertObjectSetPduBER(cert->get(), &pdu, &err) != 0) return Outcome::Failure(kFailure, msg::kCertDecode, err);
  return {};
}

namespace {

// Takes the private key of the certificate at `position` out of the file
// and decodes it.
Outcome ExtractKey(const Pkcs12Archive &archive, int position, ExtractedKey *key) {
  if (Outcome exported = archive.ExportPkcs8(static_cast<size_t>(position), &key->pkcs8); !exported.ok()) {
    return exported;
  }
  uint32_t err = 0;
  if (!key->info.Create(&err)) return Outcome::Failure(kFailure, msg::kPkcs8Create, err);
  Pdu pdu{key->pkcs8.data(), static_cast<uint32_t>(key->pkcs8.size())};
  if (PKCS8PrivateKeyInfoObjectSetPduBER(key->info.get(), &pdu, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kPkcs8Decode, LastCryptoError());
  }
  if (!key->rsa.Create(&err)) return Outcome::Failure(kFailure, msg::kPkcs1Create, err);
  if (PKCS8PrivateKeyInfoObjectGetParamRSAKey(key->info.get(), key->rsa.address(), &err) != 0) {
    return Outcome::Failure(kFailure, msg::kPkcs8RsaKey, err);
  }
  // The object library holds its own copy now.
  key->pkcs8.Release();
  return {};
}

}  // namespace

Outcome ImportRun::CheckPass() {
  for (int turn = 0; turn < collected_.count; ++turn) {
    int kind = 2;
    int position = collected_.ca;
    if (turn == 0 && collected_.endEntity != kNone) {
      kind = 1;
      position = collected_.endEntity;
    }
    CertObject cert;
    if (Outcome loaded = LoadCertificate(position, &cert); !loaded.ok()) return loaded;
    if (collected_.count == 1 && kind == 1) return Outcome::FailureText(-16, msg::kNoCaCert);
    Outcome checked = SubjectAndSerialCheck(cert.get(), kind);
    if (checked.ok()) continue;
    if (!decide::AdditionApplies(checked.code(), switches_.m_subjectMode != 0, switches_.m_issuerCheck != 0,
                                 switches_.m_additionEnabled != 0)) {
      return checked;
    }
    if (Outcome added = DoAdditionProc(cert.get(), kind); !added.ok()) return added;
    // A new CA is taken only when the end-entity turn found the token's
    // certificate of the CA it replaces.
    if (kind == 2 && !trustConfirmed_) return Outcome::FailureText(-3, msg::kAdditionCaTrust);
  }
  if (Outcome kept = KeepWhatStays(); !kept.ok()) return kept;
  return PlanLeftoverKeys();
}

std::string_view ImportRun::ReusedEndEntityId() const {
  return decide::ReusedIdentifier(plan_.writeEeCert != 0, kept_.eeId);
}

Outcome ImportRun::WriteEndEntity(int position, X509CertHandle cert) {
  ExtractedKey key;
  if (Outcome extracted = ExtractKey(archive_, position, &key); !extracted.ok()) return extracted;
  // Keys that complete a certificate which stays on the token carry its
  // identifier; otherwise the three new objects share a fresh one.
  const std::string_view reuse = ReusedEndEntityId();
  auto identifier = [&]() -> std::string_view { return reuse.empty() ? std::string_view(eeId_) : reuse; };
  if (plan_.writePrivateKey == 1) {
    if (reuse.empty()) {
      if (Outcome made = MakeIdentifier(rootId_, true, &eeId_); !made.ok()) {
        made.message().AppendText(msg::kEeIdProduct);
        return made;
      }
    }
    if (Outcome written = WritePrivateKeyObject(key.rsa.get(), cert, identifier()); !written.ok()) return written;
  }
  if (plan_.writePublicKey == 1) {
    if (reuse.empty() && eeId_.empty()) return Outcome::FailureText(kFailure, msg::kPublicKeyNoId);
    if (Outcome written = WritePublicKeyObject(cert, identifier()); !written.ok()) return written;
  }
  if (plan_.writeEeCert == 1) return WriteCertificateObject(cert, identifier());
  return {};
}

Outcome ImportRun::WriteCa(X509CertHandle cert) {
  // The CA's identifier never equals the end entity's: consumers pair keys
  // with certificates by identifier.
  const std::string_view endEntityId = !eeId_.empty() ? std::string_view(eeId_) : ReusedEndEntityId();
  if (Outcome made = MakeIdentifier(endEntityId, plan_.writeCaCert == 1, &rootId_); !made.ok()) {
    made.message().AppendText(msg::kRootIdProduct);
    return made;
  }
  if (plan_.writeCaCert == 1) return WriteCertificateObject(cert, rootId_);
  return {};
}

Outcome ImportRun::WritingPass() {
  // Store order: the certificates as the file lists them.
  for (int position = 0; position < collected_.count; ++position) {
    if (plan_.writeEeCert == 0 && plan_.writeCaCert == 0 && plan_.writePublicKey == 0 &&
        plan_.writePrivateKey == 0) {
      break;
    }
    CertObject cert;
    if (Outcome loaded = LoadCertificate(position, &cert); !loaded.ok()) return loaded;
    Outcome written = archive_.HasPrivateKey(static_cast<size_t>(position)) ? WriteEndEntity(position, cert.get())
                                                                             : WriteCa(cert.get());
    if (!written.ok()) return written;
  }
  return {};
}

Outcome ImportRun::DeletingPass() {
  for (int i = 0; i < plan_.privateKeyDeleteCount; ++i) {
    CK_RV rv = r_.DestroyObject(plan_.privateKeyDelete[i]);
    if (rv != CKR_OK) return Outcome::Failure(-5, msg::kDeletePrivateKey, static_cast<unsigned>(rv));
  }
  for (int i = 0; i < plan_.publicKeyDeleteCount; ++i) {
    CK_RV rv = r_.DestroyObject(plan_.publicKeyDelete[i]);
    if (rv != CKR_OK) return Outcome::Failure(-5, msg::kDeletePublicKey, static_cast<unsigned>(rv));
  }
  const std::span<const CK_OBJECT_HANDLE> listed = Listed();
  std::array<CK_OBJECT_HANDLE, ReplacementPlan::kListCapacity> certs{};
  size_t certCount = 0;
  for (int i = 0; i < plan_.certDeleteCount; ++i) {
    int position = plan_.certDeleteIndex[i];
    // never a position outside the list
    if (position < 0 || static_cast<size_t>(position) >= listed.size()) continue;
    certs[certCount++] = listed[static_cast<size_t>(position)];
  }
  for (size_t i = 0; i < certCount; ++i) {
    CK_RV rv = r_.DestroyObject(certs[i]);
    if (rv != CKR_OK) return Outcome::Failure(-5, msg::kDeleteCert, static_cast<unsigned>(rv));
  }
  return {};
}

void ImportRun::RollBackCreated(Outcome *failure) {
  while (createdCount_ > 0) {
    Created &object = created_[static_cast<size_t>(--createdCount_)];
    const CK_OBJECT_HANDLE handle = std::exchange(object.handle, 0);
    if (r_.GetFunctionListPtr() == nullptr) continue;
    CK_RV rv = r_.DestroyObject(handle);
    if (rv != CKR_OK && failure != nullptr) failure->message().Append(msg::kRollback, static_cast<unsigned>(rv));
  }
}

Outcome ImportRun::PlanLeftoverKeys() {
  if (collected_.endEntity == kNone) return {};
  CertObject cert;
  if (Outcome loaded = LoadCertificate(collected_.endEntity, &cert); !loaded.ok()) return loaded;
  // Key material that cannot be read here is no RSA key; the writing pass
  // reports that in its own words.
  uint32_t err = 0;
  X509CertParam param{};
  Pkcs1PublicKeyObject publicKey;
  PKCS1RSAPublicKeyParam material{};
  if (X509CertObjectGetParamUCert(cert.get(), &param, &err) != 0 || !publicKey.Create(&err)) return {};
  Pdu keyPdu{param.subjectPublicKey.bits, param.subjectPublicKey.bitLength / 8};
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
  const std::span<const int> deletedPositions(plan_.certDeleteIndex, static_cast<size_t>(plan_.certDeleteCount));

  token::AttributeValues<2> classAndId({CKA_CLASS, CKA_ID});
  token::AttributeValues<1> classOnly({CKA_CLASS});
  token::AttributeValues<2> keyMaterial({CKA_MODULUS, CKA_PUBLIC_EXPONENT});
  const std::span<const CK_OBJECT_HANDLE> listed = Listed();
  for (size_t position = 0; position < listed.size(); ++position) {
    const CK_OBJECT_HANDLE object = listed[position];
    std::optional<CK_OBJECT_CLASS> objectClass;
    std::string_view id;
    token::AttributeRead read = classAndId.Read(r_, object);
    if (read == token::AttributeRead::kOk) {
      objectClass = classAndId.Ulong(0);
      id = classAndId.Text(1);
    } else if (read != token::AttributeRead::kNoMemory) {
      // An object without an identifier: a key of the new material under
      // none is a leftover as well.
      read = classOnly.Read(r_, object);
      if (read == token::AttributeRead::kOk) objectClass = classOnly.Ulong(0);
    }
    if (read == token::AttributeRead::kNoMemory) return Outcome::Failure(kFailure, msg::kAttrMemory, read.index);
    if (objectClass == CKO_CERTIFICATE && std::ranges::find(deletedPositions, static_cast<int>(position)) ==
                                              deletedPositions.end()) {
      stayingCertificateIds.emplace_back(id);
    }
    if (objectClass != CKO_PRIVATE_KEY && objectClass != CKO_PUBLIC_KEY) continue;
    read = keyMaterial.Read(r_, object);
    if (read == token::AttributeRead::kNoMemory) return Outcome::Failure(kFailure, msg::kAttrMemory, read.index);
    if (read != token::AttributeRead::kOk) continue;
    candidates.push_back({object, *objectClass, std::string(id),
                          std::vector<unsigned char>(keyMaterial.Bytes(0).begin(), keyMaterial.Bytes(0).end()),
                          std::vector<unsigned char>(keyMaterial.Bytes(1).begin(), keyMaterial.Bytes(1).end())});
  }
  bool listFull = false;
  for (const Candidate &key : candidates) {
    if (!decide::IsLeftoverKey(key.modulus, key.exponent, key.id, modulus, exponent, stayingCertificateIds)) continue;
    if (key.objectClass == CKO_PRIVATE_KEY && !plan_.AddPrivateKeyDelete(key.handle)) listFull = true;
    if (key.objectClass == CKO_PUBLIC_KEY && !plan_.AddPublicKeyDelete(key.handle)) listFull = true;
  }
  if (listFull) return Outcome::FailureText(kFailure, token::msg::kKeyDeleteListFull);
  return {};
}

Outcome ImportRun::ListObjects() {
  if (Outcome listed = r_.FindAllObjects(objects_, &objectCount_); !listed.ok()) return listed;
  if (objectCount_ >= kObjectCapacity) return Outcome::FailureText(-5, msg::kTooManyObjects);
  if (objectCount_ == 0) return Outcome::FailureText(-13, msg::kNoObjects);
  return {};
}

std::span<const CK_OBJECT_HANDLE> ImportRun::Listed() const {
  // A zero handle is no object: the list ends before it.
  const std::span<const CK_OBJECT_HANDLE> all(objects_.data(), static_cast<size_t>(objectCount_));
  size_t end = 0;
  while (end < all.size() && all[end] != 0) ++end;
  return all.first(end);
}

Outcome ImportRun::Check(uint32_t blobSize, const unsigned char *blob, const char *pin,
                         platform::SecureBuffer &password) {
  pin_ = pin;
  if (Outcome opened = OpenPkcs12(blobSize, blob, password); !opened.ok()) return opened;
  // A file this run cannot use is refused before the token is touched: the
  // key it would put in place of the working one must be able to serve.
  if (Outcome usable = archive_.CheckKeys(); !usable.ok()) return usable;
  if (Outcome classified = Classify(); !classified.ok()) return classified;

  if (Outcome bound = r_.LoadPkcs11Module(modulePath_); !bound.ok()) return bound;
  if (Outcome session = r_.OpenTokenSession(); !session.ok()) return session;
  if (Outcome login = r_.LoginUser(pin); !login.ok()) return login;
  if (Outcome listed = ListObjects(); !listed.ok()) return listed;
  if (archive_.CertificateCount() > 2) return Outcome::FailureText(kFailure, msg::kSeveralCerts);

  return CheckPass();
}

Outcome ImportRun::Apply() {
  if (plan_.NothingToDo()) return {};

  if (Outcome written = WritingPass(); !written.ok()) {
    // What this run wrote goes again, so that the token holds what it held
    // before; the failure's own code and message stay.
    if (createRefused_ && createdCount_ > 0) {
      RollBackAfterRefusal(&written);
    } else {
      RollBackCreated(&written);
    }
    return written;
  }
  // Nothing old goes before the new key has shown that it works.
  if (Outcome proven = ProveNewKey(); !proven.ok()) {
    RollBackCreated(&proven);
    return proven;
  }
  if (Outcome deleted = DeletingPass(); !deleted.ok()) return deleted;
  utf8Password_.Release();
  widePassword_.Release();
  return {};
}

Outcome ImportRun::DoImportProc(uint32_t blobSize, const unsigned char *blob, const char *pin,
                                platform::SecureBuffer &password) {
  Outcome result;
  try {
    result = Check(blobSize, blob, pin, password);
    if (result.ok()) result = Apply();
  } catch (...) {
    // Memory that could not be had midway: what this run wrote goes again
    // before the entry point reports the failure.
    RollBackCreated(nullptr);
    throw;
  }
  return result;
}

}  // namespace velkor
