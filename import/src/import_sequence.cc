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
#include "pkcs12/password.h"
#include "platform/file.h"
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

// The trust anchor list beside the program.
constexpr char kTrustAnchorFile[] = "trustAnchor.config";

}  // namespace

ImportRun::ImportRun(CSmartCardReader &reader, const ImportSwitches &switches, const std::string &modulePath)
    // Without the program's folder the trust anchor path stays empty and
    // cannot be opened.
    : r_(reader), inputs_{switches, modulePath, platform::BesideProgram(kTrustAnchorFile)} {}

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

Outcome ImportRun::WriteEndEntity(int position, const FileCertificate &cert) {
  ExtractedKey key;
  if (Outcome extracted = ExtractKey(file_.archive(), position, &key); !extracted.ok()) return extracted;
  // Keys that complete a certificate which stays on the token carry its
  // identifier; otherwise the three new objects share a fresh one.
  const std::string_view reuse = plan_.ReusedEndEntityId();
  auto identifier = [&]() -> std::string_view { return reuse.empty() ? std::string_view(eeId_) : reuse; };
  if (plan_.changes.writePrivateKey == 1) {
    if (reuse.empty()) {
      if (Outcome made = MakeIdentifier(rootId_, true, &eeId_); !made.ok()) {
        made.message().AppendText(msg::kEeIdProduct);
        return made;
      }
    }
    if (Outcome written = WritePrivateKeyObject(key.rsa.get(), cert, identifier()); !written.ok()) return written;
  }
  if (plan_.changes.writePublicKey == 1) {
    if (reuse.empty() && eeId_.empty()) return Outcome::FailureText(kFailure, msg::kPublicKeyNoId);
    if (Outcome written = WritePublicKeyObject(cert, identifier()); !written.ok()) return written;
  }
  if (plan_.changes.writeEeCert == 1) return WriteCertificateObject(cert, identifier());
  return {};
}

Outcome ImportRun::WriteCa(const FileCertificate &cert) {
  // The CA's identifier never equals the end entity's: consumers pair keys
  // with certificates by identifier.
  const std::string_view endEntityId = !eeId_.empty() ? std::string_view(eeId_) : plan_.ReusedEndEntityId();
  if (Outcome made = MakeIdentifier(endEntityId, plan_.changes.writeCaCert == 1, &rootId_); !made.ok()) {
    made.message().AppendText(msg::kRootIdProduct);
    return made;
  }
  if (plan_.changes.writeCaCert == 1) return WriteCertificateObject(cert, rootId_);
  return {};
}

Outcome ImportRun::WritingPass() {
  // Store order: the certificates as the file lists them.
  const ReplacementPlan &changes = plan_.changes;
  for (int position = 0; position < file_.Count(); ++position) {
    if (changes.writeEeCert == 0 && changes.writeCaCert == 0 && changes.writePublicKey == 0 &&
        changes.writePrivateKey == 0) {
      break;
    }
    const FileCertificate *cert = nullptr;
    if (Outcome loaded = file_.Certificate(position, &cert); !loaded.ok()) return loaded;
    Outcome written = file_.HasPrivateKey(position) ? WriteEndEntity(position, *cert) : WriteCa(*cert);
    if (!written.ok()) return written;
  }
  return {};
}

Outcome ImportRun::DeletingPass() {
  const ReplacementPlan &changes = plan_.changes;
  for (int i = 0; i < changes.privateKeyDeleteCount; ++i) {
    CK_RV rv = r_.DestroyObject(changes.privateKeyDelete[i]);
    if (rv != CKR_OK) return Outcome::Failure(-5, msg::kDeletePrivateKey, static_cast<unsigned>(rv));
  }
  for (int i = 0; i < changes.publicKeyDeleteCount; ++i) {
    CK_RV rv = r_.DestroyObject(changes.publicKeyDelete[i]);
    if (rv != CKR_OK) return Outcome::Failure(-5, msg::kDeletePublicKey, static_cast<unsigned>(rv));
  }
  const std::span<const CK_OBJECT_HANDLE> listed = plan_.Listed();
  std::array<CK_OBJECT_HANDLE, ReplacementPlan::kListCapacity> certs{};
  size_t certCount = 0;
  for (int i = 0; i < changes.certDeleteCount; ++i) {
    int position = changes.certDeleteIndex[i];
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
    if (!r_.IsInitialized()) continue;
    CK_RV rv = r_.DestroyObject(handle);
    if (rv != CKR_OK && failure != nullptr) failure->message().Append(msg::kRollback, static_cast<unsigned>(rv));
  }
}

Outcome ImportRun::Check(uint32_t blobSize, const unsigned char *blob, const char *pin,
                         platform::SecureBuffer &password) {
  pin_ = pin;
  if (Outcome opened = file_.Open(blobSize, blob, password); !opened.ok()) return opened;
  if (Outcome bound = r_.LoadPkcs11Module(inputs_.modulePath); !bound.ok()) return bound;
  if (Outcome session = r_.OpenTokenSession(); !session.ok()) return session;
  if (Outcome login = r_.LoginUser(pin); !login.ok()) return login;
  return velkor::Check(file_, r_, inputs_, &plan_);
}

Outcome ImportRun::Apply() {
  if (plan_.changes.NothingToDo()) return {};

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
  return DeletingPass();
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
