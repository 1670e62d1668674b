// The one object through which both programs reach the token: module
// binding, the single-token session, login, object searches, and the
// message that a failing step leaves.  What one import run decides and
// creates is owned by that run, not by this object.
#ifndef TOKEN_SMART_CARD_READER_H_
#define TOKEN_SMART_CARD_READER_H_

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <memory>
#include <string>

#include "asn1x509/asn1x509.h"
#include "platform/module.h"
#include "platform/text.h"
#include "token/replacement_plan.h"

class CSmartCardReader {
 public:
  static constexpr size_t kErrorTextSize = 512;

  CSmartCardReader();
  virtual ~CSmartCardReader();
  CSmartCardReader(const CSmartCardReader &) = delete;
  CSmartCardReader &operator=(const CSmartCardReader &) = delete;

  // --- module binding, session and login ---------------------------------
  // 0 bound (also when already bound); -8 module file not found; -1 other.
  int32_t LoadPkcs11Module();
  // 0 session open; -9 no token; -10 several tokens; -1 other failure or a
  // session already open.
  int32_t OpenTokenSession();
  // 0 logged in; -6 wrong PIN; -7 wrong PIN at the final try; -11 PIN
  // locked; -1 other failure or already logged in.
  int32_t LoginUser(const char *pin);
  // Logs out, closes the session, finalizes and unloads, each only when
  // owed; may run any number of times.
  void CloseToken();
  // The session and the function table while they are usable, else 0.
  CK_SESSION_HANDLE GetSessionHandle() const;
  CK_FUNCTION_LIST_PTR GetFunctionListPtr() const;
  bool IsInitialized() const { return m_initialized != 0; }
  bool IsLoggedIn() const { return m_loggedIn != 0; }

  // --- object search, deletion lists and name attributes ------------------
  // Lists every object the session sees, at most `capacity` handles.
  int32_t FindAllObjects(CK_OBJECT_HANDLE *list, int32_t capacity, int32_t *count);
  // 1 success, 0 failure: clears the plan's key write flags for keys that
  // are already on the token.
  int PublicKeyAndPrivateKeyWriteCheck(CK_ATTRIBUTE subject, CK_ATTRIBUTE identifier, ReplacementPlan &plan);
  // 1 success, 0 failure: appends the keys found to the plan's delete lists.
  int PublicKeyAndPrivateKeyDelete(CK_ATTRIBUTE subject, CK_ATTRIBUTE identifier, ReplacementPlan &plan);
  // 0 success with *ava the first commonName AVA (null when none); -1.
  int32_t GetCommonNameAVA(X509NameHandle name, const X509AVA **ava);

  // --- messages and the log file ------------------------------------------
  const char *ErrorText() const { return m_errorText; }
  // Replaces the message (bounded to 512 bytes, never half a character).
  void SetError(const char *format, ...) __attribute__((format(printf, 2, 3)));
  void SetErrorText(const char *text) { platform::FormatBounded(m_errorText, sizeof m_errorText, "%s", text); }
  // Adds to the message already there, with the same bound.
  void AppendError(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // Opens the log path with mode "w", writes `text` in cp932 and closes it
  // again.  When the path is unset, there is no cp932 converter or the file
  // cannot be written, no log is left and one line on stderr says so.
  void WriteLogFile(const char *text);

  // The module path given on the command line (the built-in default name
  // until then).
  std::string m_modulePath;
  // Full path of the log file beside the program; empty when the program's
  // folder is unknown.
  std::string m_logPath;
  char m_errorText[kErrorTextSize];

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

  // Looks up keys with one template; every hit goes to `onHit`.  Returns
  // false only when closing the search failed.
  template <typename OnHit>
  bool SearchKeys(CK_ATTRIBUTE *tmpl, CK_ULONG count, OnHit onHit);
};

#endif  // TOKEN_SMART_CARD_READER_H_
