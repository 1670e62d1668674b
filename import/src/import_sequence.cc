// The import procedure: open the PKCS#12 contents, log in to the token,
// decide per certificate what to write and what to delete, write the new
// objects, and only then delete the old ones.
#include <array>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decisions.h"
#include "import_messages.h"
#include "import_run.h"
#include "platform/secure.h"
#include "platform/text.h"
#include "token/attribute_values.h"
#include "token/messages.h"

namespace velkor {

namespace {

constexpr int32_t kFailure = -1;
constexpr size_t kResultTextSize = 32;

// The end-entity private key taken out of the file, as the object library's
// PKCS#1 key.  The exported bytes are wiped when it goes.
struct ExtractedKey {
  platform::SecureBuffer pkcs8;
  Pkcs8Object info;
  Pkcs1PrivateKeyObject rsa;
};

}  // namespace

ImportRun::ImportRun(CSmartCardReader &reader, const ImportSwitches &switches) : r_(reader), switches_(switches) {
  plan_.Reset(r_.m_modulePath);
}

int32_t ImportRun::OpenPkcs12(uint32_t blobSize, const unsigned char *blob, const char *password) {
  switch (ConvertPassword(password, &widePassword_, &utf8Password_)) {
    case PasswordConversion::kOk:
      break;
    case PasswordConversion::kNoMemory:
      r_.SetErrorText(msg::kPasswordBuffer);
      return kFailure;
    case PasswordConversion::kConvertFailed:
      r_.SetErrorText(msg::kPasswordToWide);
      return kFailure;
  }
  if (const Result<Opened> opened = archive_.Open(blob, blobSize); opened.outcome != Opened::kPkcs12) {
    // A file refused for what it asks for is reported as a failed import.
    if (opened.outcome == Opened::kRefused) {
      r_.SetError(msg::kPfxImport, opened.code);
    } else {
      r_.SetErrorText(msg::kNotPfx);
    }
    return kFailure;
  }
  const unsigned char *utf8 = utf8Password_.data();
  size_t utf8Length = std::strlen(reinterpret_cast<const char *>(utf8));
  const Result<PasswordCheck> checked = archive_.VerifyPassword(utf8, utf8Length);
  switch (checked.outcome) {
    case PasswordCheck::kRight:
      break;
    case PasswordCheck::kWrong:
      r_.SetErrorText(msg::kWrongPassword);
      return kFailure;
    case PasswordCheck::kRefused:
      r_.SetError(msg::kPfxImport, checked.code);
      return kFailure;
  }
  if (const Step imported = archive_.Import(); !imported.done()) {
    r_.SetError(msg::kPfxImport, imported.code);
    return kFailure;
  }
  // A file without any certificate has nothing to import; it is refused
  // before the token is touched.
  if (archive_.CertificateCount() == 0) {
    r_.SetErrorText(msg::kNoCert);
    return kFailure;
  }
  return 0;
}

int32_t ImportRun::CheckKeys() {
  switch (archive_.CheckKeys()) {
    case KeyCondition::kUsable:
      return 0;
    case KeyCondition::kNotTwoPrimeRsa:
      r_.SetErrorText(msg::kKeyNotRsa);
      return kFailure;
    case KeyCondition::kDamaged:
      r_.SetErrorText(msg::kKeyDamaged);
      return kFailure;
  }
  return kFailure;
}

int32_t ImportRun::Classify() {
  // Two certificates are told apart here.  A file of three or more is
  // refused where the certificates are collected, after the token listing,
  // whatever the order of its bags.
  const size_t considered = archive_.CertificateCount() <= 2 ? archive_.CertificateCount() : 0;
  for (size_t i = 0; i < considered; ++i) {
    if (archive_.HasPrivateKey(i)) {
      if (collected_.endEntity != kNone) {
        r_.SetErrorText(msg::kSeveralKeyCerts);
        return kFailure;
      }
      collected_.endEntity = collected_.count;
    } else {
      if (collected_.ca != kNone) {
        r_.SetErrorText(msg::kNoKeyCert);
        return kFailure;
      }
      collected_.ca = collected_.count;
    }
    ++collected_.count;
  }
  // Whatever is written must be readable again by the next run.
  for (size_t i = 0; i < archive_.CertificateCount(); ++i) {
    if (archive_.CertificateDer(i).size() > token::kMaxAttributeLength) {
      r_.SetErrorText(msg::kCertTooLarge);
      return kFailure;
    }
  }
  return 0;
}

int32_t ImportRun::LoadCertificate(int position) {
  const std::vector<unsigned char> &der = archive_.CertificateDer(static_cast<size_t>(position));
  Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  uint32_t err = 0;
  if (X509CertObjectSetPduBER(cert_.get(), &pdu, &err) != 0) {
    r_.SetError(msg::kCertDecode, err);
    return kFailure;
  }
  return 0;
}

namespace {

// Takes the private key of the certificate at `position` out of the file
// and decodes it; the message of a failing step is left in the reader.
int32_t ExtractKey(CSmartCardReader &reader, const Pkcs12Archive &archive, int position, ExtractedKey *key) {
  const Result<KeyExport> exported = archive.ExportPkcs8(static_cast<size_t>(position), &key->pkcs8);
  switch (exported.outcome) {
    case KeyExport::kOk:
      break;
    case KeyExport::kNoMemory:
      reader.SetErrorText(msg::kKeyExportMemory);
      return kFailure;
    case KeyExport::kExportFailed:
      reader.SetError(msg::kKeyExport, exported.code);
      return kFailure;
  }
  uint32_t err = 0;
  if (!key->info.Create(&err)) {
    reader.SetError(msg::kPkcs8Create, err);
    return kFailure;
  }
  Pdu pdu{key->pkcs8.data(), static_cast<uint32_t>(key->pkcs8.size())};
  if (PKCS8PrivateKeyInfoObjectSetPduBER(key->info.get(), &pdu, &err) != 0) {
    reader.SetError(msg::kPkcs8Decode, LastCryptoError());
    return kFailure;
  }
  if (!key->rsa.Create(&err)) {
    reader.SetError(msg::kPkcs1Create, err);
    return kFailure;
  }
  if (PKCS8PrivateKeyInfoObjectGetParamRSAKey(key->info.get(), key->rsa.address(), &err) != 0) {
    reader.SetError(msg::kPkcs8RsaKey, err);
    return kFailure;
  }
  // The object library holds its own copy now.
  key->pkcs8.Release();
  return 0;
}

}  // namespace

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
      r_.SetErrorText(msg::kNoCaCert);
      return -16;
    }
    int32_t rc = SubjectAndSerialCheck(cert_.get(), kind);
    if (rc == 0) continue;
    if (decide::AdditionApplies(rc, switches_.m_subjectMode != 0, switches_.m_issuerCheck != 0,
                                switches_.m_additionEnabled != 0)) {
      rc = DoAdditionProc(cert_.get(), kind);
      if (rc != 0) return rc;
      // A new CA is taken only when the end-entity turn found the token's
      // certificate of the CA it replaces.
      if (kind == 2 && trustConfirmed_ == 0) {
        r_.SetErrorText(msg::kAdditionCaTrust);
        return -3;
      }
      continue;
    }
    return rc;
  }
  if (int32_t rc = KeepWhatStays(); rc != 0) return rc;
  return PlanLeftoverKeys();
}

