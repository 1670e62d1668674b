// What an operation of either program came to: 0, or the tool return code
// of the failure with the message of the step that failed.  Only a
// program's entry point turns it into the exit code and the log file.
#ifndef TOKEN_OUTCOME_H_
#define TOKEN_OUTCOME_H_

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "platform/text.h"

namespace token {

// The tool return code of a failure that names no other.
inline constexpr int32_t kFailure = -1;

// The message text: at most `Size` bytes with its terminating zero, never
// ending inside a character.  A failure sets it (BasicOutcome::Failure);
// later steps may add to it within the same bound.
template <size_t Size>
class BasicMessage {
 public:
  static constexpr size_t kSize = Size;

  void Append(const char *format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    platform::VAppendBounded(text_.data(), text_.size(), format, args);
    va_end(args);
  }
  void AppendText(const char *text) { Append("%s", text); }
  const char *c_str() const { return text_.data(); }
  bool empty() const { return text_[0] == '\0'; }

 private:
  template <size_t>
  friend class BasicOutcome;
  std::array<char, kSize> text_{};
};

template <size_t Size>
class [[nodiscard]] BasicOutcome {
 public:
  // Success: code 0 and no message.
  BasicOutcome() = default;
  // A failure with `code` (never 0) and the formatted message.
  static BasicOutcome Failure(int32_t code, const char *format, ...) __attribute__((format(printf, 2, 3))) {
    BasicOutcome outcome;
    outcome.code_ = code;
    va_list args;
    va_start(args, format);
    platform::VFormatBounded(outcome.message_.text_.data(), outcome.message_.text_.size(), format, args);
    va_end(args);
    return outcome;
  }
  // A failure whose message is `text` as it stands.
  static BasicOutcome FailureText(int32_t code, const char *text) { return Failure(code, "%s", text); }

  bool ok() const { return code_ == 0; }
  int32_t code() const { return code_; }
  const BasicMessage<Size> &message() const { return message_; }
  BasicMessage<Size> &message() { return message_; }

 private:
  int32_t code_ = 0;
  BasicMessage<Size> message_;
};

// The outcome of a step of a run: its message is at most 512 bytes.
using Message = BasicMessage<512>;
using Outcome = BasicOutcome<512>;

}  // namespace token

#endif  // TOKEN_OUTCOME_H_
