// Outcomes of Mirrel's internal functions: success, or the 32-bit error
// code that the exported call hands to its caller.
#ifndef MIRREL_SRC_RESULT_H_
#define MIRREL_SRC_RESULT_H_

#include <cstdint>

#include "mirrel/mirrel.h"
#include "tokenenrol/status.h"

namespace mirrel {

// Mirrel's own codes; a code of the object library is passed on as it is
// (an enum of this underlying type holds any 32-bit value).
enum class Code : uint32_t {
  kOk = 0,
  kArgument = MIRREL_ERR_ARGUMENT,
  kNoResult = MIRREL_ERR_NO_RESULT,
};

using Status = tokenenrol::Status<Code>;
template <class T>
using Result = tokenenrol::Result<T, Code>;

}  // namespace mirrel

#endif  // MIRREL_SRC_RESULT_H_
