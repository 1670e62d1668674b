#include "token/smart_card_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"
#include "token/messages.h"

namespace {

constexpr CK_FLAGS kSessionFlags = CKF_RW_SESSION | CKF_SERIAL_SESSION;
constexpr CK_FLAGS kReadOnlySessionFlags = CKF_SERIAL_SESSION;

using token::Outcome;

unsigned Code(CK_RV rv) { return static_cast<unsigned>(rv); }

// One single-part operation of the private key `key` with CKM_RSA_PKCS
// (signing and decrypting have the same shape): its initialization, then
// one call with an output of `room` bytes.
CK_RV RsaPkcsOperation(CK_C_SignInit init, CK_C_Sign run, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key,
                       std::span<const unsigned char> input, size_t room, std::vector<unsigned char> *out) {
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  CK_RV rv = init(session, &mechanism, key);
  if (rv != CKR_OK) return rv;
  out->assign(room, 0);
  CK_ULONG length = static_cast<CK_ULONG>(out->size());
  rv = run(session, const_cast<CK_BYTE_PTR>(input.data()), static_cast<CK_ULONG>(input.size()), out->data(), &length);
  // A length beyond the room is no answer.
  out->resize(rv == CKR_OK && length <= room ? length : 0);
  return rv;
}

}  // namespace

CSmartCardReader::~CSmartCardReader() { CloseToken(); }

Outcome CSmartCardReader::LoadPkcs11Module(const std::string &modulePath) {
  if (m_module.IsOpen() || m_registeredModule.IsLoaded()) return {};
  if (!token::IsPkcs11Uri(modulePath)) return BindModuleFile(modulePath);
  // A URI that cannot be used is refused before any module is loaded.
  std::unique_ptr<token::TokenUri> uri;
  if (Outcome parsed = token::TokenUri::Parse(modulePath, &uri); !parsed.ok()) return parsed;
  Outcome bound;
  switch (uri->Source()) {
    case token::TokenUri::ModuleSource::kPath:
      bound = BindModuleFile(uri->Module());
      break;
    case token::TokenUri::ModuleSource::kRegisteredName:
      bound = m_registeredModule.Load(uri->Module());
      if (bound.ok()) m_functionList = m_registeredModule.Functions();
      break;
    case token::TokenUri::ModuleSource::kAllRegistered:
      bound = BindModuleFile(token::P11KitProxyModulePath());
      break;
  }
  m_tokenUri = std::move(uri);
  return bound;
}

Outcome CSmartCardReader::BindModuleFile(const std::string &modulePath) {
  uint32_t loadError = 0;
  if (!m_module.Open(modulePath, &loadError)) {
    return Outcome::Failure(loadError == platform::kErrorModNotFound ? -8 : -1, token::msg::kModuleLoad, loadError);
  }
  auto getFunctionList =
      reinterpret_cast<CK_C_GetFunctionList>(m_module.Symbol("C_GetFunctionList", &loadError));
  if (getFunctionList == nullptr) {
    // The module stays bound until CloseToken.
    return Outcome::Failure(-1, token::msg::kNoGetFunctionList, loadError);
  }
  CK_RV rv = getFunctionList(&m_functionList);
  if (rv != CKR_OK) return Outcome::Failure(-1, token::msg::kGetFunctionList, Code(rv));
  if (m_functionList == nullptr) {
    // A module that claims success but hands out nothing is as bad as one
    // that fails; never call through a null table.
    return Outcome::Failure(-1, token::msg::kGetFunctionList, Code(CKR_GENERAL_ERROR));
  }
  return {};
}

