// Result codes of Tesk's internal steps.
#ifndef TESK_SRC_STEP_CODE_H_
#define TESK_SRC_STEP_CODE_H_

#include <cstdint>

#include "tesk/tesk.h"

namespace tesk {

// Every step returns one of these; the value is what Tesk reports as the
// step code.  [[nodiscard]] on the type makes every step's result
// impossible to drop silently.
enum class [[nodiscard]] StepCode : int32_t {
  ok = TESK_OK,
  noMemory = TESK_ERR_NOMEM,
  invalidArgument = TESK_ERR_ARGUMENT,
  outputTooSmall = TESK_ERR_OUTPUT_SMALL,
};

constexpr int32_t toInt(StepCode code) noexcept { return static_cast<int32_t>(code); }

}  // namespace tesk

#endif  // TESK_SRC_STEP_CODE_H_
