// Owners for the object library's handles: each object is released by its
// own destroy call exactly once, on every path.  Shared by both programs.
#ifndef TOKEN_LIBRARY_OBJECTS_H_
#define TOKEN_LIBRARY_OBJECTS_H_

#include <cstdint>

#include "asn1x509/asn1x509.h"

namespace token {

template <typename Handle, int32_t (*CreateFn)(Handle *, uint32_t *), int32_t (*DestroyFn)(Handle, uint32_t *)>
class LibraryObject {
 public:
  LibraryObject() = default;
  ~LibraryObject() { Reset(); }
  LibraryObject(const LibraryObject &) = delete;
  LibraryObject &operator=(const LibraryObject &) = delete;

  // Creates the object; on failure returns false with *err set by the
  // library.  An object held before is released first.  The library's own
  // code is handed on as the exported call gives it: each caller in both
  // programs names the failure in a message of its own.
  [[nodiscard]] bool Create(uint32_t *err) {
    Reset();
    Handle h = nullptr;
    if (CreateFn(&h, err) != 0) return false;
    handle_ = h;
    return true;
  }
  // Destroys the object; returns the destroy call's result (0 when nothing
  // was held).
  int32_t Reset(uint32_t *err = nullptr) {
    if (handle_ == nullptr) return 0;
    uint32_t ignored = 0;
    int32_t rc = DestroyFn(handle_, err != nullptr ? err : &ignored);
    handle_ = nullptr;
    return rc;
  }
  Handle get() const { return handle_; }
  // For calls that load into a caller-made object through a pointer.
  Handle *address() { return &handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  Handle handle_ = nullptr;
};

using NameObject = LibraryObject<X509NameHandle, X509NameObjectCreate, X509NameObjectDestroy>;
using CertObject = LibraryObject<X509CertHandle, X509CertObjectCreate, X509CertObjectDestroy>;
using Pkcs8Object =
    LibraryObject<PKCS8PrivateKeyInfoHandle, PKCS8PrivateKeyInfoObjectCreate, PKCS8PrivateKeyInfoObjectDestroy>;
using Pkcs1PrivateKeyObject =
    LibraryObject<PKCS1RSAPrivateKeyHandle, PKCS1RSAPrivateKeyObjectCreate, PKCS1RSAPrivateKeyObjectDestroy>;
using Pkcs1PublicKeyObject =
    LibraryObject<PKCS1RSAPublicKeyHandle, PKCS1RSAPublicKeyObjectCreate, PKCS1RSAPublicKeyObjectDestroy>;

}  // namespace token

#endif  // TOKEN_LIBRARY_OBJECTS_H_
