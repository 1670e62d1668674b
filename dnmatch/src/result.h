// Result types of Mirrel's internal functions: success, or the 32-bit
// error code that the exported call hands to its caller.
#ifndef MIRREL_SRC_RESULT_H_
#define MIRREL_SRC_RESULT_H_

#include <cstdint>
#include <optional>
#include <utility>

#include "mirrel/mirrel.h"

namespace mirrel {

struct Failure {
  uint32_t code;
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Failure failure) noexcept : ok_(false), code_(failure.code) {}  // NOLINT: implicit by design

  static Status success() noexcept { return {}; }
  bool ok() const noexcept { return ok_; }
  uint32_t code() const noexcept { return code_; }

 private:
  bool ok_ = true;
  uint32_t code_ = 0;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}                   // NOLINT: implicit by design
  Result(Failure failure) noexcept : code_(failure.code) {}       // NOLINT: implicit by design

  bool ok() const noexcept { return value_.has_value(); }
  uint32_t code() const noexcept { return code_; }
  T &value() & { return *value_; }
  T &&value() && { return std::move(*value_); }

 private:
  std::optional<T> value_;
  uint32_t code_ = 0;
};

inline constexpr Failure kArgumentFailure{MIRREL_ERR_ARGUMENT};

}  // namespace mirrel

#endif  // MIRREL_SRC_RESULT_H_
