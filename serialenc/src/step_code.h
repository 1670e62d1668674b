// Result codes of Tesk's internal steps.
#ifndef TESK_SRC_STEP_CODE_H_
#define TESK_SRC_STEP_CODE_H_

#include <cstdint>

#include "tesk/tesk.h"
#include "tokenenrol/status.h"

namespace tesk {

// The codes of Tesk's steps; the value is what Tesk reports as the step
// code.
enum class StepCode : int32_t {
  ok = TESK_OK,
  noMemory = TESK_ERR_NOMEM,
  invalidArgument = TESK_ERR_ARGUMENT,
  outputTooSmall = TESK_ERR_OUTPUT_SMALL,
};

// What every step returns; [[nodiscard]] on the type makes a step's
// outcome impossible to drop silently.
using Status = tokenenrol::Status<StepCode>;
template <class T>
using Result = tokenenrol::Result<T, StepCode>;

constexpr int32_t toInt(StepCode code) noexcept { return static_cast<int32_t>(code); }

}  // namespace tesk

#endif  // TESK_SRC_STEP_CODE_H_
