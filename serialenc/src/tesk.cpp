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
constexpr std::string_view kTeskStep = "Tesk";

void FreeMalloced(unsigned char *p) noexcept { std::free(p); }

// Remembers the first failing step (the pool release may replace it).
class StepRecorder {
 public:
  explicit StepRecorder(EncodeErrorInfo *info) noexcept : info_(info) {}

  // Records a failing step; returns true when status is a failure.
  bool failed(std::string_view step, Status status) noexcept {
    if (status.ok()) {
      return false;
    }
    code_ = toInt(status.code());
    if (info_ != nullptr) {
      const std::size_t n = step.size() < sizeof info_->stepName - 1 ? step.size() : sizeof info_->stepName - 1;
      std::memcpy(info_->stepName, step.data(), n);
      info_->stepName[n] = '\0';
      info_->stepCode = code_;
    }
    return true;
  }

  int32_t code() const noexcept { return code_; }

 private:
  EncodeErrorInfo *info_;
  int32_t code_ = TESK_OK;
};

// Steps 2 and 3: the encoding in the pool's scratch area; returns the
// scratch bytes and their count, or records the failing step.
bool encodeInScratch(const X509Serial &serial, ScratchPool *pool, StepRecorder &steps, unsigned char **scratch,
                     uint32_t *total) noexcept {
  IntegerLengthInfo info{};
  *total = 0;
  if (serial.serialForm == 0) {
    if (steps.failed("ZK_ASN1_CalLengthOfIntegerPDUDER",
                     ZK_ASN1_CalLengthOfIntegerPDUDER(serial.serialValue, total, &info)) ||
        steps.failed("ZK_MEM_Malloc", ZK_MEM_Malloc(pool, *total, scratch))) {
      return false;
    }
    OutputCursor cursor{*total, *scratch};
    return !steps.failed("ZK_ASN1_EncodeIntegerDER", ZK_ASN1_EncodeIntegerDER(serial.serialValue, &info, &cursor));
  }
  const ByteString bytes{serial.serialLength, serial.serialBytes};
  if (steps.failed("ZK_ASN1_CalLengthOfIntegerStringPDUDER",
                   ZK_ASN1_CalLengthOfIntegerStringPDUDER(&bytes, total, &info)) ||
      steps.failed("ZK_MEM_Malloc", ZK_MEM_Malloc(pool, *total, scratch))) {
    return false;
  }
  OutputCursor cursor{*total, *scratch};
  return !steps.failed("ZK_ASN1_EncodeIntegerStringDER", ZK_ASN1_EncodeIntegerStringDER(&bytes, &info, &cursor));
}

}  // namespace
}  // namespace tesk

extern "C" TESK_API int32_t Tesk(const X509CertParam *record, uint32_t *encodedLength, unsigned char **encodedBytes,
                                 EncodeErrorInfo *info) {
  using namespace tesk;
  StepRecorder steps(info);
  if (record == nullptr || encodedLength == nullptr || encodedBytes == nullptr) {
    steps.failed(kTeskStep, StepCode::invalidArgument);
    return steps.code();
  }

  PoolGuard pool;
  if (steps.failed("ZK_MEM_Create", pool.create())) {
    return steps.code();
  }

  unsigned char *scratch = nullptr;
  uint32_t total = 0;
  platform::Owned<unsigned char, FreeMalloced> result;
  if (encodeInScratch(record->serial, pool.get(), steps, &scratch, &total)) {
    // The result lives on this library's heap until FreeASN1Memory.
    result.reset(static_cast<unsigned char *>(std::malloc(total)));
    if (result == nullptr) {
      steps.failed(kTeskStep, StepCode::noMemory);
    } else {
      std::memcpy(result.get(), scratch, total);
    }
  }

  steps.failed("ZK_MEM_Destroy", pool.destroy());
  // The outputs are written only when the whole call succeeded, so that a
  // failure never leaves the caller holding a buffer.
  if (steps.code() == TESK_OK) {
    *encodedLength = total;
    *encodedBytes = result.release();
  }
  return steps.code();
}

extern "C" TESK_API void FreeASN1Memory(void *buffer) {
  if (buffer != nullptr) {
    std::free(buffer);
  }
}
