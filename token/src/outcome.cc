#include "token/outcome.h"

#include <cstdarg>

#include "platform/text.h"

namespace token {

void Message::Append(const char *format, ...) {
  va_list args;
  va_start(args, format);
  platform::VAppendBounded(text_.data(), text_.size(), format, args);
  va_end(args);
}

Outcome Outcome::Failure(int32_t code, const char *format, ...) {
  Outcome outcome;
  outcome.code_ = code;
  va_list args;
  va_start(args, format);
  platform::VFormatBounded(outcome.message_.text_.data(), outcome.message_.text_.size(), format, args);
  va_end(args);
  return outcome;
}

}  // namespace token
