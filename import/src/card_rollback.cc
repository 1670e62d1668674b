// Taking a run's writes back after the token refused one of them.  A
// card's stack can be left with a stale view of the card then: on a card
// whose files carry access rules its destroys answer "not logged in" while
// the session reads logged in, and on a card whose files carry none they
// succeed and rewrite the card's key directories from the stale view,
// taking the user's old keys with them.  A fresh start of the module reads
// the card again; only then are the run's objects destroyed, and the token
// is checked for every object it held at the start.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "import_messages.h"
#include "import_run.h"
#include "token/attribute_values.h"

namespace velkor {

namespace {

// An object as the token names it: its class, identifier and label.
struct Identity {
  CK_OBJECT_CLASS objectClass = 0;
  std::string id;
  std::string label;
  bool operator==(const Identity &) const = default;
};

// The identities of `objects`; an object whose identity cannot be read is
// left out (nothing can be said of it later either).
std::vector<Identity> IdentitiesOf(CSmartCardReader &reader, std::span<const CK_OBJECT_HANDLE> objects) {
  std::vector<Identity> identities;
  token::AttributeValues<3> attrs({CKA_CLASS, CKA_ID, CKA_LABEL});
  for (CK_OBJECT_HANDLE object : objects) {
    if (attrs.Read(reader.GetFunctionListPtr(), reader.GetSessionHandle(), object) != token::AttributeRead::kOk) {
      continue;
    }
    const std::optional<CK_ULONG> objectClass = attrs.Ulong(0);
    if (!objectClass) continue;
    identities.push_back({*objectClass, std::string(attrs.Text(1)), std::string(attrs.Text(2))});
  }
  return identities;
}

const char *KindName(CK_OBJECT_CLASS objectClass) {
  switch (objectClass) {
    case CKO_PRIVATE_KEY:
      return msg::kPrivateKeyName;
    case CKO_PUBLIC_KEY:
      return msg::kPublicKeyName;
    case CKO_CERTIFICATE:
      return msg::kCertificateName;
    default:
      return msg::kObjectName;
  }
}

std::string Hex(std::string_view bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", c);
    text += pair;
  }
  return text;
}

}  // namespace

void ImportRun::RollBackAfterRefusal(Outcome *failure) {
  // What the token held at the start, read while the module still knows
  // the listed handles.
  const std::vector<Identity> before = IdentitiesOf(r_, Listed());
  if (Outcome restarted = r_.Restart(pin_); !restarted.ok()) {
    failure->message().AppendText(msg::kRollbackRestart);
    failure->message().Append("\n%s", restarted.message().c_str());
    createdCount_ = 0;
    return;
  }
  // The run's objects, newest first, found again by class and identifier:
  // the handles of the stale view mean nothing after the fresh start.
  while (createdCount_ > 0) {
    const Created &object = created_[static_cast<size_t>(--createdCount_)];
    std::vector<CK_OBJECT_HANDLE> found;
    CK_RV rv = r_.FindByClassAndId(object.objectClass, object.identifier, kObjectCapacity, &found);
    if (rv != CKR_OK) failure->message().Append(msg::kRollback, static_cast<unsigned>(rv));
    for (CK_OBJECT_HANDLE handle : found) {
      rv = r_.DestroyObject(handle);
      if (rv != CKR_OK) failure->message().Append(msg::kRollback, static_cast<unsigned>(rv));
    }
  }
  std::array<CK_OBJECT_HANDLE, kObjectCapacity> listed{};
  int32_t count = 0;
  if (Outcome relisted = r_.FindAllObjects(listed, &count); !relisted.ok()) {
    failure->message().Append("\n%s", relisted.message().c_str());
    return;
  }
  std::vector<Identity> after =
      IdentitiesOf(r_, std::span<const CK_OBJECT_HANDLE>(listed.data(), static_cast<size_t>(count)));
  bool damaged = false;
  for (const Identity &object : before) {
    auto found = std::find(after.begin(), after.end(), object);
    if (found != after.end()) {
      after.erase(found);
      continue;
    }
    if (!damaged) failure->message().AppendText(msg::kOldSetDamaged);
    damaged = true;
    failure->message().Append(msg::kMissingObject, KindName(object.objectClass), Hex(object.id).c_str());
  }
}

}  // namespace velkor
