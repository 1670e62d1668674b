// Bounded message formatting, UTF-8, and the files our programs leave
// beside themselves.
#ifndef PLATFORM_TEXT_H_
#define PLATFORM_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/stat.h>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// snprintf into a fixed buffer: a text that does not fit is cut (never
// overflows), and a cut never leaves half a UTF-8 character at the end.
// Returns the number of bytes stored.
size_t FormatBounded(char *buffer, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));

// Appends with the same rules to the text already in `buffer`.
size_t AppendBounded(char *buffer, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));

// va_list forms of the two above.
size_t VFormatBounded(char *buffer, size_t size, const char *format, va_list args) __attribute__((format(printf, 3, 0)));
size_t VAppendBounded(char *buffer, size_t size, const char *format, va_list args) __attribute__((format(printf, 3, 0)));

template <size_t N>
inline size_t CopyBounded(char (&buffer)[N], std::string_view text) {
  return FormatBounded(buffer, N, "%.*s", static_cast<int>(text.size()), text.data());
}

// The longest sequence EncodeUtf8 writes.
inline constexpr size_t kMaxUtf8Bytes = 6;

// Writes `value` (at most 0x7FFFFFFF) as UTF-8 and returns the number of
// bytes: 1 to 4 for a Unicode code point, 5 or 6 beyond it in the original
// 31-bit form that directory strings may still carry.  Whether the value is
// a Unicode scalar value is for the caller to check.  Inline, so that the
// shared libraries use it without linking this static one.
inline size_t EncodeUtf8(uint32_t value, unsigned char (&out)[kMaxUtf8Bytes]) {
  if (value < 0x80) {
    out[0] = static_cast<unsigned char>(value);
    return 1;
  }
  size_t n = 6;
  unsigned char lead = 0xFC;
  if (value < 0x800) {
    n = 2, lead = 0xC0;
  } else if (value < 0x10000) {
    n = 3, lead = 0xE0;
  } else if (value < 0x200000) {
    n = 4, lead = 0xF0;
  } else if (value < 0x4000000) {
    n = 5, lead = 0xF8;
  }
  for (size_t k = n - 1; k > 0; --k) {
    out[k] = static_cast<unsigned char>(0x80 | (value & 0x3F));
    value >>= 6;
  }
  out[0] = static_cast<unsigned char>(lead | value);
  return n;
}

// Drops an incomplete UTF-8 sequence at the end of text[0..length).
size_t TrimPartialUtf8(const char *text, size_t length);

// Converts UTF-8 text to cp932; a character cp932 cannot hold (or a broken
// byte sequence) becomes "?".  Nothing when this machine has no cp932
// converter.
[[nodiscard]] std::optional<std::string> Utf8ToCp932(std::string_view utf8);

// Converts UTF-8 text to the active locale's multibyte encoding (same
// replacement rule), for console lines.  Without a converter to that
// encoding, ASCII stays and every other character becomes "?".
std::string Utf8ToLocale(std::string_view utf8);

// Bytes as lowercase hexadecimal digits, two a byte, nothing between.
// Writes 2 * bytes.size() characters to `out` when given, else returns
// them.
void HexLower(std::span<const unsigned char> bytes, char *out);
std::string HexLower(std::span<const unsigned char> bytes);

// Converts `utf8` to cp932, then opens `path` with mode "w" (truncating)
// and writes the text with one write.  Returns false when there is no cp932
// converter (the file is not touched then), when the file cannot be opened
// or when the write fails; nothing else is reported.
[[nodiscard]] bool WriteCp932File(const std::string &path, std::string_view utf8);

// The running program's file (resolved /proc/self/exe); empty when it
// cannot be had.
std::string ProgramPath();
// Folder of the running program (resolved /proc/self/exe), without a
// trailing slash; empty when it cannot be determined.
std::string ProgramFolder();
// "<program folder>/<file>", built whole whatever the folder's length (a
// path cut to some bound would name another file); empty when the folder
// is unknown.
std::string BesideProgram(std::string_view file);

// Owns a FILE* and closes it.
class File {
 public:
  File() = default;
  explicit File(std::FILE *f) : f_(f) {}
  ~File() { Close(); }
  File(const File &) = delete;
  File &operator=(const File &) = delete;
  File(File &&o) noexcept : f_(o.f_) { o.f_ = nullptr; }
  File &operator=(File &&o) noexcept {
    if (this != &o) { Close(); f_ = o.f_; o.f_ = nullptr; }
    return *this;
  }
  std::FILE *get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  // Returns fclose's result (0 when nothing was open).
  int Close() {
    int rc = 0;
    if (f_ != nullptr) { rc = std::fclose(f_); f_ = nullptr; }
    return rc;
  }

 private:
  std::FILE *f_ = nullptr;
};

// Owns a file descriptor.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  FileDescriptor(FileDescriptor &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  FileDescriptor &operator=(FileDescriptor &&o) noexcept {
    if (this != &o) { Reset(); fd_ = o.fd_; o.fd_ = -1; }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Hands the descriptor over (for fdopen); this object owns none after.
  int Release() { int fd = fd_; fd_ = -1; return fd; }
  void Reset();

 private:
  int fd_ = -1;
};

// Opens `path` with `flags` (O_RDONLY, O_WRONLY, ...) only when it is a
// regular file, in ordinary blocking mode; `st` gets its status.  The open
// itself never blocks: a FIFO without a reader or writer, or a device,
// would otherwise hold the program forever.  An invalid descriptor when the
// file cannot be opened, is no regular file, or its status cannot be had
// (then *statFailed, when given, is true).
FileDescriptor OpenRegularFile(const char *path, int flags, struct stat *st, bool *statFailed = nullptr);

}  // namespace platform

#endif  // PLATFORM_TEXT_H_
