// Exported converters and PARVOX_dirstrtostring.
#include "charset.h"
#include "decode.h"
#include "guard.h"
#include "parvox/parvox.h"

namespace parvox {
namespace {

// Converters: output window at *dst, not moved; *room in: capacity, out:
// bytes written or (dst null) bytes needed.
int32_t runConverter(Conv conv, const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                     uint32_t *errorCode) {
  return guarded(errorCode, memoryError(conv), [&]() -> Status {
    if (room == nullptr) return failure(PARVOX_ERR_ARGUMENT);
    if (srcLen < 0) return failure(lengthError(conv));
    if (src == nullptr && srcLen > 0) return failure(PARVOX_ERR_ARGUMENT);
    if (dst != nullptr && *dst == nullptr && *room > 0) return failure(PARVOX_ERR_ARGUMENT);
    Out out = dst == nullptr ? Out::query() : Out::into(*dst, *room);
    TOKENENROL_TRY(convert(conv, src, static_cast<size_t>(srcLen), out));
    Result<int32_t> n = count32(out);
    if (!n.ok()) return n.status();
    *room = n.value();
    return Status::success();
  });
}

}  // namespace

int32_t runDecoder(unsigned char **cursor, int32_t *room, uint32_t *errorCode,
                   Status (*body)(const void *, int32_t, Out &), const void *input, int32_t mode) {
  return guarded(errorCode, PARVOX_ERR_NOMEM, [&]() -> Status {
    if (room == nullptr || input == nullptr) return failure(PARVOX_ERR_ARGUMENT);
    if (cursor != nullptr && *cursor == nullptr && *room > 0) return failure(PARVOX_ERR_ARGUMENT);
    Out out = cursor == nullptr ? Out::query() : Out::into(*cursor, *room);
    TOKENENROL_TRY(body(input, mode, out));
    Result<int32_t> n = count32(out);
    if (!n.ok()) return n.status();
    if (cursor == nullptr) {
      *room = n.value();
    } else {
      *cursor += n.value();
      *room -= n.value();
    }
    return Status::success();
  });
}

}  // namespace parvox

using parvox::Conv;

extern "C" {

int32_t PARVOX_ucs2tombs(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                         uint32_t *errorCode) {
  return parvox::runConverter(Conv::Ucs2ToMbs, src, dst, srcLen, room, errorCode);
}

int32_t PARVOX_ucs4tombs(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                         uint32_t *errorCode) {
  return parvox::runConverter(Conv::Ucs4ToMbs, src, dst, srcLen, room, errorCode);
}

int32_t PARVOX_utf8tombs(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                         uint32_t *errorCode) {
  return parvox::runConverter(Conv::Utf8ToMbs, src, dst, srcLen, room, errorCode);
}

int32_t PARVOX_ucs2toutf8(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                          uint32_t *errorCode) {
  return parvox::runConverter(Conv::Ucs2ToUtf8, src, dst, srcLen, room, errorCode);
}

int32_t PARVOX_ucs4toutf8(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                          uint32_t *errorCode) {
  return parvox::runConverter(Conv::Ucs4ToUtf8, src, dst, srcLen, room, errorCode);
}

int32_t PARVOX_ucs2toutf8DnString(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                                  uint32_t *errorCode) {
  return parvox::runConverter(Conv::Ucs2ToUtf8Dn, src, dst, srcLen, room, errorCode);
}

int32_t PARVOX_ucs4toutf8DnString(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                                  uint32_t *errorCode) {
  return parvox::runConverter(Conv::Ucs4ToUtf8Dn, src, dst, srcLen, room, errorCode);
}

int32_t PARVOX_dirstrtostring(const DirectoryStringValue *value, unsigned char **cursor, int32_t *room, int32_t mode,
                              uint32_t *errorCode) {
  return parvox::runDecoder(
      cursor, room, errorCode,
      [](const void *input, int32_t m, parvox::Out &out) -> parvox::Status {
        const auto *v = static_cast<const DirectoryStringValue *>(input);
        return parvox::directoryStringText(v->choice, v->data, v->length, m, out);
      },
      value, mode);
}

}  // extern "C"
