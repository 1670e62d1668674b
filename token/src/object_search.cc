#include <array>

#include "token/messages.h"
#include "token/smart_card_reader.h"

namespace {

const int32_t kCommonNameArcs[] = {2, 5, 4, 3};
const AsnObjid kCommonName = {kCommonNameArcs, 4};

// One object search on a session: C_FindObjectsInit on construction,
// C_FindObjectsFinal exactly once, explicitly through Final() or else on
// destruction, so that no path leaves a search open.
class ObjectSearch {
 public:
  ObjectSearch(CK_FUNCTION_LIST_PTR functions, CK_SESSION_HANDLE session, CK_ATTRIBUTE *tmpl, CK_ULONG count)
      : functions_(functions), session_(session) {
    initResult_ = functions_->C_FindObjectsInit(session_, tmpl, count);
    active_ = initResult_ == CKR_OK;
  }
  ~ObjectSearch() { (void)Final(); }
  ObjectSearch(const ObjectSearch &) = delete;
  ObjectSearch &operator=(const ObjectSearch &) = delete;

  CK_RV InitResult() const { return initResult_; }

  // Next handle; false at the end of the search or when the module fails.
  [[nodiscard]] bool Next(CK_OBJECT_HANDLE *handle) {
    if (!active_) return false;
    CK_ULONG found = 0;
    CK_RV rv = functions_->C_FindObjects(session_, handle, 1, &found);
    return rv == CKR_OK && found == 1;
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

int32_t CSmartCardReader::FindAllObjects(CK_OBJECT_HANDLE *list, int32_t capacity, int32_t *count) {
  CK_FUNCTION_LIST_PTR functions = GetFunctionListPtr();
  CK_SESSION_HANDLE session = GetSessionHandle();
  if (functions == nullptr || session == 0) {
    SetErrorText(token::msg::kCallOrder);
    return -1;
  }
  if (list == nullptr || capacity <= 0 || count == nullptr) {
    SetErrorText(token::msg::kBadHandleList);
    return -1;
  }
  ObjectSearch search(functions, session, nullptr, 0);
  if (search.InitResult() != CKR_OK) {
    SetError(token::msg::kFindInit, static_cast<unsigned>(search.InitResult()));
    return -1;
  }
  int32_t stored = 0;
  CK_OBJECT_HANDLE handle = 0;
  // A failing C_FindObjects ends the listing quietly: what was found counts.
  while (stored < capacity && search.Next(&handle)) list[stored++] = handle;
  CK_RV rv = search.Final();
  if (rv != CKR_OK) {
    SetError(token::msg::kFindFinal, static_cast<unsigned>(rv));
    return -1;
  }
  *count = stored;
  return 0;
}

template <typename OnHit>
bool CSmartCardReader::SearchKeys(CK_ATTRIBUTE *tmpl, CK_ULONG count, OnHit onHit) {
  ObjectSearch search(m_functionList, m_session, tmpl, count);
  // A search that cannot start finds nothing.
  if (search.InitResult() != CKR_OK) return true;
  CK_OBJECT_HANDLE handle = 0;
  while (search.Next(&handle)) {
    if (!onHit(handle)) break;
  }
  return search.Final() == CKR_OK;
}

namespace {

// Key search template: class, then subject and identifier for the default
// module, identifier alone for any other.
struct KeyTemplate {
  CK_OBJECT_CLASS keyClass;
  std::array<CK_ATTRIBUTE, 3> attrs;
  CK_ULONG count;

  KeyTemplate(CK_OBJECT_CLASS cls, const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier, int moduleKind)
      : keyClass(cls), attrs{}, count(0) {
    attrs[count++] = {CKA_CLASS, &keyClass, sizeof keyClass};
    if (moduleKind == 1) attrs[count++] = {CKA_SUBJECT, subject.pValue, subject.ulValueLen};
    attrs[count++] = {CKA_ID, identifier.pValue, identifier.ulValueLen};
  }
  KeyTemplate(const KeyTemplate &) = delete;
  KeyTemplate &operator=(const KeyTemplate &) = delete;
};

}  // namespace

int CSmartCardReader::PublicKeyAndPrivateKeyWriteCheck(CK_ATTRIBUTE subject, CK_ATTRIBUTE identifier,
                                                       ReplacementPlan &plan) {
  if (m_functionList == nullptr) {
    SetErrorText(token::msg::kCallOrder);
    return 0;
  }
  // Public keys first, then private keys; a hit clears that key's flag.
  struct Pass {
    CK_OBJECT_CLASS keyClass;
    int ReplacementPlan::*writeFlag;
  };
  for (const Pass &pass : {Pass{CKO_PUBLIC_KEY, &ReplacementPlan::writePublicKey},
                           Pass{CKO_PRIVATE_KEY, &ReplacementPlan::writePrivateKey}}) {
    KeyTemplate keys(pass.keyClass, subject, identifier, plan.moduleKind);
    if (!SearchKeys(keys.attrs.data(), keys.count, [&](CK_OBJECT_HANDLE) {
          plan.*pass.writeFlag = 0;
          return true;
        })) {
      SetErrorText(token::msg::kWriteCheckFinal);
      return 0;
    }
  }
  return 1;
}

int CSmartCardReader::PublicKeyAndPrivateKeyDelete(CK_ATTRIBUTE subject, CK_ATTRIBUTE identifier,
                                                   ReplacementPlan &plan) {
  if (m_functionList == nullptr) {
    SetErrorText(token::msg::kCallOrder);
    return 0;
  }
  // Public keys first, then private keys; every hit goes to its list.
  struct Pass {
    CK_OBJECT_CLASS keyClass;
    bool (ReplacementPlan::*append)(CK_OBJECT_HANDLE);
  };
  for (const Pass &pass : {Pass{CKO_PUBLIC_KEY, &ReplacementPlan::AddPublicKeyDelete},
                           Pass{CKO_PRIVATE_KEY, &ReplacementPlan::AddPrivateKeyDelete}}) {
    bool overflow = false;
    KeyTemplate keys(pass.keyClass, subject, identifier, plan.moduleKind);
    if (!SearchKeys(keys.attrs.data(), keys.count, [&](CK_OBJECT_HANDLE h) {
          overflow = !(plan.*pass.append)(h);
          return !overflow;
        })) {
      SetErrorText(token::msg::kDeleteFinal);
      return 0;
    }
    if (overflow) {
      SetErrorText(token::msg::kKeyDeleteListFull);
      return 0;
    }
  }
  return 1;
}

int32_t CSmartCardReader::GetCommonNameAVA(X509NameHandle name, const X509AVA **ava) {
  if (name == nullptr || ava == nullptr) {
    SetErrorText(token::msg::kBadNameArgs);
    return -1;
  }
  uint32_t err = 0;
  uint32_t rdnCount = 0;
  if (X509NameObjectCalRDN(name, &rdnCount, &err) != 0) {
    SetError(token::msg::kCalRdn, err);
    return -1;
  }
  for (uint32_t rdn = 0; rdn < rdnCount; ++rdn) {
    uint32_t avaCount = 0;
    if (X509NameObjectCalAVA(name, rdn, &avaCount, &err) != 0) {
      SetError(token::msg::kCalAva, err);
      return -1;
    }
    for (uint32_t i = 0; i < avaCount; ++i) {
      const X509AVA *p = nullptr;
      if (X509NameObjectGetAVAp(name, rdn, i, &p, &err) != 0) {
        SetError(token::msg::kGetAvap, err);
        return -1;
      }
      if (p != nullptr && AsnCompareObjid(&kCommonName, &p->type, &err) == 0) {
        *ava = p;
        return 0;
      }
    }
  }
  *ava = nullptr;
  return 0;
}
