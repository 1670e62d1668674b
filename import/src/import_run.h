// One import run: everything the run decides, remembers and creates lives
// here, in one object, from the opening of the PKCS#12 contents to the last
// deletion, the message of a failure included.  The token itself (binding,
// session, login and searches) is reached through the CSmartCardReader the
// run is given.  Every step hands back a token::Outcome; the first failure
// ends the run with that outcome.
#ifndef IMPORT_IMPORT_RUN_H_
#define IMPORT_IMPORT_RUN_H_

#include <p11-kit/pkcs11.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "asn1x509/asn1x509.h"
#include "library_objects.h"
#include "pkcs12_archive.h"
#include "planned_changes.h"
#include "platform/secure.h"
#include "replacement_plan.h"
#include "token/outcome.h"
#include "token/smart_card_reader.h"

namespace velkor {

using token::kFailure;
using token::Outcome;

// The three switches of the command line.
struct ImportSwitches {
  int m_subjectMode = 0;      // 0 "SUBDN": whole subject; 1 "SUBCN": common name only
  int m_issuerCheck = 0;      // 1 "ISCHKON": token certificates must have the same issuer
  int m_additionEnabled = 0;  // 1 "ADDON": a changed subject may be accepted through the trust anchor
};

class ImportRun {
 public:
  ImportRun(CSmartCardReader &reader, const ImportSwitches &switches, const std::string &modulePath);
  ImportRun(const ImportRun &) = delete;
  ImportRun &operator=(const ImportRun &) = delete;

  // The whole import.  The caller keeps the blob, turns the outcome into
  // the exit code and the log, and then closes the token.  The password
  // (the locale's text with its terminating zero) is wiped as soon as the
  // PKCS#12 file is open.
  Outcome DoImportProc(uint32_t blobSize, const unsigned char *blob, const char *pin,
                       platform::SecureBuffer &password);

  // Everything the import decides before its first write: the file opened
  // and checked, the token bound, logged in to and listed, and the plan of
  // what to write, delete and keep made.  Nothing on the token changes.
  // DoImportProc is Check followed, on success, by the writes and
  // deletions.  The PIN must stay valid as long as the run.
  Outcome Check(uint32_t blobSize, const unsigned char *blob, const char *pin, platform::SecureBuffer &password);
  // After a successful Check: what the writes and deletions would be, as a
  // value.  Reads the identifier, label and certificate value of the
  // token objects to delete and to keep.
  Outcome Describe(PlannedChanges *changes);

 private:
  // Capacity of the token object list; a count of this many or more is
  // refused.
  static constexpr int kObjectCapacity = ReplacementPlan::kListCapacity;
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
    // The keys found with the end-entity certificate that stays.
    std::vector<CK_OBJECT_HANDLE> eeKeys;
  };

  // --- import sequence ------------------------------------------------------
  // The writes, the proof of the new key and the deletions of a checked
  // run, with the rollback of a failed write.
  Outcome Apply();
  // Releases `password` once converted, and the converted forms once the
  // file is open.
  Outcome OpenPkcs12(uint32_t blobSize, const unsigned char *blob, platform::SecureBuffer &password);
  Outcome Classify();
  Outcome ListObjects();
  // The token's objects as listed: every handle before the first zero one.
  std::span<const CK_OBJECT_HANDLE> Listed() const;
  // Decodes the file's certificate at `position` into a fresh object.
  Outcome LoadCertificate(int position, CertObject *cert);
  Outcome CheckPass();
  Outcome WritingPass();
  // The identifier that end-entity objects of this run reuse instead of a
  // fresh one: that of the certificate that stays (when its keys are
  // completed); empty when none.
  std::string_view ReusedEndEntityId() const;
  Outcome WriteEndEntity(int position, X509CertHandle cert);
  Outcome WriteCa(X509CertHandle cert);
  Outcome DeletingPass();
  // Proves, before anything old goes, that the private key this run wrote
  // works on the token for each usage its certificate names: a signature
  // that the certificate's public key verifies, and the decryption of a
  // challenge encrypted to that key.  Nothing to prove when the run wrote
  // no private key.
  Outcome ProveNewKey();
  // Destroys what this run created, newest first; adds a line to
  // `failure`'s message for every object that cannot be destroyed.
  void RollBackCreated(Outcome *failure);
  // The rollback after the token refused a write that followed earlier
  // writes of this run: a card's stack may then hold a stale view of the
  // card, in which destroying fails or rewrites the card's directories
  // from that stale view.  The module is started afresh first, the run's
  // objects are found again by class and identifier and destroyed, and
  // the token is checked to still hold every object listed at the start;
  // what is missing is added to `failure`'s message.
  void RollBackAfterRefusal(Outcome *failure);
  // Creates one object of this run from `tmpl`; remembers the
  // object (for the proof and a rollback) or that the token refused it.
  CK_RV CreateRunObject(std::span<CK_ATTRIBUTE> tmpl, CK_OBJECT_CLASS objectClass, std::string_view identifier);
  // Takes the keys of the end-entity certificate that stays, and every
  // certificate that stays, off the delete lists.
  Outcome KeepWhatStays();
  // Finds keys of the new certificate's key material left under an
  // identifier that no certificate carries (an interrupted import's) and
  // plans their deletion after the fresh set is written.
  Outcome PlanLeftoverKeys();

