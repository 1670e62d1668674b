// Placeholder until the import sequence lands: binds the token and logs in,
// then reports that nothing was imported.  It never reports success.
#include "token/smart_card_reader.h"

int32_t CSmartCardReader::DoImportProc(uint32_t, const unsigned char *, const char *pin, const char *,
                                       platform::File &) {
  int32_t result = LoadPkcs11Module();
  if (result == 0) result = OpenTokenSession();
  if (result == 0) result = LoginUser(pin);
  if (result == 0) {
    SetErrorText("error:インポート処理は未実装です。");
    result = -1;
  }
  platform::FormatBounded(m_resultText, sizeof m_resultText, "\nツールの戻り値 = %d", result);
  AppendError("%s", m_resultText);
  WriteLogFile(m_errorText);
  CloseToken();
  return result;
}
