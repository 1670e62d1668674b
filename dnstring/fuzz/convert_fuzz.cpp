// Fuzzes the seven converters and the DER decoders: every one is asked for
// its size first and then run into a buffer of exactly that size, with the
// bytes around it checked for writes outside.
#include <parvox/parvox.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Converter = int32_t (*)(const unsigned char *, unsigned char **, int32_t, int32_t *, uint32_t *);
using Decoder = int32_t (*)(const Pdu *, unsigned char **, int32_t *, int32_t, uint32_t *);

constexpr Converter kConverters[] = {PARVOX_ucs2tombs,  PARVOX_ucs4tombs,  PARVOX_utf8tombs,
                                     PARVOX_ucs2toutf8, PARVOX_ucs4toutf8, PARVOX_ucs2toutf8DnString,
                                     PARVOX_ucs4toutf8DnString};
constexpr unsigned char kGuard = 0xA5;
constexpr size_t kGuardBytes = 16;

void checkGuards(const std::vector<unsigned char> &buf, size_t size) {
  for (size_t i = 0; i < kGuardBytes; ++i) {
    if (buf[i] != kGuard || buf[kGuardBytes + size + i] != kGuard) std::abort();
  }
}

void runConverter(Converter fn, const unsigned char *src, int32_t len) {
  uint32_t err = 0;
  int32_t need = 0;
  if (fn(src, nullptr, len, &need, &err) != 0) return;
  if (need < 0) std::abort();
  std::vector<unsigned char> buf(static_cast<size_t>(need) + 2 * kGuardBytes, kGuard);
  unsigned char *dst = buf.data() + kGuardBytes;
  int32_t room = need;
  if (fn(src, &dst, len, &room, &err) == 0 && (room < 0 || room > need)) std::abort();
  checkGuards(buf, static_cast<size_t>(need));
}

void runDecoder(Decoder fn, const unsigned char *data, size_t size, int32_t mode) {
  const Pdu pdu{data, static_cast<uint32_t>(size)};
  uint32_t err = 0;
  int32_t need = 0;
  if (fn(&pdu, nullptr, &need, mode, &err) != 0) return;
  std::vector<unsigned char> buf(static_cast<size_t>(need) + 2 * kGuardBytes, kGuard);
  unsigned char *cursor = buf.data() + kGuardBytes;
  int32_t room = need;
  if (fn(&pdu, &cursor, &room, mode, &err) == 0) {
    if (room < 0 || cursor != buf.data() + kGuardBytes + (need - room)) std::abort();
    // Modes other than 0 answer the exact size.
    if (mode != 0 && room != 0) std::abort();
  }
  checkGuards(buf, static_cast<size_t>(need));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  const unsigned char selector = data[0];
  const unsigned char *src = data + 1;
  const auto len = static_cast<int32_t>(size - 1);
  runConverter(kConverters[selector % 7], src, len);
  const int32_t mode = (selector >> 3) % 4;  // 0, 1, 2 and 3 (treated like 2 / plain)
  runDecoder(PARVOX_DirectStringDecode, src, size - 1, mode);
  runDecoder(PARVOX_EmailAddrDecode, src, size - 1, mode);
  // Typed record route: the same bytes as the content of each choice.
  const DirectoryStringValue value{static_cast<int32_t>(selector % 7), src, static_cast<uint32_t>(len)};
  uint32_t err = 0;
  int32_t need = 0;
  if (PARVOX_dirstrtostring(&value, nullptr, &need, mode, &err) == 0) {
    std::vector<unsigned char> buf(static_cast<size_t>(need) + 1);
    unsigned char *cursor = buf.data();
    int32_t room = need;
    (void)PARVOX_dirstrtostring(&value, &cursor, &room, mode, &err);
  }
  return 0;
}
