// One import run: everything the run decides, remembers and creates lives
// here, in one object, from the opening of the PKCS#12 contents to the last
// deletion, the message of a failure included.  Check makes the plan from
// the file and what the token holds; Apply carries it out.  The token
// itself (binding, session, login, reading and writing) is reached through
// the CSmartCardReader the run is given.  Every step hands back a
// token::Outcome; the first failure ends the run with that outcome.
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
#include "check.h"
#include "file_contents.h"
#include "library_objects.h"
#include "planned_changes.h"
#include "platform/secure.h"
#include "token/outcome.h"
#include "token/smart_card_reader.h"

namespace velkor {

using token::kFailure;
using token::Outcome;

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
  // value.
  Outcome Describe(PlannedChanges *changes) { return velkor::Describe(file_, plan_, r_, changes); }

 private:
  // A run creates at most four objects: three of the end entity, the CA.
  static constexpr int kMaxCreatedObjects = 4;

  // The writes, the proof of the new key and the deletions of a checked
  // run, with the rollback of a failed write.
  Outcome Apply();
  Outcome WritingPass();
  Outcome WriteEndEntity(int position, const FileCertificate &cert);
  Outcome WriteCa(const FileCertificate &cert);
  Outcome DeletingPass();
  // Proves, before anything old goes, that the private key this run wrote
  // works on the token for each usage its certificate names: a signature
  // that the certificate's public key verifies, and the decryption of a
  // challenge encrypted to that key.  Nothing to prove when the run wrote
  // no private key.
  Outcome ProveNewKey();
  // Destroys what this run created, newest first; adds a line to
  // `failure`'s message for every object that cannot be destroyed.  It
  // answers nothing of its own: the run ends with the failure that made it
  // roll back, and what the rollback met is told in that failure's message.
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

  // --- token object writing -------------------------------------------------
  // The identifier text of new objects from the clock and the `draw`-th
  // number of the generator seeded with it.
  Outcome ProductCKA_ID(unsigned draw, std::string *identifier);
  // ProductCKA_ID, drawing again while the text equals `mustDiffer` (so
  // that the CA's and the end entity's identifiers of one run never
  // coincide) and, with `freeOnToken`, while an object on the token
  // carries it.
  Outcome MakeIdentifier(std::string_view mustDiffer, bool freeOnToken, std::string *identifier);
  // The identifier is written as given (without a terminating zero).
  Outcome WritePrivateKeyObject(PKCS1RSAPrivateKeyHandle key, const FileCertificate &cert,
                                std::string_view identifier);
  Outcome WritePublicKeyObject(const FileCertificate &cert, std::string_view identifier);
  // -12 token memory full, -1 other failure.
  Outcome WriteCertificateObject(const FileCertificate &cert, std::string_view identifier);

  CSmartCardReader &r_;
  const CheckInputs inputs_;
  FileContents file_;
  Plan plan_;
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
  // The identifiers this run made for its end-entity objects and its CA
  // certificate; empty until made.
  std::string eeId_;
  std::string rootId_;
};

}  // namespace velkor

#endif  // IMPORT_IMPORT_RUN_H_