Outcome CSmartCardReader::OpenTokenSession() {
  if (m_sessionOpen) return Outcome::FailureText(-1, "");
  if (m_functionList == nullptr) {
    return Outcome::Failure(-1, token::msg::kInitialize, Code(CKR_CRYPTOKI_NOT_INITIALIZED));
  }
  Outcome result = [&]() -> Outcome {
    CK_RV rv = m_functionList->C_Initialize(nullptr);
    if (rv != CKR_OK) return Outcome::Failure(-1, token::msg::kInitialize, Code(rv));
    m_initialized = 1;

    if (Outcome chosen = ChooseTokenSlot(TokenChoice()); !chosen.ok()) return chosen;
    const CK_FLAGS flags = m_readOnlySession ? kReadOnlySessionFlags : kSessionFlags;
    rv = m_functionList->C_OpenSession(m_slotList[0], flags, nullptr, nullptr, &m_session);
    if (rv == CKR_TOKEN_WRITE_PROTECTED && m_readOnlySessionAllowed && !m_readOnlySession) {
      rv = m_functionList->C_OpenSession(m_slotList[0], kReadOnlySessionFlags, nullptr, nullptr, &m_session);
    }
    if (rv != CKR_OK) return Outcome::Failure(-1, token::msg::kOpenSession, Code(rv));
    m_sessionOpen = 1;
    return {};
  }();
  if (!m_sessionOpen) {
    // Every failure after binding leaves the module finalized again, even
    // when C_Initialize itself failed.
    m_functionList->C_Finalize(nullptr);
    m_initialized = 0;
  }
  return result;
}

CSmartCardReader::TokenFilter CSmartCardReader::TokenChoice() const {
  if (!m_tokenUri) return nullptr;
  const token::TokenUri *uri = m_tokenUri.get();
  if (uri->NamesLibrary()) {
    // A module whose information cannot be had, or does not match, has
    // none of the tokens the URI names.
    CK_INFO info{};
    if (m_functionList->C_GetInfo(&info) != CKR_OK || !uri->MatchesLibrary(info)) {
      return [](CK_SLOT_ID, const CK_SLOT_INFO &, const CK_TOKEN_INFO &) { return false; };
    }
  }
  return [uri](CK_SLOT_ID slot, const CK_SLOT_INFO &slotInfo, const CK_TOKEN_INFO &tokenInfo) {
    return uri->MatchesToken(slot, slotInfo, tokenInfo);
  };
}

Outcome CSmartCardReader::ChooseTokenSlot(const TokenFilter &filter) {
  if (!filter) {
    CK_ULONG count = 0;
    CK_RV rv = m_functionList->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) return Outcome::Failure(-1, token::msg::kSlotCount, Code(rv));
    if (count == 0) return Outcome::FailureText(-9, token::msg::kNoToken);
    if (count > 1) return Outcome::FailureText(-10, token::msg::kSeveralTokens);
    m_slotList.reset(new (std::nothrow) CK_SLOT_ID[count]);
    if (!m_slotList) return Outcome::FailureText(-1, token::msg::kSlotListMemory);
    // A token that went or came since the count is told as the count
    // would have told it.
    CK_ULONG filled = count;
    rv = m_functionList->C_GetSlotList(CK_TRUE, m_slotList.get(), &filled);
    if (rv == CKR_OK && filled > 1) return Outcome::FailureText(-10, token::msg::kSeveralTokens);
    if (rv != CKR_OK) return Outcome::Failure(-1, token::msg::kSlotList, Code(rv));
    if (filled == 0) return Outcome::FailureText(-9, token::msg::kNoToken);
    return {};
  }
  // The token-present slots, listed whole even when a token comes between
  // the count and the listing.
  constexpr CK_ULONG kMaxSlots = 4096;
  constexpr int kListingAttempts = 3;
  std::vector<CK_SLOT_ID> slots;
  for (int attempt = 1;; ++attempt) {
    CK_ULONG count = 0;
    CK_RV rv = m_functionList->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) return Outcome::Failure(-1, token::msg::kSlotCount, Code(rv));
    if (count > kMaxSlots) return Outcome::FailureText(-1, token::msg::kSlotListMemory);
    slots.assign(count, 0);
    if (count == 0) break;
    CK_ULONG filled = count;
    rv = m_functionList->C_GetSlotList(CK_TRUE, slots.data(), &filled);
    if (rv == CKR_BUFFER_TOO_SMALL && attempt < kListingAttempts) continue;
    if (rv != CKR_OK) return Outcome::Failure(-1, token::msg::kSlotList, Code(rv));
    slots.resize(std::min(filled, count));
    break;
  }
  // A slot whose token cannot be asked about (gone meanwhile, a card the
  // module does not know) is not the one wanted.
  size_t matches = 0;
  CK_SLOT_ID chosen = 0;
  for (CK_SLOT_ID slot : slots) {
    CK_SLOT_INFO slotInfo{};
    CK_TOKEN_INFO tokenInfo{};
    if (m_functionList->C_GetSlotInfo(slot, &slotInfo) != CKR_OK) continue;
    if (m_functionList->C_GetTokenInfo(slot, &tokenInfo) != CKR_OK) continue;
    if (!filter(slot, slotInfo, tokenInfo)) continue;
    if (++matches > 1) return Outcome::FailureText(-10, token::msg::kSeveralTokens);
    chosen = slot;
  }
  if (matches == 0) return Outcome::FailureText(-9, token::msg::kNoToken);
  m_slotList.reset(new (std::nothrow) CK_SLOT_ID[1]);
  if (!m_slotList) return Outcome::FailureText(-1, token::msg::kSlotListMemory);
  m_slotList[0] = chosen;
  return {};
}

