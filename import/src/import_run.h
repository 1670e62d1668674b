// One import run: everything the run decides, remembers and creates lives
// here, in one object, from the opening of the PKCS#12 contents to the last
// deletion.  The token itself (binding, session, login, searches and the
// message) is reached through the CSmartCardReader the run is given.
#ifndef IMPORT_IMPORT_RUN_H_
#define IMPORT_IMPORT_RUN_H_

#include <p11-kit/pkcs11.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "asn1x509/asn1x509.h"
#include "library_objects.h"
#include "pkcs12_archive.h"
#include "platform/secure.h"
#include "token/replacement_plan.h"
#include "token/smart_card_reader.h"

namespace velkor {

// The three switches of the command line.
struct ImportSwitches {
  int m_subjectMode = 0;      // 0 "SUBDN": whole subject; 1 "SUBCN": common name only
  int m_issuerCheck = 0;      // 1 "ISCHKON": token certificates must have the same issuer
  int m_additionEnabled = 0;  // 1 "ADDON": a changed subject may be accepted through the trust anchor
};

class ImportRun {
 public:
  ImportRun(CSmartCardReader &reader, const ImportSwitches &switches);
  ImportRun(const ImportRun &) = delete;
  ImportRun &operator=(const ImportRun &) = delete;

  // The whole import; returns the tool return code, writes the log on
  // failure and closes the token.  The caller keeps the blob.
  int32_t DoImportProc(uint32_t blobSize, const unsigned char *blob, const char *pin, const char *password);

 private:
  // Capacity of the token object list; a count of this many or more is
  // refused, so the list always ends with a zero handle.
  static constexpr int kObjectCapacity = ReplacementPlan::kListCapacity;
  static constexpr size_t kIdentifierBufferSize = 256;
  // A run creates at most four objects: three of the end entity, the CA.
  static constexpr int kMaxCreatedObjects = 4;
  static constexpr int kNone = 9999;  // no certificate of that kind in the file

  // Positions in the file of the certificate with its private key and of
  // the one without.
  struct Collected {
    int endEntity = kNone;
    int ca = kNone;
    int count = 0;
  };

  // What stays on the token: the end-entity certificate found with the
  // serial number being imported (its subject and CKA_ID bytes and its
  // position) and the CA certificate found with the CA's serial.
  struct Kept {
    bool ee = false;
    std::string eeSubject;
    std::string eeId;
    int eePosition = -1;
    int caPosition = -1;
  };

  // --- import sequence ------------------------------------------------------
  [[nodiscard]] int32_t Run(uint32_t blobSize, const unsigned char *blob, const char *pin, const char *password);
  [[nodiscard]] int32_t OpenPkcs12(uint32_t blobSize, const unsigned char *blob, const char *password);
  // -1 with the message when a private key of the file cannot serve.
  [[nodiscard]] int32_t CheckKeys();
  [[nodiscard]] int32_t Classify();
  [[nodiscard]] int32_t LoadCertificate(int position);
  [[nodiscard]] int32_t CheckPass();
  [[nodiscard]] int32_t WritingPass();
  // The identifier that end-entity objects of this run reuse instead of a
  // fresh one: that of the certificate that stays (when its keys are
  // completed); empty when none.
  std::string_view ReusedEndEntityId() const;
  [[nodiscard]] int32_t WriteEndEntity(int position);
  [[nodiscard]] int32_t WriteCa();
  [[nodiscard]] int32_t DeletingPass();
  // Destroys what this run created, newest first; adds a line to the
  // message for every object that cannot be destroyed.
  void RollBackCreated();
  void RememberCreated(CK_OBJECT_HANDLE handle);
  // Takes the keys of the end-entity certificate that stays, and every
  // certificate that stays, off the delete lists.
  [[nodiscard]] int32_t KeepWhatStays();
  // Finds keys of the new certificate's key material left under an
  // identifier that no certificate carries (an interrupted import's) and
  // plans their deletion after the fresh set is written.
  [[nodiscard]] int32_t PlanLeftoverKeys();

  // --- subject and serial check ---------------------------------------------
  // Relates one PKCS#12 certificate (kind 1 end-entity, 2 CA) to the token's
  // certificates and fills the plan: 0, -1, -3, -14 or -15.
  [[nodiscard]] int32_t SubjectAndSerialCheck(X509CertHandle cert, int kind);
  // 0 same issuer (or no issuer check), -15 another issuer, -1 failure.
  [[nodiscard]] int32_t IssuerCheck(X509NameHandle issuer, const Pdu *issuerPdu, unsigned char *sameIssuer);
  [[nodiscard]] bool SameTypicalCommonName(X509NameHandle a, X509NameHandle b, bool *same, int32_t *failure);

  // --- CA addition and trust anchor -----------------------------------------
  // 0 accepted, -3 not accepted or failed, -1 the key search failed.  The
  // end-entity turn sets the trust-confirmed flag when it finds the token's
  // CA certificate.
  [[nodiscard]] int32_t DoAdditionProc(X509CertHandle cert, int kind);
  // 0 listed, -1 not listed, -99 no trust anchor file, -3 no identifier of
  // that kind (0 authority, 1 subject key identifier).
  [[nodiscard]] int32_t CheckTrustAnchor(const X509CertParam &param, int kind);

  // --- token object writing -------------------------------------------------
  // Identifier text of new objects (at least 128 bytes of room): 1 made, 0.
  [[nodiscard]] int ProductCKA_ID(char *buffer);
  // ProductCKA_ID, drawing the number again while the text equals
  // `mustDiffer` (so that the CA's and the end entity's identifiers of one
  // run never coincide): 1 made, 0.
  [[nodiscard]] int MakeIdentifier(char *buffer, std::string_view mustDiffer);
  // 1 written, 0 failure.  The identifier is written as given (without a
  // terminating zero).
  [[nodiscard]] int WritePrivateKeyObject(PKCS1RSAPrivateKeyHandle key, X509CertHandle cert,
                                          std::string_view identifier);
  [[nodiscard]] int WritePublicKeyObject(X509CertHandle cert, std::string_view identifier);
  // 0 written, -12 token memory full, -1 other failure.
  [[nodiscard]] int32_t WriteCertificateObject(X509CertHandle cert, std::string_view identifier);

  CSmartCardReader &r_;
  const ImportSwitches switches_;
  ReplacementPlan plan_;
  // Set by the end-entity turn of the addition procedure, read after the
  // CA turn: it belongs to the whole check pass.
  int32_t trustConfirmed_ = 0;
  Kept kept_;
  std::array<CK_OBJECT_HANDLE, kMaxCreatedObjects> created_{};
  int createdCount_ = 0;

  platform::SecureBuffer widePassword_;
  platform::SecureBuffer utf8Password_;
  Pkcs12Archive archive_;
  std::array<CK_OBJECT_HANDLE, kObjectCapacity> objects_{};
  int32_t objectCount_ = 0;
  Collected collected_;
  CertObject cert_;
  std::array<char, kIdentifierBufferSize> eeId_{};
  bool eeIdMade_ = false;
  std::array<char, kIdentifierBufferSize> rootId_{};
  bool rootIdMade_ = false;
};

}  // namespace velkor

#endif  // IMPORT_IMPORT_RUN_H_
