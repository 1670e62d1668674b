// The one object through which both programs reach the token: module
// binding, the single-token session, login and object searches.  Each
// operation hands back what it came to; what one run decides, creates and
// reports is owned by that run, not by this object.
#ifndef TOKEN_SMART_CARD_READER_H_
#define TOKEN_SMART_CARD_READER_H_

#include <p11-kit/pkcs11.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "asn1x509/asn1x509.h"
#include "platform/module.h"
#include "token/outcome.h"
#include "token/token_access.h"
#include "token/token_uri.h"

class CSmartCardReader : public token::TokenReader, public token::TokenWriter {
 public:
  CSmartCardReader() = default;
  ~CSmartCardReader() override;
  CSmartCardReader(const CSmartCardReader &) = delete;
  CSmartCardReader &operator=(const CSmartCardReader &) = delete;

  // Whether a slot's token is the one wanted, from the slot's and the
  // token's information.
  using TokenFilter = std::function<bool(CK_SLOT_ID, const CK_SLOT_INFO &, const CK_TOKEN_INFO &)>;

  // --- module binding, session and login ---------------------------------
  // Binds the module named `modulePath` (nothing is done when one is bound
  // already): -8 module file not found; -1 other failure.  A `modulePath`
  // that starts with "pkcs11:" is a PKCS#11 URI: it is checked before any
  // module is loaded (-1 when it cannot be used), binds the module it
  // names (module-path, a module registered with p11-kit by module-name,
  // or, without either, p11-kit's proxy of all registered modules) and
  // chooses the token for OpenTokenSession.
  token::Outcome LoadPkcs11Module(const std::string &modulePath);
  // Opens the session on the one token present, or, after a URI, on the
  // one token the URI matches: -9 no such token; -10 several; -1 other
  // failure or a session already open.
  token::Outcome OpenTokenSession();
  // From now on OpenTokenSession asks for a read-only session only: a
  // program that must not change the token cannot, whatever it calls.
  void UseReadOnlySession() { m_readOnlySession = true; }
  // OpenTokenSession falls back to a read-only session when the token
  // refuses a read-write one as write-protected: for a program that never
  // writes.
  void AllowReadOnlySessionFallback() { m_readOnlySessionAllowed = true; }
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
  // The serial number and label of the token in use, as C_GetTokenInfo
  // gives them (blank-padded).
  struct TokenIdentity {
    std::array<unsigned char, 16> serial{};
    std::array<unsigned char, 32> label{};
  };
  token::Outcome IdentifyToken(TokenIdentity *identity);
  // With the module bound: initializes it, opens a read/write session on
  // the one token with `identity` (among those the module argument
  // chooses) and logs in with `pin` (a module that still counts the PIN as
  // verified is logged in).  -9 / -10 when no token or several have it.
  token::Outcome OpenSameToken(const TokenIdentity &identity, const char *pin);

  // --- the token's objects (token::TokenReader, token::TokenWriter) -------
  token::Outcome FindAllObjects(std::span<CK_OBJECT_HANDLE> list, int32_t *count) override;
  CK_RV GetAttributeValue(CK_OBJECT_HANDLE object, std::span<CK_ATTRIBUTE> tmpl) override;
  CK_RV FindKeys(CK_OBJECT_CLASS keyClass, const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier,
                 bool withSubject, size_t limit, std::vector<CK_OBJECT_HANDLE> *found) override;
  CK_RV FindByClassAndId(CK_OBJECT_CLASS objectClass, std::string_view identifier, size_t limit,
                         std::vector<CK_OBJECT_HANDLE> *found) override;
  CK_RV IdentifierInUse(std::span<const unsigned char> identifier, bool *inUse) override;
  CK_RV CreateObject(std::span<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE *created) override;
  CK_RV DestroyObject(CK_OBJECT_HANDLE object) override;
  CK_RV SignRsaPkcs(CK_OBJECT_HANDLE key, std::span<const unsigned char> data, size_t room,
                    std::vector<unsigned char> *out) override;
  CK_RV DecryptRsaPkcs(CK_OBJECT_HANDLE key, std::span<const unsigned char> cryptogram, size_t room,
                       std::vector<unsigned char> *out) override;

 private:
  // Falls back to a read-only session (AllowReadOnlySessionFallback).
  bool m_readOnlySessionAllowed = false;
  // Only read-only sessions are opened (UseReadOnlySession).
  bool m_readOnlySession = false;
  // Binds a module file through the program's loader.
  token::Outcome BindModuleFile(const std::string &path);
  // Which tokens OpenTokenSession may choose from: all (no filter) for a
  // module file name, those the URI matches for a URI.  Asks the
  // initialised module for its information when the URI names library
  // attributes.
  TokenFilter TokenChoice() const;
  // Puts the one token-present slot that `filter` accepts (every one
  // without a filter) into m_slotList: -9 none, -10 several, -1 a failing
  // call.  Without a filter only the slot list is asked for.
  token::Outcome ChooseTokenSlot(const TokenFilter &filter);

  CK_FUNCTION_LIST_PTR m_functionList = nullptr;
  CK_SESSION_HANDLE m_session = 0;
  std::unique_ptr<CK_SLOT_ID[]> m_slotList;
  platform::Module m_module;
  // Instead of m_module, a module p11-kit loaded by its registered name.
  token::RegisteredModule m_registeredModule;
  // The URI the module argument was, while its module is bound.
  std::unique_ptr<token::TokenUri> m_tokenUri;
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
