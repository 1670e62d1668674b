// The import procedure: open the PKCS#12 contents, log in to the token,
// decide per certificate what to write and what to delete, write the new
// objects, and only then delete the old ones.
#include <array>
#include <cstring>
#include <string_view>

#include "import_messages.h"
#include "library_objects.h"
#include "pkcs12_archive.h"
#include "platform/secure.h"
#include "platform/text.h"
#include "token/smart_card_reader.h"

namespace {

constexpr size_t kIdentifierBufferSize = 256;
constexpr int32_t kFailure = -1;
constexpr int kNone = 9999;  // no certificate of that kind in the file

// What the checks need to know of the certificates of the file.
struct Collected {
  int endEntity = kNone;  // position of the certificate with its private key
  int ca = kNone;         // position of the certificate without one
  int count = 0;
};

// The end-entity private key taken out of the file, as the object library's
// PKCS#1 key.  The exported bytes are wiped when it goes.
struct ExtractedKey {
  platform::SecureBuffer pkcs8;
  velkor::Pkcs8Object info;
  velkor::Pkcs1PrivateKeyObject rsa;
};

// Everything of one run that is released at its end, in reverse order of
// declaration: key objects, certificate object, archive, passwords.
class ImportRun {
 public:
  ImportRun(CSmartCardReader &reader, ReplacementPlan &plan) : r_(reader), plan_(plan) {}

  int32_t Run(uint32_t blobSize, const unsigned char *blob, const char *pin, const char *password);

 private:
  [[nodiscard]] int32_t OpenPkcs12(uint32_t blobSize, const unsigned char *blob, const char *password);
  [[nodiscard]] int32_t Classify();
  [[nodiscard]] int32_t LoadCertificate(int position);
  [[nodiscard]] int32_t ExtractKey(int position, ExtractedKey *key);
  [[nodiscard]] int32_t CheckPass();
  [[nodiscard]] int32_t WritingPass();
  [[nodiscard]] int32_t WriteEndEntity(int position);
  [[nodiscard]] int32_t WriteCa();
  [[nodiscard]] int32_t DeletingPass();

