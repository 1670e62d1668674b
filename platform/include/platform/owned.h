// Ownership of objects a C library hands out together with the function
// that frees them (OpenSSL's X509_free, EVP_PKEY_free, ...).  Header only,
// so that every library and test can use it without linking anything.
#ifndef PLATFORM_OWNED_H_
#define PLATFORM_OWNED_H_

#include <memory>

namespace platform {

// A deleter that calls `Free`.
template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T *object) const {
    Free(object);
  }
};

// platform::Owned<X509, X509_free> owns an X509 and frees it with X509_free.
template <class T, auto Free>
using Owned = std::unique_ptr<T, FreeWith<Free>>;

}  // namespace platform

#endif  // PLATFORM_OWNED_H_