  // --- key searches ---------------------------------------------------------
  // Clears the plan's key write flags for the keys already on the token
  // under the certificate's subject and identifier.
  Outcome PublicKeyAndPrivateKeyWriteCheck(const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier);
  // Appends the keys found under the certificate's subject and identifier
  // to `plan`'s delete lists.
  Outcome PublicKeyAndPrivateKeyDelete(const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier,
                                       ReplacementPlan &plan);

  // --- subject and serial check ---------------------------------------------
  // Relates one PKCS#12 certificate (kind 1 end-entity, 2 CA) to the token's
  // certificates and fills the plan: 0, -1, -3, -14 or -15.
  Outcome SubjectAndSerialCheck(X509CertHandle cert, int kind);
  // Whether the token issuer `issuerPdu` is the certificate's `issuer`
  // (always, without the issuer check).
  Outcome IssuerCheck(X509NameHandle issuer, const Pdu &issuerPdu, bool *sameIssuer);
  Outcome SameTypicalCommonName(X509NameHandle a, X509NameHandle b, bool *same);

  // --- CA addition and trust anchor -----------------------------------------
  // 0 accepted, -3 not accepted or failed, -1 the key search failed.  The
  // end-entity turn sets the trust-confirmed flag when it finds the token's
  // CA certificate.
  Outcome DoAdditionProc(X509CertHandle cert, int kind);

  // --- token object writing -------------------------------------------------
  // The identifier text of new objects from the clock and the `draw`-th
  // number of the generator seeded with it.
  Outcome ProductCKA_ID(unsigned draw, std::string *identifier);
  // ProductCKA_ID, drawing again while the text equals `mustDiffer` (so
  // that the CA's and the end entity's identifiers of one run never
  // coincide) and, with `freeOnToken`, while an object on the token
  // carries it.
  Outcome MakeIdentifier(std::string_view mustDiffer, bool freeOnToken, std::string *identifier);
  // The label of the keys this run writes: none for the default module,
  // else "nolabel" with its terminating zero.
  std::string_view KeyLabel() const;
  // The identifier is written as given (without a terminating zero).
  Outcome WritePrivateKeyObject(PKCS1RSAPrivateKeyHandle key, X509CertHandle cert, std::string_view identifier);
  Outcome WritePublicKeyObject(X509CertHandle cert, std::string_view identifier);
  // -12 token memory full, -1 other failure.
  Outcome WriteCertificateObject(X509CertHandle cert, std::string_view identifier);

  CSmartCardReader &r_;
  const ImportSwitches switches_;
  const std::string modulePath_;
  ReplacementPlan plan_;
  // Set by the end-entity turn of the addition procedure, read after the
  // CA turn: it belongs to the whole check pass.
  bool trustConfirmed_ = false;
  Kept kept_;
  // What this run created, oldest first.
  struct Created {
    CK_OBJECT_HANDLE handle = 0;
    CK_OBJECT_CLASS objectClass = 0;
    std::string identifier;
  };
  std::array<Created, kMaxCreatedObjects> created_{};
  int createdCount_ = 0;
  // The token refused to create an object of this run.
  bool createRefused_ = false;
  // The PIN of the login, for a fresh start of the module in a rollback;
  // the caller's, valid for the run.
  const char *pin_ = nullptr;

  platform::SecureBuffer widePassword_;
  platform::SecureBuffer utf8Password_;
  Pkcs12Archive archive_;
  std::array<CK_OBJECT_HANDLE, kObjectCapacity> objects_{};
  int32_t objectCount_ = 0;
  Collected collected_;
  // The identifiers this run made for its end-entity objects and its CA
  // certificate; empty until made.
  std::string eeId_;
  std::string rootId_;
};

}  // namespace velkor

#endif  // IMPORT_IMPORT_RUN_H_