std::string_view ImportRun::ReusedEndEntityId() const {
  return decide::ReusedIdentifier(plan_.writeEeCert != 0, kept_.eeId);
}

int32_t ImportRun::WriteEndEntity(int position) {
  ExtractedKey key;
  if (int32_t rc = ExtractKey(r_, archive_, position, &key); rc != 0) return rc;
  // Keys that complete a certificate which stays on the token carry its
  // identifier; otherwise the three new objects share a fresh one.
  const std::string_view reuse = ReusedEndEntityId();
  auto identifier = [&]() -> std::string_view { return reuse.empty() ? std::string_view(eeId_.data()) : reuse; };
  if (plan_.writePrivateKey == 1) {
    if (reuse.empty()) {
      if (MakeIdentifier(eeId_.data(), rootIdMade_ ? std::string_view(rootId_.data()) : std::string_view()) == 0) {
        r_.AppendError("%s", msg::kEeIdProduct);
        return kFailure;
      }
      eeIdMade_ = true;
    }
    if (WritePrivateKeyObject(key.rsa.get(), cert_.get(), identifier()) == 0) return kFailure;
  }
  if (plan_.writePublicKey == 1) {
    if (reuse.empty() && !eeIdMade_) {
      r_.AppendError("%s", msg::kPublicKeyNoId);
      return kFailure;
    }
    if (WritePublicKeyObject(cert_.get(), identifier()) == 0) return kFailure;
  }
  if (plan_.writeEeCert == 1) {
    if (int32_t rc = WriteCertificateObject(cert_.get(), identifier()); rc != 0) return rc;
  }
  return 0;
}