Outcome CSmartCardReader::LoginUser(const char *pin) {
  if (m_loggedIn) return Outcome::FailureText(-1, "");
  if (m_functionList == nullptr || pin == nullptr) {
    return Outcome::Failure(-1, token::msg::kLoginFailed, Code(CKR_ARGUMENTS_BAD));
  }
  CK_RV rv = m_functionList->C_Login(m_session, CKU_USER,
                                     reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(pin)),
                                     static_cast<CK_ULONG>(std::strlen(pin)));
  if (rv == CKR_OK) {
    m_loggedIn = 1;
    return {};
  }
  if (rv != CKR_PIN_INCORRECT) {
    return Outcome::Failure(rv == CKR_PIN_LOCKED ? -11 : -1, token::msg::kLoginFailed, Code(rv));
  }
  // A wrong PIN: the token's flags tell whether this was the final try or
  // locked the PIN.
  std::unique_ptr<CK_TOKEN_INFO> info(new (std::nothrow) CK_TOKEN_INFO{});
  if (!info) return Outcome::FailureText(-6, token::msg::kTokenInfoMemory);
  CK_RV infoRv = m_functionList->C_GetTokenInfo(m_slotList ? m_slotList[0] : 0, info.get());
  if (infoRv != CKR_OK) return Outcome::Failure(-6, token::msg::kTokenInfo, Code(infoRv));
  if ((info->flags & CKF_USER_PIN_LOCKED) != 0) {
    return Outcome::Failure(-11, token::msg::kPinLockedByAttempt, Code(rv));
  }
  if ((info->flags & CKF_USER_PIN_FINAL_TRY) != 0) return Outcome::FailureText(-7, token::msg::kPinFinalTry);
  return Outcome::Failure(-6, token::msg::kPinIncorrect, Code(rv));
}

Outcome CSmartCardReader::IdentifyToken(TokenIdentity *identity) {
  if (m_functionList == nullptr || !m_sessionOpen || !m_slotList) {
    return Outcome::FailureText(-1, token::msg::kCallOrder);
  }
  CK_TOKEN_INFO info{};
  CK_RV rv = m_functionList->C_GetTokenInfo(m_slotList[0], &info);
  if (rv != CKR_OK) return Outcome::Failure(-1, token::msg::kTokenInfo, Code(rv));
  std::memcpy(identity->serial.data(), info.serialNumber, identity->serial.size());
  std::memcpy(identity->label.data(), info.label, identity->label.size());
  return {};
}

Outcome CSmartCardReader::OpenSameToken(const TokenIdentity &identity, const char *pin) {
  if (m_functionList == nullptr || m_initialized || pin == nullptr) {
    return Outcome::FailureText(-1, token::msg::kCallOrder);
  }
  CK_RV rv = m_functionList->C_Initialize(nullptr);
  if (rv != CKR_OK) return Outcome::Failure(-1, token::msg::kInitialize, Code(rv));
  m_initialized = 1;
  const TokenFilter chosen = TokenChoice();
  const TokenFilter sameToken = [&identity, &chosen](CK_SLOT_ID slot, const CK_SLOT_INFO &slotInfo,
                                                     const CK_TOKEN_INFO &info) {
    return std::memcmp(info.serialNumber, identity.serial.data(), identity.serial.size()) == 0 &&
           std::memcmp(info.label, identity.label.data(), identity.label.size()) == 0 &&
           (!chosen || chosen(slot, slotInfo, info));
  };
  if (Outcome found = ChooseTokenSlot(sameToken); !found.ok()) return found;
  rv = m_functionList->C_OpenSession(m_slotList[0], kSessionFlags, nullptr, nullptr, &m_session);
  if (rv != CKR_OK) return Outcome::Failure(-1, token::msg::kOpenSession, Code(rv));
  m_sessionOpen = 1;
  rv = m_functionList->C_Login(m_session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(pin)),
                               static_cast<CK_ULONG>(std::strlen(pin)));
  if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
    return Outcome::Failure(-1, token::msg::kLoginFailed, Code(rv));
  }
  m_loggedIn = 1;
  return {};
}

