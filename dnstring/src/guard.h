// The boundary between the C interface and the library's C++ inside: no
// exception crosses it, a failure becomes -1 plus its code.
#ifndef PARVOX_SRC_GUARD_H_
#define PARVOX_SRC_GUARD_H_

#include <cstdint>
#include <limits>
#include <new>

#include "out.h"
#include "parvox/parvox.h"
#include "status.h"

namespace parvox {

template <class Body>
int32_t guarded(uint32_t *errorCode, uint32_t memoryCode, Body &&body) noexcept {
  if (errorCode == nullptr) return -1;
  Status result = Status::success();
  try {
    result = body();
  } catch (const std::bad_alloc &) {
    result = failure(memoryCode);
  } catch (...) {
    result = failure(PARVOX_ERR_ARGUMENT);
  }
  if (result.ok()) return 0;
  *errorCode = static_cast<uint32_t>(result.code());
  return -1;
}

// Byte count of an output as the 32-bit count the interface hands back.
inline Result<int32_t> count32(const Out &out, int64_t extra = 0) {
  int64_t n = out.used() + extra;
  if (n > std::numeric_limits<int32_t>::max()) return failure(PARVOX_ERR_TOO_LARGE);
  return static_cast<int32_t>(n);
}

// Shared frame of the three decoders (export_convert.cpp): output window
// at *cursor, moved on by the bytes written and *room lowered by as many;
// with cursor null *room receives the bytes needed.
int32_t runDecoder(unsigned char **cursor, int32_t *room, uint32_t *errorCode,
                   Status (*body)(const void *, int32_t, Out &), const void *input, int32_t mode);

}  // namespace parvox

#endif  // PARVOX_SRC_GUARD_H_
