#include "charset.h"

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string_view>

#include "parvox/parvox.h"
#include "platform/text.h"

namespace parvox {
namespace {

enum class Source : uint8_t { Ucs2, Ucs4, Utf8 };
enum class Target : uint8_t { Local, Utf8, Utf8Dn };

struct ConvInfo {
  Source source;
  Target target;
  uint32_t lengthErr;   // input length outside the rule
  uint32_t rangeErr;    // value outside what the target can take
  uint32_t convertErr;  // the locale cannot represent a character
  uint32_t memoryErr;
};

// Indexed by Conv.
constexpr ConvInfo kConv[] = {
    {Source::Ucs2, Target::Local, PARVOX_ERR_UCS2TOMBS_LENGTH, PARVOX_ERR_UCS2TOMBS_CONVERT,
     PARVOX_ERR_UCS2TOMBS_CONVERT, PARVOX_ERR_UCS2TOMBS_NOMEM},
    {Source::Ucs4, Target::Local, PARVOX_ERR_UCS4TOMBS_LENGTH, PARVOX_ERR_UCS4TOMBS_CONVERT,
     PARVOX_ERR_UCS4TOMBS_CONVERT, PARVOX_ERR_UCS4TOMBS_NOMEM},
    {Source::Utf8, Target::Local, PARVOX_ERR_UTF8TOMBS_LENGTH, PARVOX_ERR_UTF8TOMBS_RANGE,
     PARVOX_ERR_UTF8TOMBS_CONVERT, PARVOX_ERR_UTF8TOMBS_NOMEM},
    {Source::Ucs2, Target::Utf8, PARVOX_ERR_UCS2TOUTF8_LENGTH, PARVOX_ERR_UCS2TOUTF8_LENGTH,
     PARVOX_ERR_UCS2TOUTF8_LENGTH, PARVOX_ERR_UCS2TOUTF8_LENGTH},
    {Source::Ucs4, Target::Utf8, PARVOX_ERR_UCS4TOUTF8_LENGTH, PARVOX_ERR_UCS4TOUTF8_RANGE,
     PARVOX_ERR_UCS4TOUTF8_RANGE, PARVOX_ERR_UCS4TOUTF8_LENGTH},
    {Source::Ucs2, Target::Utf8Dn, PARVOX_ERR_UCS2TOUTF8DN_LENGTH, PARVOX_ERR_UCS2TOUTF8DN_LENGTH,
     PARVOX_ERR_UCS2TOUTF8DN_LENGTH, PARVOX_ERR_UCS2TOUTF8DN_LENGTH},
    {Source::Ucs4, Target::Utf8Dn, PARVOX_ERR_UCS4TOUTF8DN_LENGTH, PARVOX_ERR_UCS4TOUTF8DN_RANGE,
     PARVOX_ERR_UCS4TOUTF8DN_RANGE, PARVOX_ERR_UCS4TOUTF8DN_LENGTH},
};

const ConvInfo &info(Conv conv) { return kConv[static_cast<size_t>(conv)]; }

// The characters that always take a backslash inside a DN value.
constexpr std::string_view kDnSpecials = ",+\"\\<>;";

bool needsEscape(unsigned char b, bool first, bool last) {
  if (kDnSpecials.find(static_cast<char>(b)) != std::string_view::npos) return true;
  if (first && (b == '#' || b == ' ')) return true;
  return last && b == ' ';
}

// Write one character's UTF-8 bytes, with a backslash before it when the
// DN rules ask for one.  Only single-byte characters can need it.
void putEscaped(const unsigned char *bytes, size_t n, bool first, bool last, Out &out) {
  if (n == 1 && needsEscape(bytes[0], first, last)) {
    const unsigned char pair[2] = {'\\', bytes[0]};
    out.whole(pair, 2);
    return;
  }
  out.whole(bytes, n);
}

uint32_t readBe16(const unsigned char *p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t readBe32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Bytes of local text one character can take at most.  Two is the least
// any answer gives, so that a two-byte code page gets the classic bound.
int64_t localBytesPerChar() {
  size_t m = MB_CUR_MAX;
  return static_cast<int64_t>(m < 2 ? 2 : m);
}

// UTF-8 scanning: sequence length from the lead byte (0 for a byte that
// cannot begin one).  Lengths 5 and 6 (the 31-bit form of RFC 2279) are
// accepted.  The 0 is a length, not a failure: countSequences turns it into
// PARVOX_ERR_UTF8SCAN_LEAD, and the later passes walk checked input.
size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC0) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF8) return 4;
  if (lead < 0xFC) return 5;
  if (lead < 0xFE) return 6;
  return 0;
}

// First pass over UTF-8 input: every lead byte valid and every sequence
// inside the input.  Answers the number of sequences.
Result<size_t> countSequences(const unsigned char *src, size_t len) {
  size_t count = 0;
  for (size_t i = 0; i < len;) {
    size_t n = sequenceLength(src[i]);
    if (n == 0) return failure(PARVOX_ERR_UTF8SCAN_LEAD);
    if (n > len - i) return failure(PARVOX_ERR_UTF8TOMBS_SEQUENCE);
    i += n;
    ++count;
  }
  return count;
}

constexpr unsigned char kLeadPayloadMask[7] = {0, 0x7F, 0x1F, 0x0F, 0x07, 0x03, 0x01};

// Values the wide form takes from UTF-8: wchar_t holds whole code points
// here, so everything up to U+10FFFF passes except U+FFFF, the one value
// of the basic plane that is refused.  Values beyond the last plane are no
// characters.
bool inWideRange(uint32_t v) { return v != 0xFFFFu && v <= 0x10FFFFu; }