CK_RV CSmartCardReader::CreateObject(std::span<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE *created) {
  CK_FUNCTION_LIST_PTR f = GetFunctionListPtr();
  if (f == nullptr || !m_sessionOpen) return CKR_SESSION_HANDLE_INVALID;
  return f->C_CreateObject(m_session, tmpl.data(), static_cast<CK_ULONG>(tmpl.size()), created);
}

CK_RV CSmartCardReader::GetAttributeValue(CK_OBJECT_HANDLE object, std::span<CK_ATTRIBUTE> tmpl) {
  CK_FUNCTION_LIST_PTR f = GetFunctionListPtr();
  if (f == nullptr || !m_sessionOpen) return CKR_SESSION_HANDLE_INVALID;
  return f->C_GetAttributeValue(m_session, object, tmpl.data(), static_cast<CK_ULONG>(tmpl.size()));
}

CK_RV CSmartCardReader::DestroyObject(CK_OBJECT_HANDLE object) {
  CK_FUNCTION_LIST_PTR f = GetFunctionListPtr();
  if (f == nullptr || !m_sessionOpen) return CKR_SESSION_HANDLE_INVALID;
  return f->C_DestroyObject(m_session, object);
}

CK_RV CSmartCardReader::SignRsaPkcs(CK_OBJECT_HANDLE key, std::span<const unsigned char> data, size_t room,
                                    std::vector<unsigned char> *out) {
  CK_FUNCTION_LIST_PTR f = GetFunctionListPtr();
  if (f == nullptr || !m_sessionOpen) return CKR_SESSION_HANDLE_INVALID;
  return RsaPkcsOperation(f->C_SignInit, f->C_Sign, m_session, key, data, room, out);
}

CK_RV CSmartCardReader::DecryptRsaPkcs(CK_OBJECT_HANDLE key, std::span<const unsigned char> cryptogram, size_t room,
                                       std::vector<unsigned char> *out) {
  CK_FUNCTION_LIST_PTR f = GetFunctionListPtr();
  if (f == nullptr || !m_sessionOpen) return CKR_SESSION_HANDLE_INVALID;
  return RsaPkcsOperation(f->C_DecryptInit, f->C_Decrypt, m_session, key, cryptogram, room, out);
}

void CSmartCardReader::CloseToken() {
  m_slotList.reset();
  if (m_loggedIn) {
    m_functionList->C_Logout(m_session);
    m_loggedIn = 0;
  }
  if (m_sessionOpen) {
    m_functionList->C_CloseSession(m_session);
    m_sessionOpen = 0;
  }
  if (m_initialized) {
    m_functionList->C_Finalize(nullptr);
    m_initialized = 0;
  }
  if (m_module.IsOpen()) {
    m_functionList = nullptr;
    m_module.Reset();
  }
  if (m_registeredModule.IsLoaded()) {
    m_functionList = nullptr;
    m_registeredModule.Reset();
  }
  m_tokenUri.reset();
}

CK_SESSION_HANDLE CSmartCardReader::GetSessionHandle() const { return m_sessionOpen ? m_session : 0; }

CK_FUNCTION_LIST_PTR CSmartCardReader::GetFunctionListPtr() const {
  return m_initialized ? m_functionList : nullptr;
}

namespace token {

void WriteLogFile(const std::string &path, const char *text) {
  if (text == nullptr) return;
  // No known folder, no cp932 converter or a file that cannot be written:
  // there is no log, and one line on stderr (in the locale's character
  // set) says so.  The run's result stays what it was.
  if (path.empty() || !platform::WriteCp932File(path, text)) {
    const std::string line = platform::Utf8ToLocale(msg::kLogFileWrite) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
}

}  // namespace token
