// The one object through which both programs reach the token: module
// binding, the single-token session, login and object searches.  Each
// operation hands back what it came to; what one run decides, creates and
// reports is owned by that run, not by this object.
#ifndef TOKEN_SMART_CARD_READER_H_
#define TOKEN_SMART_CARD_READER_H_

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "asn1x509/asn1x509.h"
#include "platform/module.h"
#include "token/outcome.h"

class CSmartCardReader {
 public:
  CSmartCardReader() = default;
  virtual ~CSmartCardReader();
  CSmartCardReader(const CSmartCardReader &) = delete;
  CSmartCardReader &operator=(const CSmartCardReader &) = delete;

  // --- module binding, session and login ---------------------------------
  // Binds the module named `modulePath` (nothing is done when one is bound
  // already): -8 module file not found; -1 other failure.
  token::Outcome LoadPkcs11Module(const std::string &modulePath);
  // -9 no token; -10 several tokens; -1 other failure or a session already
  // open.
  token::Outcome OpenTokenSession();
  // -6 wrong PIN; -7 wrong PIN at the final try; -11 PIN locked; -1 other
  // failure or already logged in.
  token::Outcome LoginUser(const char *pin);
  // Logs out, closes the session, finalizes and unloads, each only when
  // owed; may run any number of times.
  void CloseToken();
  // The session and the function table while they are usable, else 0.
  CK_SESSION_HANDLE GetSessionHandle() const;
  CK_FUNCTION_LIST_PTR GetFunctionListPtr() const;
  bool IsInitialized() const { return m_initialized != 0; }
  bool IsLoggedIn() const { return m_loggedIn != 0; }

  // --- object searches -----------------------------------------------------
  // Lists every object the session sees into `list`, at most its size
  // handles; *count is how many were stored.
  token::Outcome FindAllObjects(std::span<CK_OBJECT_HANDLE> list, int32_t *count);
  // The keys of one class under an identifier (and, for the default
  // module, a subject): appends at most `limit` handles to *found and
  // returns the result of ending the search.  A search that cannot start
  // finds nothing and counts as ended.
  CK_RV FindKeys(CK_OBJECT_CLASS keyClass, const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier,
                 bool withSubject, size_t limit, std::vector<CK_OBJECT_HANDLE> *found);
  // Whether any object the session sees carries `identifier` as its CKA_ID
  // (one search, asking for one handle).  Not CKR_OK: the module's answer
  // to the call that failed, and *inUse is false.
  CK_RV IdentifierInUse(std::span<const unsigned char> identifier, bool *inUse);

 protected:
  // A program that never writes may fall back to a read-only session when
  // the token refuses a read-write one as write-protected.
  bool m_readOnlySessionAllowed = false;

 private:
  CK_FUNCTION_LIST_PTR m_functionList = nullptr;
  CK_SESSION_HANDLE m_session = 0;
  std::unique_ptr<CK_SLOT_ID[]> m_slotList;
  platform::Module m_module;
  int32_t m_initialized = 0;
  int32_t m_sessionOpen = 0;
  int32_t m_loggedIn = 0;
};

namespace token {

// The first commonName AVA of `name` (null when it has none).
Outcome GetCommonNameAVA(X509NameHandle name, const X509AVA **ava);

// Writes `text` in cp932 to the log file at `path` (opened with mode "w",
// written once, closed).  When the path is empty, there is no cp932
// converter or the file cannot be written, no log is left and one line on
// stderr says so.
void WriteLogFile(const std::string &path, const char *text);

}  // namespace token

#endif  // TOKEN_SMART_CARD_READER_H_
