#include <array>

#include "token/messages.h"
#include "token/smart_card_reader.h"

namespace {

using token::Outcome;

const int32_t kCommonNameArcs[] = {2, 5, 4, 3};
const AsnObjid kCommonName = {kCommonNameArcs, 4};

// One object search on a session: C_FindObjectsInit on construction,
// C_FindObjectsFinal exactly once, explicitly through Final() or else on
// destruction, so that no path leaves a search open.
class ObjectSearch {
 public:
  // Without a bound module or an open session the search cannot start.
  ObjectSearch(CK_FUNCTION_LIST_PTR functions, CK_SESSION_HANDLE session, CK_ATTRIBUTE *tmpl, CK_ULONG count)
      : functions_(functions), session_(session) {
    initResult_ = functions_ != nullptr && session_ != 0 ? functions_->C_FindObjectsInit(session_, tmpl, count)
                                                         : CKR_SESSION_HANDLE_INVALID;
    active_ = initResult_ == CKR_OK;
  }
  ~ObjectSearch() { (void)Final(); }
  ObjectSearch(const ObjectSearch &) = delete;
  ObjectSearch &operator=(const ObjectSearch &) = delete;

  CK_RV InitResult() const { return initResult_; }

  // Next handle; false at the end of the search or when the module fails
  // (a listing ends quietly on a failing C_FindObjects: what was found counts).
  [[nodiscard]] bool Next(CK_OBJECT_HANDLE *handle) {
    CK_ULONG found = 0;
    return Next(handle, &found) == CKR_OK && found == 1;
  }
  // The same with the module's answer: *found is 0 at the end.
  [[nodiscard]] CK_RV Next(CK_OBJECT_HANDLE *handle, CK_ULONG *found) {
    *found = 0;
    if (!active_) return CKR_OK;
    return functions_->C_FindObjects(session_, handle, 1, found);
  }

  // Ends the search; CKR_OK when it was never started or already ended.
  [[nodiscard]] CK_RV Final() {
    if (!active_) return CKR_OK;
    active_ = false;
    return functions_->C_FindObjectsFinal(session_);
  }

 private:
  CK_FUNCTION_LIST_PTR functions_;
  CK_SESSION_HANDLE session_;
  CK_RV initResult_ = CKR_OK;
  bool active_ = false;
};

}  // namespace

Outcome CSmartCardReader::FindAllObjects(std::span<CK_OBJECT_HANDLE> list, int32_t *count) {
  CK_FUNCTION_LIST_PTR functions = GetFunctionListPtr();
  CK_SESSION_HANDLE session = GetSessionHandle();
  if (functions == nullptr || session == 0) return Outcome::FailureText(-1, token::msg::kCallOrder);
  if (list.empty() || count == nullptr) return Outcome::FailureText(-1, token::msg::kBadHandleList);
  ObjectSearch search(functions, session, nullptr, 0);
  if (search.InitResult() != CKR_OK) {
    return Outcome::Failure(-1, token::msg::kFindInit, static_cast<unsigned>(search.InitResult()));
  }
  size_t stored = 0;
  CK_OBJECT_HANDLE handle = 0;
  // A failing C_FindObjects ends the listing quietly: what was found counts.
  while (stored < list.size() && search.Next(&handle)) list[stored++] = handle;
  CK_RV rv = search.Final();
  if (rv != CKR_OK) return Outcome::Failure(-1, token::msg::kFindFinal, static_cast<unsigned>(rv));
  *count = static_cast<int32_t>(stored);
  return {};
}

CK_RV CSmartCardReader::FindKeys(CK_OBJECT_CLASS keyClass, const CK_ATTRIBUTE &subject,
                                 const CK_ATTRIBUTE &identifier, bool withSubject, size_t limit,
                                 std::vector<CK_OBJECT_HANDLE> *found) {
  // Class, then subject and identifier for the default module, identifier
  // alone for any other.
  std::array<CK_ATTRIBUTE, 3> tmpl{};
  CK_ULONG count = 0;
  tmpl[count++] = {CKA_CLASS, &keyClass, sizeof keyClass};
  if (withSubject) tmpl[count++] = {CKA_SUBJECT, subject.pValue, subject.ulValueLen};
  tmpl[count++] = {CKA_ID, identifier.pValue, identifier.ulValueLen};
  ObjectSearch search(GetFunctionListPtr(), GetSessionHandle(), tmpl.data(), count);
  if (search.InitResult() != CKR_OK) return CKR_OK;
  CK_OBJECT_HANDLE handle = 0;
  for (size_t hits = 0; hits < limit && search.Next(&handle); ++hits) found->push_back(handle);
  return search.Final();
}

CK_RV CSmartCardReader::FindByClassAndId(CK_OBJECT_CLASS objectClass, std::string_view identifier, size_t limit,
                                         std::vector<CK_OBJECT_HANDLE> *found) {
  // An empty identifier still points somewhere.
  static const char kNothing = 0;
  std::array<CK_ATTRIBUTE, 2> tmpl = {{
      {CKA_CLASS, &objectClass, sizeof objectClass},
      {CKA_ID, const_cast<char *>(identifier.empty() ? &kNothing : identifier.data()), identifier.size()},
  }};
  ObjectSearch search(GetFunctionListPtr(), GetSessionHandle(), tmpl.data(), tmpl.size());
  if (search.InitResult() != CKR_OK) return search.InitResult();
  CK_OBJECT_HANDLE handle = 0;
  for (size_t hits = 0; hits < limit && search.Next(&handle); ++hits) found->push_back(handle);
  return search.Final();
}

CK_RV CSmartCardReader::IdentifierInUse(std::span<const unsigned char> identifier, bool *inUse) {
  *inUse = false;
  CK_ATTRIBUTE tmpl = {CKA_ID, const_cast<unsigned char *>(identifier.data()),
                       static_cast<CK_ULONG>(identifier.size())};
  ObjectSearch search(GetFunctionListPtr(), GetSessionHandle(), &tmpl, 1);
  if (search.InitResult() != CKR_OK) return search.InitResult();
  CK_OBJECT_HANDLE handle = 0;
  CK_ULONG found = 0;
  CK_RV rv = search.Next(&handle, &found);
  CK_RV ended = search.Final();
  if (rv != CKR_OK) return rv;
  if (ended != CKR_OK) return ended;
  *inUse = found != 0;
  return CKR_OK;
}

namespace token {

Outcome GetCommonNameAVA(X509NameHandle name, const X509AVA **ava) {
  if (name == nullptr || ava == nullptr) return Outcome::FailureText(-1, msg::kBadNameArgs);
  uint32_t err = 0;
  uint32_t rdnCount = 0;
  if (X509NameObjectCalRDN(name, &rdnCount, &err) != 0) return Outcome::Failure(-1, msg::kCalRdn, err);
  for (uint32_t rdn = 0; rdn < rdnCount; ++rdn) {
    uint32_t avaCount = 0;
    if (X509NameObjectCalAVA(name, rdn, &avaCount, &err) != 0) return Outcome::Failure(-1, msg::kCalAva, err);
    for (uint32_t i = 0; i < avaCount; ++i) {
      const X509AVA *p = nullptr;
      if (X509NameObjectGetAVAp(name, rdn, i, &p, &err) != 0) return Outcome::Failure(-1, msg::kGetAvap, err);
      if (p != nullptr && AsnCompareObjid(&kCommonName, &p->type, &err) == 0) {
        *ava = p;
        return {};
      }
    }
  }
  *ava = nullptr;
  return {};
}

}  // namespace token
