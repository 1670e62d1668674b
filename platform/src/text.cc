#include "platform/text.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace platform {

namespace {

size_t VFormatAt(char *buffer, size_t size, size_t offset, const char *format, va_list args) {
  if (buffer == nullptr || size == 0 || offset >= size) return offset;
  int n = std::vsnprintf(buffer + offset, size - offset, format, args);
  size_t stored = offset;
  if (n > 0) {
    size_t want = offset + static_cast<size_t>(n);
    if (want < size) {
      stored = want;
    } else {
      stored = TrimPartialUtf8(buffer, size - 1);
    }
  }
  buffer[stored] = '\0';
  return stored;
}

// Owns an iconv descriptor.
class Iconv {
 public:
  Iconv(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv &) = delete;
  Iconv &operator=(const Iconv &) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Length of the UTF-8 sequence that starts with `lead` (0 for a byte that
// cannot start one).
size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Converts with iconv, character by character where needed, replacing
// whatever the target cannot hold with '?'.  `from_utf8` tells how to step
// over a character the converter refuses.  Nothing when this machine has no
// converter between the two (glibc without its gconv modules, say).
std::optional<std::string> Convert(const char *to, const char *from, std::string_view in, bool from_utf8) {
  Iconv cd(to, from);
  if (!cd.ok()) return std::nullopt;
  std::string out;
  out.reserve(in.size() * 2 + 4);
  std::vector<char> chunk(in.size() * 4 + 16);
  char *src = const_cast<char *>(in.data());
  size_t src_left = in.size();
  while (src_left > 0) {
    char *dst = chunk.data();
    size_t dst_left = chunk.size();
    size_t rc = iconv(cd.get(), &src, &src_left, &dst, &dst_left);
    out.append(chunk.data(), static_cast<size_t>(dst - chunk.data()));
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL: one character cannot be converted or is broken.
    out.push_back('?');
    size_t skip = 1;
    if (from_utf8) {
      size_t len = Utf8SequenceLength(static_cast<unsigned char>(*src));
      if (len > 1 && len <= src_left) skip = len;
    } else {
      int mlen = std::mblen(src, src_left);
      if (mlen > 1) skip = static_cast<size_t>(mlen);
    }
    src += skip;
    src_left -= skip;
    iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
  }
  // Flush any shift state.
  char *dst = chunk.data();
  size_t dst_left = chunk.size();
  iconv(cd.get(), nullptr, nullptr, &dst, &dst_left);
  out.append(chunk.data(), static_cast<size_t>(dst - chunk.data()));
  return out;
}

}  // namespace

size_t TrimPartialUtf8(const char *text, size_t length) {
  // Walk back over continuation bytes to the last lead byte; drop that
  // sequence when it is not complete.
  size_t i = length;
  size_t back = 0;
  while (i > 0 && back < 4 && (static_cast<unsigned char>(text[i - 1]) & 0xC0) == 0x80) {
    --i;
    ++back;
  }
  if (i == 0) return length;
  unsigned char lead = static_cast<unsigned char>(text[i - 1]);
  size_t need = Utf8SequenceLength(lead);
  if (need > 1 && back + 1 < need) return i - 1;
  return length;
}

size_t VFormatBounded(char *buffer, size_t size, const char *format, va_list args) {
  return VFormatAt(buffer, size, 0, format, args);
}

size_t VAppendBounded(char *buffer, size_t size, const char *format, va_list args) {
  if (buffer == nullptr || size == 0) return 0;
  return VFormatAt(buffer, size, strnlen(buffer, size - 1), format, args);
}

size_t FormatBounded(char *buffer, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  size_t n = VFormatAt(buffer, size, 0, format, args);
  va_end(args);
  return n;
}

size_t AppendBounded(char *buffer, size_t size, const char *format, ...) {
  if (buffer == nullptr || size == 0) return 0;
  size_t used = strnlen(buffer, size - 1);
  va_list args;
  va_start(args, format);
  size_t n = VFormatAt(buffer, size, used, format, args);
  va_end(args);
  return n;
}

std::optional<std::string> Utf8ToCp932(std::string_view utf8) { return Convert("CP932", "UTF-8", utf8, true); }

std::string Utf8ToLocale(std::string_view utf8) {
  const char *codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || std::strcmp(codeset, "UTF-8") == 0) return std::string(utf8);
  if (std::optional<std::string> local = Convert(codeset, "UTF-8", utf8, true)) return *local;
  // No converter to the locale's character set: ASCII is common to all of
  // them, every other character becomes "?".
  std::string ascii;
  ascii.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const size_t len = Utf8SequenceLength(lead);
    ascii.push_back(lead < 0x80 ? static_cast<char>(lead) : '?');
    i += len > 1 && len <= utf8.size() - i ? len : 1;
  }
  return ascii;
}

void HexLower(std::span<const unsigned char> bytes, char *out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (unsigned char b : bytes) {
    *out++ = kDigits[b >> 4];
    *out++ = kDigits[b & 0x0F];
  }
}

std::string HexLower(std::span<const unsigned char> bytes) {
  std::string text(2 * bytes.size(), '\0');
  HexLower(bytes, text.data());
  return text;
}

}  // namespace platform