// Decode the sequence at src (length n from the first pass).
Result<uint32_t> decodeSequence(const unsigned char *src, size_t n) {
  uint32_t v = src[0] & kLeadPayloadMask[n];
  for (size_t k = 1; k < n; ++k) {
    if (src[k] < 0x80 || src[k] > 0xBF) return failure(PARVOX_ERR_UTF8TOMBS_SEQUENCE);
    v = v << 6 | (src[k] & 0x3Fu);
  }
  return v;
}

// Local multibyte writer keeping the shift state across one value; a
// character the locale cannot represent fails with the converter's code.
class LocalWriter {
 public:
  LocalWriter(const ConvInfo &ci, Out &out) : convertErr_(ci.convertErr), out_(out) {}
  Status put(uint32_t v) {
    if (v > 0x7FFFFFFFu) return failure(convertErr_);
    char buf[MB_LEN_MAX];
    size_t n = std::wcrtomb(buf, static_cast<wchar_t>(v), &state_);
    if (n == static_cast<size_t>(-1)) return failure(convertErr_);
    out_.whole(buf, n);
    return Status::success();
  }
  void finish() {
    if (!std::mbsinit(&state_)) {
      char buf[MB_LEN_MAX];
      size_t n = std::wcrtomb(buf, L'\0', &state_);
      if (n != static_cast<size_t>(-1) && n > 1) out_.whole(buf, n - 1);
    }
    out_.terminate();
  }

 private:
  uint32_t convertErr_;
  Out &out_;
  std::mbstate_t state_{};
};

Status utf8ToLocal(const ConvInfo &ci, const unsigned char *src, size_t len, Out &out) {
  if (len == 0) return failure(ci.lengthErr);
  Result<size_t> count = countSequences(src, len);
  if (!count.ok()) return count.status();
  if (out.counting()) {
    out.count(static_cast<int64_t>(count.value()) * localBytesPerChar() + 2);
    return Status::success();
  }
  // All of the input is checked before any byte is written.
  for (size_t i = 0; i < len;) {
    size_t n = sequenceLength(src[i]);
    Result<uint32_t> v = decodeSequence(src + i, n);
    if (!v.ok()) return v.status();
    if (!inWideRange(v.value())) return failure(ci.rangeErr);
    i += n;
  }
  LocalWriter writer(ci, out);
  for (size_t i = 0; i < len && !out.full();) {
    size_t n = sequenceLength(src[i]);
    Result<uint32_t> v = decodeSequence(src + i, n);
    if (!v.ok()) return v.status();
    TOKENENROL_TRY(writer.put(v.value()));
    i += n;
  }
  writer.finish();
  return Status::success();
}

Status unitsToLocal(const ConvInfo &ci, const unsigned char *src, size_t len, size_t unit, Out &out) {
  size_t chars = len / unit;
  if (out.counting()) {
    out.count(static_cast<int64_t>(chars) * localBytesPerChar() + 2);
    return Status::success();
  }
  LocalWriter writer(ci, out);
  for (size_t i = 0; i < chars && !out.full(); ++i) {
    TOKENENROL_TRY(writer.put(unit == 2 ? readBe16(src + 2 * i) : readBe32(src + 4 * i)));
  }
  writer.finish();
  return Status::success();
}

Status unitsToUtf8(const ConvInfo &ci, const unsigned char *src, size_t len, size_t unit, Out &out) {
  size_t chars = len / unit;
  unsigned char buf[platform::kMaxUtf8Bytes];
  for (size_t i = 0; i < chars; ++i) {
    uint32_t v = unit == 2 ? readBe16(src + 2 * i) : readBe32(src + 4 * i);
    if (v > 0x7FFFFFFFu) return failure(ci.rangeErr);
    size_t n = platform::EncodeUtf8(v, buf);
    if (ci.target == Target::Utf8Dn) {
      putEscaped(buf, n, i == 0, i + 1 == chars, out);
    } else {
      out.whole(buf, n);
    }
  }
  return Status::success();
}

}  // namespace

uint32_t lengthError(Conv conv) { return info(conv).lengthErr; }
uint32_t memoryError(Conv conv) { return info(conv).memoryErr; }

// The locale name that setlocale(LC_CTYPE, "") would take from the
// environment.
const char *environmentLocale() {
  for (const char *var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char *value = std::getenv(var);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

void selectLocalCharset() {
  // Setting the locale it already has is skipped: setlocale is costly.
  const char *current = std::setlocale(LC_CTYPE, nullptr);
  if (current != nullptr && std::strcmp(current, environmentLocale()) == 0) return;
  std::setlocale(LC_CTYPE, "");
}

void escapeValue(const unsigned char *src, size_t len, Out &out) {
  for (size_t i = 0; i < len; ++i) putEscaped(src + i, 1, i == 0, i + 1 == len, out);
}

Status convert(Conv conv, const unsigned char *src, size_t len, Out &out) {
  const ConvInfo &ci = info(conv);
  if (ci.target == Target::Local && !out.localeSelected()) {
    selectLocalCharset();
    out.markLocaleSelected();
  }
  if (ci.source == Source::Utf8) return utf8ToLocal(ci, src, len, out);
  size_t unit = ci.source == Source::Ucs2 ? 2 : 4;
  if (len == 0 || len % unit != 0) return failure(ci.lengthErr);
  if (ci.target == Target::Local) return unitsToLocal(ci, src, len, unit, out);
  return unitsToUtf8(ci, src, len, unit, out);
}

}  // namespace parvox
