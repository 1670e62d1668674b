// Exported entry points of libTesk.
#include "tesk/tesk.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "integer_der.h"
#include "platform/owned.h"
#include "scratch_pool.h"

namespace tesk {
namespace {

// Name reported for failures of Tesk itself rather than of one of its
// steps: a missing argument, or no memory for the result buffer.
constexpr const char kTeskStep[] = "Tesk";

void FreeMalloced(unsigned char *p) noexcept { std::free(p); }

// A step's failure names the step (static text, as Status keeps it).
Status named(const char *step, Status status) noexcept { return status.ok() ? status : Status(status.code(), step); }

// Writes a failure into *info (when given) and answers its code.
int32_t report(const Status &failure, EncodeErrorInfo *info) noexcept {
  const int32_t code = toInt(failure.code());
  if (info != nullptr) {
    const std::string_view step = failure.what();
    const std::size_t n = step.size() < sizeof info->stepName - 1 ? step.size() : sizeof info->stepName - 1;
    std::memcpy(info->stepName, step.data(), n);
    info->stepName[n] = '\0';
    info->stepCode = code;
  }
  return code;
}

// The encoding in the pool's scratch area.
struct Scratch {
  unsigned char *bytes = nullptr;
  uint32_t length = 0;
};

// Steps 2 and 3: the encoding in the pool's scratch area, or the failing
// step.
Result<Scratch> encodeInScratch(const X509Serial &serial, ScratchPool *pool) noexcept {
  IntegerLengthInfo info{};
  Scratch scratch;
  if (serial.serialForm == 0) {
    TOKENENROL_TRY(named("ZK_ASN1_CalLengthOfIntegerPDUDER",
                         ZK_ASN1_CalLengthOfIntegerPDUDER(serial.serialValue, &scratch.length, &info)));
    TOKENENROL_TRY(named("ZK_MEM_Malloc", ZK_MEM_Malloc(pool, scratch.length, &scratch.bytes)));
    OutputCursor cursor{scratch.length, scratch.bytes};
    TOKENENROL_TRY(named("ZK_ASN1_EncodeIntegerDER", ZK_ASN1_EncodeIntegerDER(serial.serialValue, &info, &cursor)));
    return scratch;
  }
  const ByteString bytes{serial.serialLength, serial.serialBytes};
  TOKENENROL_TRY(named("ZK_ASN1_CalLengthOfIntegerStringPDUDER",
                       ZK_ASN1_CalLengthOfIntegerStringPDUDER(&bytes, &scratch.length, &info)));
  TOKENENROL_TRY(named("ZK_MEM_Malloc", ZK_MEM_Malloc(pool, scratch.length, &scratch.bytes)));
  OutputCursor cursor{scratch.length, scratch.bytes};
  TOKENENROL_TRY(named("ZK_ASN1_EncodeIntegerStringDER", ZK_ASN1_EncodeIntegerStringDER(&bytes, &info, &cursor)));
  return scratch;
}

}  // namespace
}  // namespace tesk

extern "C" TESK_API int32_t Tesk(const X509CertParam *record, uint32_t *encodedLength, unsigned char **encodedBytes,
                                 EncodeErrorInfo *info) {
  using namespace tesk;
  if (record == nullptr || encodedLength == nullptr || encodedBytes == nullptr) {
    return report(Status(StepCode::invalidArgument, kTeskStep), info);
  }

  PoolGuard pool;
  if (const Status created = named("ZK_MEM_Create", pool.create()); !created.ok()) {
    return report(created, info);
  }

  // Every failure is reported as it happens; the pool release's failure
  // comes last and so is what the call answers.
  int32_t code = TESK_OK;
  uint32_t total = 0;
  platform::Owned<unsigned char, FreeMalloced> result;
  const Result<Scratch> scratch = encodeInScratch(record->serial, pool.get());
  if (!scratch.ok()) {
    code = report(scratch.status(), info);
  } else {
    // The result lives on this library's heap until FreeASN1Memory.
    total = scratch.value().length;
    result.reset(static_cast<unsigned char *>(std::malloc(total)));
    if (result == nullptr) {
      code = report(Status(StepCode::noMemory, kTeskStep), info);
    } else {
      std::memcpy(result.get(), scratch.value().bytes, total);
    }
  }

  if (const Status released = named("ZK_MEM_Destroy", pool.destroy()); !released.ok()) {
    code = report(released, info);
  }
  // The outputs are written only when the whole call succeeded, so that a
  // failure never leaves the caller holding a buffer.
  if (code == TESK_OK) {
    *encodedLength = total;
    *encodedBytes = result.release();
  }
  return code;
}

extern "C" TESK_API void FreeASN1Memory(void *buffer) {
  if (buffer != nullptr) {
    std::free(buffer);
  }
}
