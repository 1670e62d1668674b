// Exported entry points of libMirrel.
#include "mirrel/mirrel.h"

#include <exception>

#include "typical_dn.h"

namespace {

// No C++ exception may cross the C interface; the only one that can
// arise inside is an allocation failure.
template <class Body>
int32_t guarded(uint32_t *errorCode, Body body) noexcept {
  try {
    return body();
  } catch (const std::exception &) {
    *errorCode = MIRREL_ERR_ARGUMENT;
    return -1;
  }
}

}  // namespace

extern "C" MIRREL_API int32_t GetTypicalDN(X509NameHandle source, X509NameHandle destination, uint32_t *errorCode) {
  if (errorCode == nullptr) {
    return -1;
  }
  return guarded(errorCode, [&]() -> int32_t {
    const mirrel::Status status = mirrel::appendTypicalForm(source, destination);
    if (!status.ok()) {
      *errorCode = static_cast<uint32_t>(status.code());
      return -1;
    }
    return 0;
  });
}

extern "C" MIRREL_API int32_t CompareDN(X509NameHandle name1, X509NameHandle name2, int32_t *result,
                                        uint32_t *errorCode) {
  if (errorCode == nullptr) {
    return -1;
  }
  if (name1 == nullptr || name2 == nullptr) {
    *errorCode = MIRREL_ERR_ARGUMENT;
    return -1;
  }
  if (result == nullptr) {
    *errorCode = MIRREL_ERR_NO_RESULT;
    return -1;
  }
  return guarded(errorCode, [&]() -> int32_t {
    mirrel::Result<bool> same = mirrel::sameTypicalForm(name1, name2);
    if (!same.ok()) {
      *errorCode = static_cast<uint32_t>(same.code());
      return -1;
    }
    *result = same.value() ? 0 : -1;
    return 0;
  });
}
