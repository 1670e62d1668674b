#include "token/smart_card_reader.h"

#include <cstdarg>
#include <cstring>
#include <new>

#include "token/messages.h"

namespace {

constexpr CK_FLAGS kSessionFlags = CKF_RW_SESSION | CKF_SERIAL_SESSION;
constexpr CK_FLAGS kReadOnlySessionFlags = CKF_SERIAL_SESSION;

}  // namespace

CSmartCardReader::CSmartCardReader() : m_modulePath(token::kDefaultModuleName) {
  std::memset(m_errorText, 0, sizeof m_errorText);
  // The log sits beside the program; without a known folder it stays unset
  // and no log can be written.
  m_logPath = platform::BesideProgram("Tamrin.txt");
}

CSmartCardReader::~CSmartCardReader() { CloseToken(); }

void CSmartCardReader::SetError(const char *format, ...) {
  va_list args;
  va_start(args, format);
  platform::VFormatBounded(m_errorText, sizeof m_errorText, format, args);
  va_end(args);
}

void CSmartCardReader::AppendError(const char *format, ...) {
  va_list args;
  va_start(args, format);
  platform::VAppendBounded(m_errorText, sizeof m_errorText, format, args);
  va_end(args);
}

int32_t CSmartCardReader::LoadPkcs11Module() {
  if (m_module.IsOpen()) return 0;
  uint32_t loadError = 0;
  if (!m_module.Open(m_modulePath, &loadError)) {
    SetError(token::msg::kModuleLoad, loadError);
    return loadError == platform::kErrorModNotFound ? -8 : -1;
  }
  auto getFunctionList =
      reinterpret_cast<CK_C_GetFunctionList>(m_module.Symbol("C_GetFunctionList", &loadError));
  if (getFunctionList == nullptr) {
    // The module stays bound until CloseToken.
    SetError(token::msg::kNoGetFunctionList, loadError);
    return -1;
  }
  CK_RV rv = getFunctionList(&m_functionList);
  if (rv != CKR_OK) {
    SetError(token::msg::kGetFunctionList, static_cast<unsigned>(rv));
    return -1;
  }
  if (m_functionList == nullptr) {
    // A module that claims success but hands out nothing is as bad as one
    // that fails; never call through a null table.
    SetError(token::msg::kGetFunctionList, static_cast<unsigned>(CKR_GENERAL_ERROR));
    return -1;
  }
  return 0;
}

int32_t CSmartCardReader::OpenTokenSession() {
  if (m_sessionOpen) return -1;
  if (m_functionList == nullptr) {
    SetError(token::msg::kInitialize, static_cast<unsigned>(CKR_CRYPTOKI_NOT_INITIALIZED));
    return -1;
  }
  int32_t result = -1;
  do {
    CK_RV rv = m_functionList->C_Initialize(nullptr);
    if (rv != CKR_OK) {
      SetError(token::msg::kInitialize, static_cast<unsigned>(rv));
      break;
    }
    m_initialized = 1;

    CK_ULONG count = 0;
    rv = m_functionList->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) {
      SetError(token::msg::kSlotCount, static_cast<unsigned>(rv));
      break;
    }
    if (count == 0) {
      SetErrorText(token::msg::kNoToken);
      result = -9;
      break;
    }
    if (count > 1) {
      SetErrorText(token::msg::kSeveralTokens);
      result = -10;
      break;
    }
    m_slotList.reset(new (std::nothrow) CK_SLOT_ID[count]);
    if (!m_slotList) {
      SetErrorText(token::msg::kSlotListMemory);
      break;
    }
    // A token that went or came since the count is told as the count
    // would have told it.
    CK_ULONG filled = count;
    rv = m_functionList->C_GetSlotList(CK_TRUE, m_slotList.get(), &filled);
    if (rv == CKR_OK && filled > 1) {
      SetErrorText(token::msg::kSeveralTokens);
      result = -10;
      break;
    }
    if (rv != CKR_OK) {
      SetError(token::msg::kSlotList, static_cast<unsigned>(rv));
      break;
    }
    if (filled == 0) {
      SetErrorText(token::msg::kNoToken);
      result = -9;
      break;
    }
    rv = m_functionList->C_OpenSession(m_slotList[0], kSessionFlags, nullptr, nullptr, &m_session);
    if (rv == CKR_TOKEN_WRITE_PROTECTED && m_readOnlySessionAllowed) {
      rv = m_functionList->C_OpenSession(m_slotList[0], kReadOnlySessionFlags, nullptr, nullptr, &m_session);
    }
    if (rv != CKR_OK) {
      SetError(token::msg::kOpenSession, static_cast<unsigned>(rv));
      break;
    }
    m_sessionOpen = 1;
    result = 0;
  } while (false);

  if (!m_sessionOpen) {
    // Every failure after binding leaves the module finalized again, even
    // when C_Initialize itself failed.
    m_functionList->C_Finalize(nullptr);
    m_initialized = 0;
  }
  return result;
}

int32_t CSmartCardReader::LoginUser(const char *pin) {
  if (m_loggedIn) return -1;
  if (m_functionList == nullptr || pin == nullptr) {
    SetError(token::msg::kLoginFailed, static_cast<unsigned>(CKR_ARGUMENTS_BAD));
    return -1;
  }
  CK_RV rv = m_functionList->C_Login(m_session, CKU_USER,
                                     reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(pin)),
                                     static_cast<CK_ULONG>(std::strlen(pin)));
  if (rv == CKR_OK) {
    m_loggedIn = 1;
    return 0;
  }
  if (rv == CKR_PIN_INCORRECT) {
    SetError(token::msg::kPinIncorrect, static_cast<unsigned>(rv));
    int32_t result = -6;
    std::unique_ptr<CK_TOKEN_INFO> info(new (std::nothrow) CK_TOKEN_INFO{});
    if (!info) {
      SetErrorText(token::msg::kTokenInfoMemory);
      return result;
    }
    CK_RV infoRv = m_functionList->C_GetTokenInfo(m_slotList ? m_slotList[0] : 0, info.get());
    if (infoRv != CKR_OK) {
      SetError(token::msg::kTokenInfo, static_cast<unsigned>(infoRv));
      return result;
    }
    if ((info->flags & CKF_USER_PIN_LOCKED) != 0) {
      SetError(token::msg::kPinLockedByAttempt, static_cast<unsigned>(rv));
      result = -11;
    } else if ((info->flags & CKF_USER_PIN_FINAL_TRY) != 0) {
      SetErrorText(token::msg::kPinFinalTry);
      result = -7;
    }
    return result;
  }
  SetError(token::msg::kLoginFailed, static_cast<unsigned>(rv));
  return rv == CKR_PIN_LOCKED ? -11 : -1;
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
}

CK_SESSION_HANDLE CSmartCardReader::GetSessionHandle() const { return m_sessionOpen ? m_session : 0; }

CK_FUNCTION_LIST_PTR CSmartCardReader::GetFunctionListPtr() const {
  return m_initialized ? m_functionList : nullptr;
}

void CSmartCardReader::WriteLogFile(const char *text) {
  if (text == nullptr) return;
  // No known folder, no cp932 converter or a file that cannot be written:
  // there is no log, and one line on stderr (in the locale's character
  // set) says so.  The run's result stays what it was.
  if (m_logPath.empty() || !platform::WriteCp932File(m_logPath, text)) {
    const std::string line = platform::Utf8ToLocale(token::msg::kLogFileWrite) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
}
