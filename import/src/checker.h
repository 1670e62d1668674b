// The state of one check (see check.h) while it runs: the file, the reader,
// the inputs, and the plan being made.  Only the check's own units see it.
#ifndef IMPORT_CHECKER_H_
#define IMPORT_CHECKER_H_

#include <p11-kit/pkcs11.h>

#include <functional>
#include <span>
#include <vector>

#include "check.h"
#include "decisions.h"
#include "file_contents.h"
#include "library_objects.h"

namespace velkor {

class Checker {
 public:
  Checker(FileContents &file, token::TokenReader &reader, const CheckInputs &inputs, Plan &plan)
      : file_(file), reader_(reader), inputs_(inputs), plan_(plan) {}

  Outcome Run();

 private:
  // The two kinds of certificate in the file.
  enum class Kind { kEndEntity, kCa };

  Outcome ListObjects();
  // One turn per certificate of the file: the end entity first.
  Outcome CheckPass();
  // Relates one file certificate to the token's certificates and fills the
  // plan; a failure after a certificate of its subject was found is the
  // run's.
  Outcome SubjectAndSerialCheck(const FileCertificate &cert, Kind kind, decide::Finding *finding);
  // Whether the token issuer `issuerPdu` is the certificate's `issuer`
  // (always, without the issuer check).  Like every reading step, the
  // outcome says whether the answer could be had and the answer comes
  // beside it: a failure is reported, an answer is decided on.
  Outcome IssuerCheck(X509NameHandle issuer, const Pdu &issuerPdu, bool *sameIssuer);
  Outcome SameTypicalCommonName(X509NameHandle a, X509NameHandle b, bool *same);
  // The addition procedure for a certificate of no same subject: accepted,
  // or the run's refusal (-3, or -1 when a key search failed).  A new CA is
  // taken only when `endEntityAccepted`: the end entity's turn found the
  // token's certificate of the CA it replaces.
  Outcome DoAdditionProc(const FileCertificate &cert, Kind kind, bool endEntityAccepted);
  // Takes the keys of the end-entity certificate that stays, and every
  // certificate that stays, off the delete lists.
  Outcome KeepWhatStays();
  // Finds keys of the new certificate's key material left under an
  // identifier that no certificate carries (an interrupted import's) and
  // plans their deletion after the fresh set is written.
  Outcome PlanLeftoverKeys();

  // Searches the public keys and then the private keys under the
  // certificate's subject and identifier, handing each class's keys to
  // `found`; `ended` is the message of a search that did not end cleanly.
  Outcome FindKeysOf(const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier, const char *ended,
                     const std::function<Outcome(CK_OBJECT_CLASS, std::span<const CK_OBJECT_HANDLE>)> &found);
  // Clears the plan's key write flags for the keys already on the token
  // under the certificate's subject and identifier.
  Outcome PublicKeyAndPrivateKeyWriteCheck(const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier);
  // Appends the keys found under the certificate's subject and identifier
  // to the plan's delete lists.
  Outcome PublicKeyAndPrivateKeyDelete(const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier);

  bool DefaultModule() const { return plan_.changes.moduleKind == 1; }

  FileContents &file_;
  token::TokenReader &reader_;
  const CheckInputs &inputs_;
  Plan &plan_;
};

}  // namespace velkor

#endif  // IMPORT_CHECKER_H_
