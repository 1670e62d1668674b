// What an operation of either program came to: 0, or the tool return code
// of the failure with the message of the step that failed.  Only a
// program's entry point turns it into the exit code and the log file.
#ifndef TOKEN_OUTCOME_H_
#define TOKEN_OUTCOME_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace token {

// The tool return code of a failure that names no other.
inline constexpr int32_t kFailure = -1;

// The message text: at most 512 bytes with its terminating zero, never
// ending inside a character.  A failure sets it (Outcome::Failure); later
// steps may add to it within the same bound.
class Message {
 public:
  static constexpr size_t kSize = 512;

  void Append(const char *format, ...) __attribute__((format(printf, 2, 3)));
  void AppendText(const char *text) { Append("%s", text); }
  const char *c_str() const { return text_.data(); }
  bool empty() const { return text_[0] == '\0'; }

 private:
  friend class Outcome;
  std::array<char, kSize> text_{};
};

class [[nodiscard]] Outcome {
 public:
  // Success: code 0 and no message.
  Outcome() = default;
  // A failure with `code` (never 0) and the formatted message.
  static Outcome Failure(int32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));
  // A failure whose message is `text` as it stands.
  static Outcome FailureText(int32_t code, const char *text) { return Failure(code, "%s", text); }

  bool ok() const { return code_ == 0; }
  int32_t code() const { return code_; }
  const Message &message() const { return message_; }
  Message &message() { return message_; }

 private:
  int32_t code_ = 0;
  Message message_;
};

}  // namespace token

#endif  // TOKEN_OUTCOME_H_
