// The outcome of an internal step of one library: success, or one of that
// library's error codes, with an optional short text naming what failed
// (a field, an attribute, a call).
//
// Status and Result are instantiated with the library's own code type, an
// enum class whose zero value means success; the codes of two libraries are
// then different types and cannot be handed on by mistake.  A Status is a
// code and a pointer to static text: it never allocates.  Turning a code
// into the number an exported call hands back is left to that call.
#ifndef TOKENENROL_STATUS_H_
#define TOKENENROL_STATUS_H_

#include <optional>
#include <type_traits>
#include <utility>

namespace tokenenrol {

// An enum class (no implicit conversion to its number).
template <class C>
concept CodeType = std::is_enum_v<C> && !std::is_convertible_v<C, std::underlying_type_t<C>>;

template <CodeType Code>
class [[nodiscard]] Status {
 public:
  constexpr Status() noexcept = default;
  // `what`, when given, must be static text; it is kept only with a failure.
  constexpr Status(Code code, const char *what = "") noexcept  // NOLINT(google-explicit-constructor)
      : code_(code), what_(code == Code{} ? "" : what) {}

  static constexpr Status success() noexcept { return {}; }

  constexpr bool ok() const noexcept { return code_ == Code{}; }
  constexpr Code code() const noexcept { return code_; }
  // What failed; empty on success or when the failure did not say.
  constexpr const char *what() const noexcept { return what_; }

  friend constexpr bool operator==(const Status &status, Code code) noexcept { return status.code_ == code; }

 private:
  Code code_{};
  const char *what_ = "";
};

// A value, or the failure that kept it from being made.
template <class T, CodeType Code>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  // A failure; `failed` is never a success.
  constexpr Result(Status<Code> failed) noexcept : status_(failed) {}  // NOLINT(google-explicit-constructor)
  constexpr Result(Code code, const char *what = "") noexcept  // NOLINT(google-explicit-constructor)
      : status_(code, what) {}

  bool ok() const noexcept { return value_.has_value(); }
  Code code() const noexcept { return status_.code(); }
  Status<Code> status() const noexcept { return status_; }

  // Only after ok(); a failure throws std::bad_optional_access.
  T &value() & { return value_.value(); }
  const T &value() const & { return value_.value(); }
  T &&value() && { return std::move(value_.value()); }

 private:
  std::optional<T> value_;
  Status<Code> status_;
};

}  // namespace tokenenrol

// Hands the failure of a Status-valued expression back to the caller.
#define TOKENENROL_TRY(expr)                                            \
  do {                                                                  \
    if (auto tokenenrol_status_ = (expr); !tokenenrol_status_.ok()) {   \
      return tokenenrol_status_;                                        \
    }                                                                   \
  } while (0)

#endif  // TOKENENROL_STATUS_H_
