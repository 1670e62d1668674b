// Bounded message formatting and the files our programs leave beside
// themselves.
#ifndef PLATFORM_TEXT_H_
#define PLATFORM_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <optional>
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

// Converts `utf8` to cp932, then opens `path` with mode "w" (truncating)
// and writes the text with one write.  Returns false when there is no cp932
// converter (the file is not touched then), when the file cannot be opened
// or when the write fails; nothing else is reported.
[[nodiscard]] bool WriteCp932File(const std::string &path, std::string_view utf8);

// Folder of the running program (resolved /proc/self/exe), without a
// trailing slash; empty when it cannot be determined.
std::string ProgramFolder();

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

}  // namespace platform

#endif  // PLATFORM_TEXT_H_
