// Outcomes of libParvox's internal steps.  A failure carries the 32-bit
// code that the exported call hands back through its errorCode argument.
#ifndef PARVOX_SRC_STATUS_H_
#define PARVOX_SRC_STATUS_H_

#include <cstdint>

#include "parvox/parvox.h"
#include "tokenenrol/status.h"

namespace parvox {

// A Parvox code: 0 for success, one of the header's PARVOX_ERR_* values, or
// a code of the object library passed on unchanged.
enum class Code : uint32_t { kOk = 0 };

using Status = tokenenrol::Status<Code>;
template <class T>
using Result = tokenenrol::Result<T, Code>;

// The failure with a 32-bit code.  A code of 0 (a failing call that left
// none) still fails, as an argument error.
constexpr Status failure(uint32_t code) noexcept {
  return Status(static_cast<Code>(code == 0 ? PARVOX_ERR_ARGUMENT : code));
}

}  // namespace parvox

#endif  // PARVOX_SRC_STATUS_H_
