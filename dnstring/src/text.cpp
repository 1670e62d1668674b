#include "charset.h"
#include "decode.h"
#include "parvox/parvox.h"

namespace parvox {
namespace {

// teletexString, printableString, ia5String and e-mail values: escaped in
// mode 2, copied as they are otherwise.
void plainText(const unsigned char *data, size_t length, int32_t mode, Out &out) {
  if (mode == kModeUtf8Dn) {
    escapeValue(data, length, out);
  } else {
    out.prefix(data, length);
  }
}

}  // namespace

Status directoryStringText(int32_t choice, const unsigned char *data, size_t length, int32_t mode, Out &out) {
  if (data == nullptr && length != 0) return failure(PARVOX_ERR_ARGUMENT);
  switch (choice) {
    case DIRSTR_BMP:
      return convert(mode == kModeLocal  ? Conv::Ucs2ToMbs
                     : mode == kModeUtf8 ? Conv::Ucs2ToUtf8
                                         : Conv::Ucs2ToUtf8Dn,
                     data, length, out);
    case DIRSTR_UNIVERSAL:
      return convert(mode == kModeLocal  ? Conv::Ucs4ToMbs
                     : mode == kModeUtf8 ? Conv::Ucs4ToUtf8
                                         : Conv::Ucs4ToUtf8Dn,
                     data, length, out);
    case DIRSTR_UTF8:
      if (mode == kModeLocal) return convert(Conv::Utf8ToMbs, data, length, out);
      if (mode == kModeUtf8) {
        out.prefix(data, length);
      } else {
        escapeValue(data, length, out);
      }
      return Status::success();
    default:
      plainText(data, length, mode, out);
      return Status::success();
  }
}

Status plainTextValue(const unsigned char *data, size_t length, int32_t mode, Out &out) {
  if (data == nullptr && length != 0) return failure(PARVOX_ERR_ARGUMENT);
  plainText(data, length, mode, out);
  return Status::success();
}

}  // namespace parvox
