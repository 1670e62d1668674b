// Check, the first half of an import: from the file's contents and what a
// reader finds on the token, the plan of what the run writes, deletes and
// keeps, or the refusal the run ends with.  It reads and searches, never
// writes: the second half (ImportRun's Apply) carries the plan out.
#ifndef IMPORT_CHECK_H_
#define IMPORT_CHECK_H_

#include <p11-kit/pkcs11.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "file_contents.h"
#include "planned_changes.h"
#include "replacement_plan.h"
#include "token/outcome.h"
#include "token/token_access.h"

namespace velkor {

// The three switches of the command line.
struct ImportSwitches {
  int m_subjectMode = 0;      // 0 "SUBDN": whole subject; 1 "SUBCN": common name only
  int m_issuerCheck = 0;      // 1 "ISCHKON": token certificates must have the same issuer
  int m_additionEnabled = 0;  // 1 "ADDON": a changed subject may be accepted through the trust anchor
};

// Everything besides the file and the token that a check depends on.
struct CheckInputs {
  ImportSwitches switches;
  // The module argument as given: it sets the kind of module (the default
  // one or any other), which decides how keys are searched and labelled.
  std::string modulePath;
  // The trust anchor list the addition procedure reads.
  std::string trustAnchorPath;
};

// What a checked run does to the token, and what it found there.
struct Plan {
  // The write flags and the delete lists.
  ReplacementPlan changes;

  // What stays on the token: the end-entity certificate found with the
  // serial number being imported (its subject and CKA_ID bytes and its
  // position in the listing), its keys, and the CA certificate found with
  // the CA's serial.
  struct Kept {
    bool ee = false;
    std::string eeSubject;
    std::string eeId;
    int eePosition = -1;
    int caPosition = -1;
    std::vector<CK_OBJECT_HANDLE> eeKeys;
  } kept;

  // The token's objects as listed at the start: certificates to delete are
  // positions in this list.
  std::array<CK_OBJECT_HANDLE, ReplacementPlan::kListCapacity> objects{};
  int32_t objectCount = 0;

  // Every handle before the first zero one.
  std::span<const CK_OBJECT_HANDLE> Listed() const;
  // The identifier that end-entity objects of the run reuse instead of a
  // fresh one: that of the certificate that stays (when only its keys are
  // written); empty when none.
  std::string_view ReusedEndEntityId() const;
  // The label of the keys the run writes: none for the default module,
  // else "nolabel" with its terminating zero.
  std::string_view KeyLabel() const;
};

// Lists the token, relates each certificate of the file to the token's
// certificates, and makes the plan.  `file` is open and classified.
Outcome Check(FileContents &file, token::TokenReader &reader, const CheckInputs &inputs, Plan *plan);

// What the plan's writes and deletions would be, as a value.  Reads the
// identifier, label and certificate value of the token objects to delete
// and to keep.
Outcome Describe(const FileContents &file, const Plan &plan, token::TokenReader &reader, PlannedChanges *changes);

}  // namespace velkor

#endif  // IMPORT_CHECK_H_