  CSmartCardReader &r_;
  ReplacementPlan &plan_;
  platform::SecureBuffer widePassword_;
  platform::SecureBuffer utf8Password_;
  velkor::Pkcs12Archive archive_;
  std::array<CK_OBJECT_HANDLE, ReplacementPlan::kListCapacity> objects_{};
  int32_t objectCount_ = 0;
  Collected collected_;
  velkor::CertObject cert_;
  std::array<char, kIdentifierBufferSize> eeId_{};
  bool eeIdMade_ = false;
  std::array<char, kIdentifierBufferSize> rootId_{};
};

int32_t ImportRun::OpenPkcs12(uint32_t blobSize, const unsigned char *blob, const char *password) {
  switch (velkor::ConvertPassword(password, &widePassword_, &utf8Password_)) {
    case velkor::PasswordConversion::kOk:
      break;
    case velkor::PasswordConversion::kNoMemory:
      r_.SetErrorText(velkor::msg::kPasswordBuffer);
      return kFailure;
    case velkor::PasswordConversion::kConvertFailed:
      r_.SetErrorText(velkor::msg::kPasswordToWide);
      return kFailure;
  }
  if (!archive_.Open(blob, blobSize)) {
    r_.SetErrorText(velkor::msg::kNotPfx);
    return kFailure;
  }
  const unsigned char *utf8 = utf8Password_.data();
  size_t utf8Length = std::strlen(reinterpret_cast<const char *>(utf8));
  if (!archive_.VerifyPassword(utf8, utf8Length)) {
    r_.SetErrorText(velkor::msg::kWrongPassword);
    return kFailure;
  }
  uint32_t code = 0;
  if (!archive_.Import(&code)) {
    r_.SetError(velkor::msg::kPfxImport, code);
    return kFailure;
  }
  // A file without any certificate has nothing to import; it is refused
  // before the token is touched.
  if (archive_.CertificateCount() == 0) {
    r_.SetErrorText(velkor::msg::kNoCert);
    return kFailure;
  }
  return 0;
}

int32_t ImportRun::Classify() {
  for (size_t i = 0; i < archive_.CertificateCount(); ++i) {
    if (collected_.count >= 2) {
      r_.SetErrorText(velkor::msg::kSeveralCerts);
      return kFailure;
    }
    if (archive_.HasPrivateKey(i)) {
      if (collected_.endEntity != kNone) {
        r_.SetErrorText(velkor::msg::kSeveralKeyCerts);
        return kFailure;
      }
      collected_.endEntity = collected_.count;
    } else {
      if (collected_.ca != kNone) {
        r_.SetErrorText(velkor::msg::kNoKeyCert);
        return kFailure;
      }
      collected_.ca = collected_.count;
    }
    ++collected_.count;
  }
  return 0;
}

int32_t ImportRun::LoadCertificate(int position) {
  const std::vector<unsigned char> &der = archive_.CertificateDer(static_cast<size_t>(position));
  Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  uint32_t err = 0;
  if (X509CertObjectSetPduBER(cert_.get(), &pdu, &err) != 0) {
    r_.SetError(velkor::msg::kCertDecode, err);
    return kFailure;
  }
  return 0;
}

int32_t ImportRun::ExtractKey(int position, ExtractedKey *key) {
  uint32_t code = 0;
  switch (archive_.ExportPkcs8(static_cast<size_t>(position), &key->pkcs8, &code)) {
    case velkor::KeyExport::kOk:
      break;
    case velkor::KeyExport::kNoMemory:
      r_.SetErrorText(velkor::msg::kKeyExportMemory);
      return kFailure;
    case velkor::KeyExport::kExportFailed:
      r_.SetError(velkor::msg::kKeyExport, code);
      return kFailure;
  }
  uint32_t err = 0;
  if (!key->info.Create(&err)) {
    r_.SetError(velkor::msg::kPkcs8Create, err);
    return kFailure;
  }
  Pdu pdu{key->pkcs8.data(), static_cast<uint32_t>(key->pkcs8.size())};
  if (PKCS8PrivateKeyInfoObjectSetPduBER(key->info.get(), &pdu, &err) != 0) {
    r_.SetError(velkor::msg::kPkcs8Decode, velkor::LastCryptoError());
    return kFailure;
  }
  if (!key->rsa.Create(&err)) {
    r_.SetError(velkor::msg::kPkcs1Create, err);
    return kFailure;
  }
  if (PKCS8PrivateKeyInfoObjectGetParamRSAKey(key->info.get(), key->rsa.address(), &err) != 0) {
    r_.SetError(velkor::msg::kPkcs8RsaKey, err);
    return kFailure;
  }
  // The object library holds its own copy now.
  key->pkcs8.Release();
  return 0;
}

int32_t ImportRun::CheckPass() {
  for (int turn = 0; turn < collected_.count; ++turn) {
    int kind = 2;
    int position = collected_.ca;
    if (turn == 0 && collected_.endEntity != kNone) {
      kind = 1;
      position = collected_.endEntity;
    }
    if (int32_t rc = LoadCertificate(position); rc != 0) return rc;
    if (collected_.count == 1 && kind == 1) {
      r_.SetErrorText(velkor::msg::kNoCaCert);
      return -16;
    }
    int32_t rc = r_.SubjectAndSerialCheck(cert_.get(), objects_.data(), plan_, kind);
    if (rc == 0) continue;
    if (rc == -3 && r_.m_subjectMode == 0 && r_.m_issuerCheck == 0 && r_.m_additionEnabled != 0) {
      int32_t caFound = 0;
      rc = r_.DoAdditionProc(cert_.get(), objects_.data(), plan_, kind, &caFound);
      if (rc != 0) return rc;
      if (kind == 2 && caFound == 0) {
        r_.SetErrorText(velkor::msg::kAdditionCaTrust);
        return -3;
      }
      continue;
    }
    return rc;
  }
  return r_.KeepWhatStays(plan_);
}

int32_t ImportRun::WriteEndEntity(int position) {
  ExtractedKey key;
  if (int32_t rc = ExtractKey(position, &key); rc != 0) return rc;
  // Keys that complete a certificate which stays on the token carry its
  // identifier; otherwise the three new objects share a fresh one.
  std::string_view kept = r_.KeptEeIdentifier();
  bool useKept = plan_.writeEeCert == 0 && !kept.empty();
  auto identifier = [&]() -> std::string_view { return useKept ? kept : std::string_view(eeId_.data()); };
  if (plan_.writePrivateKey == 1) {
    if (!useKept) {
      if (r_.ProductCKA_ID(eeId_.data()) == 0) {
        r_.AppendError("%s", velkor::msg::kEeIdProduct);
        return kFailure;
      }
      eeIdMade_ = true;
    }
    if (r_.WritePrivateKeyObject(key.rsa.get(), cert_.get(), identifier(), plan_) == 0) return kFailure;
  }
  if (plan_.writePublicKey == 1) {
    if (!useKept && !eeIdMade_) {
      r_.AppendError("%s", velkor::msg::kPublicKeyNoId);
      return kFailure;
    }
    if (r_.WritePublicKeyObject(cert_.get(), identifier(), plan_) == 0) return kFailure;
  }
  if (plan_.writeEeCert == 1) {
    if (!eeIdMade_) {
      r_.AppendError("%s", velkor::msg::kCertNoId);
      return kFailure;
    }
    if (int32_t rc = r_.WriteCertificateObject(cert_.get(), identifier()); rc != 0) return rc;
  }
  return 0;
}

int32_t ImportRun::WriteCa() {
  if (r_.ProductCKA_ID(rootId_.data()) == 0) {
    r_.AppendError("%s", velkor::msg::kRootIdProduct);
    return kFailure;
  }
  if (plan_.writeCaCert == 1) {
    if (int32_t rc = r_.WriteCertificateObject(cert_.get(), rootId_.data()); rc != 0) return rc;
  }
  return 0;
}

int32_t ImportRun::WritingPass() {
  // Store order: the certificates as the file lists them.
  for (int position = 0; position < collected_.count; ++position) {
    if (plan_.writeEeCert == 0 && plan_.writeCaCert == 0 && plan_.writePublicKey == 0 &&
        plan_.writePrivateKey == 0) {
      break;
    }
    if (int32_t rc = LoadCertificate(position); rc != 0) return rc;
    int32_t rc = archive_.HasPrivateKey(static_cast<size_t>(position)) ? WriteEndEntity(position) : WriteCa();
    if (rc != 0) return rc;
  }
  return 0;
}

int32_t ImportRun::DeletingPass() {
  CK_FUNCTION_LIST_PTR f = r_.m_functionList;
  CK_SESSION_HANDLE session = r_.m_session;
  for (int i = 0; i < plan_.privateKeyDeleteCount; ++i) {
    CK_RV rv = f->C_DestroyObject(session, plan_.privateKeyDelete[i]);
    if (rv != CKR_OK) {
      r_.SetError(velkor::msg::kDeletePrivateKey, static_cast<unsigned>(rv));
      return -5;
    }
  }
  for (int i = 0; i < plan_.publicKeyDeleteCount; ++i) {
    CK_RV rv = f->C_DestroyObject(session, plan_.publicKeyDelete[i]);
    if (rv != CKR_OK) {
      r_.SetError(velkor::msg::kDeletePublicKey, static_cast<unsigned>(rv));
      return -5;
    }
  }
  std::array<CK_OBJECT_HANDLE, ReplacementPlan::kListCapacity> certs{};
  int certCount = 0;
  for (int i = 0; i < plan_.certDeleteCount; ++i) {
    int position = plan_.certDeleteIndex[i];
    if (position < 0 || position >= objectCount_) continue;  // never a position outside the list
    certs[static_cast<size_t>(certCount++)] = objects_[static_cast<size_t>(position)];
  }
  for (int i = 0; i < certCount; ++i) {
    CK_RV rv = f->C_DestroyObject(session, certs[static_cast<size_t>(i)]);
    if (rv != CKR_OK) {
      r_.SetError(velkor::msg::kDeleteCert, static_cast<unsigned>(rv));
      return -5;
    }
  }
  return 0;
}

int32_t ImportRun::Run(uint32_t blobSize, const unsigned char *blob, const char *pin, const char *password) {
  if (int32_t rc = OpenPkcs12(blobSize, blob, password); rc != 0) return rc;

  if (int32_t rc = r_.LoadPkcs11Module(); rc != 0) return rc;
  if (int32_t rc = r_.OpenTokenSession(); rc != 0) return rc;
  if (int32_t rc = r_.LoginUser(pin); rc != 0) return rc;

  uint32_t err = 0;
  if (!cert_.Create(&err)) {
    r_.SetError(velkor::msg::kCertObjectCreate, err);
    return kFailure;
  }
  if (int32_t rc = r_.FindAllObjects(objects_.data(), ReplacementPlan::kListCapacity, &objectCount_); rc != 0) {
    return rc;
  }
  if (objectCount_ >= ReplacementPlan::kListCapacity) {
    r_.SetErrorText(velkor::msg::kTooManyObjects);
    return -5;
  }
  if (objectCount_ == 0) {
    r_.SetErrorText(velkor::msg::kNoObjects);
    return -13;
  }

  if (int32_t rc = Classify(); rc != 0) return rc;
  if (int32_t rc = CheckPass(); rc != 0) return rc;
  if (plan_.NothingToDo()) return 0;

  if (int32_t rc = WritingPass(); rc != 0) {
    // What this run wrote goes again, so that the token holds what it held
    // before; the failure's own code and message stay.
    r_.RollBackCreated();
    return rc;
  }
  if (int32_t rc = DeletingPass(); rc != 0) return rc;
  utf8Password_.Release();
  widePassword_.Release();
  return 0;
}

}  // namespace

int32_t CSmartCardReader::DoImportProc(uint32_t blobSize, const unsigned char *blob, const char *pin,
                                       const char *password, platform::File &logFile) {
  m_logFile = std::move(logFile);
  m_createdCount = 0;
  m_keptEe = false;
  m_keptEeSubject.clear();
  m_keptEeId.clear();
  m_keptEePosition = -1;
  m_keptCaPosition = -1;

  int32_t result = kFailure;
  {
    ReplacementPlan plan;
    plan.Reset(m_modulePath);
    ImportRun run(*this, plan);
    result = run.Run(blobSize, blob, pin, password);
  }
  if (result != 0) {
    platform::FormatBounded(m_resultText, sizeof m_resultText, velkor::msg::kResultLine, result);
    AppendError("%s", m_resultText);
    WriteLogFile(m_errorText);
  }
  CloseToken();
  return result;
}
