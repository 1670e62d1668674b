// Result types used inside libParvox.  A failure carries the 32-bit code
// that the exported call hands back through its errorCode argument.
#ifndef PARVOX_SRC_STATUS_H_
#define PARVOX_SRC_STATUS_H_

#include <cstdint>
#include <utility>
#include <variant>

namespace parvox {

class [[nodiscard]] Status {
 public:
  static Status success() { return Status(0); }
  static Status failure(uint32_t code) { return Status(code == 0 ? 0x1E0000FFu : code); }
  bool ok() const { return code_ == 0; }
  uint32_t code() const { return code_; }

 private:
  explicit Status(uint32_t code) : code_(code) {}
  uint32_t code_;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}            // NOLINT(google-explicit-constructor)
  Result(Status failed) : v_(failed) {}                // NOLINT(google-explicit-constructor)
  bool ok() const { return std::holds_alternative<T>(v_); }
  T &value() { return std::get<T>(v_); }
  const T &value() const { return std::get<T>(v_); }
  Status status() const { return ok() ? Status::success() : std::get<Status>(v_); }

 private:
  std::variant<T, Status> v_;
};

}  // namespace parvox

// Return the failure of a Status-valued expression to the caller.
#define PARVOX_TRY(expr)                    \
  do {                                      \
    ::parvox::Status parvox_s_ = (expr);    \
    if (!parvox_s_.ok()) return parvox_s_;  \
  } while (0)

#endif  // PARVOX_SRC_STATUS_H_
