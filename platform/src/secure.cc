#include "platform/secure.h"

#include <cstring>

namespace platform {

void SecureWipe(void *data, size_t size) {
  if (data != nullptr && size != 0) explicit_bzero(data, size);
}

}  // namespace platform