int32_t ImportRun::WriteCa() {
  // The CA's identifier never equals the end entity's: consumers pair keys
  // with certificates by identifier.
  const std::string_view endEntityId = eeIdMade_ ? std::string_view(eeId_.data()) : ReusedEndEntityId();
  if (MakeIdentifier(rootId_.data(), endEntityId) == 0) {
    r_.AppendError("%s", msg::kRootIdProduct);
    return kFailure;
  }
  rootIdMade_ = true;
  if (plan_.writeCaCert == 1) {
    if (int32_t rc = WriteCertificateObject(cert_.get(), rootId_.data()); rc != 0) return rc;
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
  CK_FUNCTION_LIST_PTR f = r_.GetFunctionListPtr();
  CK_SESSION_HANDLE session = r_.GetSessionHandle();
  for (int i = 0; i < plan_.privateKeyDeleteCount; ++i) {
    CK_RV rv = f->C_DestroyObject(session, plan_.privateKeyDelete[i]);
    if (rv != CKR_OK) {
      r_.SetError(msg::kDeletePrivateKey, static_cast<unsigned>(rv));
      return -5;
    }
  }
  for (int i = 0; i < plan_.publicKeyDeleteCount; ++i) {
    CK_RV rv = f->C_DestroyObject(session, plan_.publicKeyDelete[i]);
    if (rv != CKR_OK) {
      r_.SetError(msg::kDeletePublicKey, static_cast<unsigned>(rv));
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
      r_.SetError(msg::kDeleteCert, static_cast<unsigned>(rv));
      return -5;
    }
  }
  return 0;
}

void ImportRun::RememberCreated(CK_OBJECT_HANDLE handle) {
  if (createdCount_ < kMaxCreatedObjects) created_[static_cast<size_t>(createdCount_++)] = handle;
}

void ImportRun::RollBackCreated() {
  CK_FUNCTION_LIST_PTR f = r_.GetFunctionListPtr();
  CK_SESSION_HANDLE session = r_.GetSessionHandle();
  while (createdCount_ > 0) {
    CK_OBJECT_HANDLE handle = created_[static_cast<size_t>(--createdCount_)];
    created_[static_cast<size_t>(createdCount_)] = 0;
    if (f == nullptr) continue;
    CK_RV rv = f->C_DestroyObject(session, handle);
    if (rv != CKR_OK) r_.AppendError(msg::kRollback, static_cast<unsigned>(rv));
  }
}

namespace {

std::string_view TextOf(std::span<const unsigned char> bytes) {
  return {reinterpret_cast<const char *>(bytes.data()), bytes.size()};
}

// Reads `attrs` (CKA_CLASS first) of every listed object and hands the
// class and handle of each object whose values came to `onObject`; objects
// that lack one of the attributes are passed over.  False, with the message, when a
// value is too long to be had.
template <size_t N, typename OnObject>
bool ForEachReadable(CSmartCardReader &reader, std::span<const CK_OBJECT_HANDLE> objects,
                     token::AttributeValues<N> &attrs, OnObject onObject) {
  for (CK_OBJECT_HANDLE object : objects) {
    int failedIndex = 0;
    token::AttributeRead read = attrs.Read(reader.GetFunctionListPtr(), reader.GetSessionHandle(), object,
                                           &failedIndex);
    if (read == token::AttributeRead::kNoMemory) {
      reader.SetError(msg::kAttrMemory, failedIndex);
      return false;
    }
    if (read != token::AttributeRead::kOk || attrs.Bytes(0).size() != sizeof(CK_OBJECT_CLASS)) continue;
    CK_OBJECT_CLASS cls = 0;
    std::memcpy(&cls, attrs.Bytes(0).data(), sizeof cls);
    onObject(cls, object);
  }
  return true;
}

}  // namespace

int32_t ImportRun::PlanLeftoverKeys() {
  // Only an end-entity set written afresh can have been begun before: a
  // certificate that stays brings its own identifier.
  if (!decide::LooksForLeftoverKeys(collected_.endEntity != kNone, plan_.writeEeCert != 0,
                                    plan_.writePrivateKey != 0)) {
    return 0;
  }
  if (int32_t rc = LoadCertificate(collected_.endEntity); rc != 0) return rc;
  // Key material that cannot be read here is no RSA key; the writing pass
  // reports that in its own words.
  uint32_t err = 0;
  X509CertParam param{};
  Pkcs1PublicKeyObject publicKey;
  PKCS1RSAPublicKeyParam material{};
  if (X509CertObjectGetParamUCert(cert_.get(), &param, &err) != 0 || !publicKey.Create(&err)) return 0;
  Pdu keyPdu{param.subjectPublicKey.bits, param.subjectPublicKey.bitLength / 8};
  if (PKCS1RSAPublicKeyObjectSetPduBER(publicKey.get(), &keyPdu, &err) != 0 ||
      PKCS1RSAPublicKeyObjectGetParam(publicKey.get(), &material, &err) != 0) {
    return 0;
  }
  const std::span<const unsigned char> modulus(material.modulus.data, material.modulus.length);
  const std::span<const unsigned char> exponent(material.publicExponent.data, material.publicExponent.length);

  const std::span<const CK_OBJECT_HANDLE> listed(objects_.data(), static_cast<size_t>(objectCount_));
  // The identifiers that certificates carry: keys under one of them belong
  // to that certificate, whatever their key material.
  std::vector<std::string> certificateIds;
  token::AttributeValues<2> classAndId({CKA_CLASS, CKA_ID});
  if (!ForEachReadable(r_, listed, classAndId, [&](CK_OBJECT_CLASS cls, CK_OBJECT_HANDLE) {
        if (cls == CKO_CERTIFICATE) certificateIds.emplace_back(TextOf(classAndId.Bytes(1)));
      })) {
    return kFailure;
  }
  // Keys of this very key material under an identifier no certificate
  // carries are what an interrupted import of this certificate left.  They
  // are never taken as they are (they may be readable, unable to sign, or
  // damaged): the new key is written afresh from the checked file, and the
  // leftovers go with the old objects once every write succeeded.  Other
  // keys under the same identifier are not theirs to take along.
  enum { kId = 1, kModulus = 2, kExponent = 3 };
  token::AttributeValues<4> keys({CKA_CLASS, CKA_ID, CKA_MODULUS, CKA_PUBLIC_EXPONENT});
  bool listFull = false;
  if (!ForEachReadable(r_, listed, keys, [&](CK_OBJECT_CLASS cls, CK_OBJECT_HANDLE object) {
        if (!decide::IsLeftoverKey(keys.Bytes(kModulus), keys.Bytes(kExponent), TextOf(keys.Bytes(kId)), modulus,
                                   exponent, certificateIds)) {
          return;
        }
        if (cls == CKO_PRIVATE_KEY && !plan_.AddPrivateKeyDelete(object)) listFull = true;
        if (cls == CKO_PUBLIC_KEY && !plan_.AddPublicKeyDelete(object)) listFull = true;
      })) {
    return kFailure;
  }
  if (listFull) {
    r_.SetErrorText(token::msg::kKeyDeleteListFull);
    return kFailure;
  }
  return 0;
}

int32_t ImportRun::Run(uint32_t blobSize, const unsigned char *blob, const char *pin, const char *password) {
  if (int32_t rc = OpenPkcs12(blobSize, blob, password); rc != 0) return rc;
  // A file this run cannot use is refused before the token is touched: the
  // key it would put in place of the working one must be able to serve.
  if (int32_t rc = CheckKeys(); rc != 0) return rc;
  if (int32_t rc = Classify(); rc != 0) return rc;

  if (int32_t rc = r_.LoadPkcs11Module(); rc != 0) return rc;
  if (int32_t rc = r_.OpenTokenSession(); rc != 0) return rc;
  if (int32_t rc = r_.LoginUser(pin); rc != 0) return rc;

  uint32_t err = 0;
  if (!cert_.Create(&err)) {
    r_.SetError(msg::kCertObjectCreate, err);
    return kFailure;
  }
  if (int32_t rc = r_.FindAllObjects(objects_.data(), kObjectCapacity, &objectCount_); rc != 0) return rc;
  if (objectCount_ >= kObjectCapacity) {
    r_.SetErrorText(msg::kTooManyObjects);
    return -5;
  }
  if (objectCount_ == 0) {
    r_.SetErrorText(msg::kNoObjects);
    return -13;
  }
  if (archive_.CertificateCount() > 2) {
    r_.SetErrorText(msg::kSeveralCerts);
    return kFailure;
  }

  if (int32_t rc = CheckPass(); rc != 0) return rc;
  if (plan_.NothingToDo()) return 0;

  if (int32_t rc = WritingPass(); rc != 0) {
    // What this run wrote goes again, so that the token holds what it held
    // before; the failure's own code and message stay.
    RollBackCreated();
    return rc;
  }
  if (int32_t rc = DeletingPass(); rc != 0) return rc;
  utf8Password_.Release();
  widePassword_.Release();
  return 0;
}

int32_t ImportRun::DoImportProc(uint32_t blobSize, const unsigned char *blob, const char *pin,
                                const char *password) {
  int32_t result = kFailure;
  try {
    result = Run(blobSize, blob, pin, password);
  } catch (...) {
    // Memory that could not be had midway: what this run wrote goes again
    // before the entry point reports the failure.
    RollBackCreated();
    throw;
  }
  if (result != 0) {
    char resultText[kResultTextSize] = {};
    platform::FormatBounded(resultText, sizeof resultText, msg::kResultLine, result);
    r_.AppendError("%s", resultText);
    r_.WriteLogFile(r_.ErrorText());
  }
  r_.CloseToken();
  return result;
}

}  // namespace velkor
