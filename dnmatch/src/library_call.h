// Calls into the object library: the status it answered turned into ours,
// and RAII owners for the objects Mirrel creates.
#ifndef MIRREL_SRC_LIBRARY_CALL_H_
#define MIRREL_SRC_LIBRARY_CALL_H_

#include <asn1x509/asn1x509.h>

#include <cstdint>

#include "result.h"

namespace mirrel {

// The library signals failure by a non-zero result (X509 calls) or -1
// (Asn calls) and leaves its code in the error argument; that code is
// passed on unchanged.  A failure that left no code is still a failure.
// The code is taken by reference so that it is read after the call that
// fills it, whatever order the arguments are evaluated in.
inline Status fromLibrary(int32_t rc, const uint32_t &err) noexcept {
  if (rc == 0) {
    return Status::success();
  }
  return err != 0 ? static_cast<Code>(err) : Code::kArgument;
}

// An ASN.1 object: created, opened under a type description, closed and
// destroyed.  finish() closes and destroys and reports the first failure;
// an object still held at scope exit is closed and destroyed quietly.
class AsnObject {
 public:
  AsnObject() = default;
  AsnObject(const AsnObject &) = delete;
  AsnObject &operator=(const AsnObject &) = delete;
  ~AsnObject() { static_cast<void>(finish()); }

  Status create() noexcept {
    uint32_t err = 0;
    return fromLibrary(AsnObjectCreate(&handle_, &err), err);
  }
  Status openFromMem(const AsnTypeDesc *type, const Pdu &pdu) noexcept {
    uint32_t err = 0;
    const Status status = fromLibrary(AsnOpenFromMem(handle_, type, &pdu, &err), err);
    open_ = status.ok();
    return status;
  }
  Status openNew(const AsnTypeDesc *type) noexcept {
    uint32_t err = 0;
    const Status status = fromLibrary(AsnOpenNew(handle_, type, &err), err);
    open_ = status.ok();
    return status;
  }
  AsnObjectHandle get() const noexcept { return handle_; }

  Status finish() noexcept {
    Status first;
    if (handle_ != nullptr && open_) {
      uint32_t err = 0;
      first = fromLibrary(AsnClose(handle_, &err), err);
      open_ = false;
    }
    if (handle_ != nullptr) {
      uint32_t err = 0;
      const Status destroyed = fromLibrary(AsnObjectDestroy(handle_, &err), err);
      handle_ = nullptr;
      if (first.ok()) {
        first = destroyed;
      }
    }
    return first;
  }

 private:
  AsnObjectHandle handle_ = nullptr;
  bool open_ = false;
};

// A name object Mirrel creates for itself; destroyed at scope exit, a
// failing destroy being of no consequence to the caller.
class OwnedName {
 public:
  OwnedName() = default;
  OwnedName(const OwnedName &) = delete;
  OwnedName &operator=(const OwnedName &) = delete;
  ~OwnedName() {
    if (handle_ != nullptr) {
      uint32_t err = 0;
      static_cast<void>(X509NameObjectDestroy(handle_, &err));
    }
  }

  Status create() noexcept {
    uint32_t err = 0;
    return fromLibrary(X509NameObjectCreate(&handle_, &err), err);
  }
  X509NameHandle get() const noexcept { return handle_; }

 private:
  X509NameHandle handle_ = nullptr;
};

}  // namespace mirrel

#endif  // MIRREL_SRC_LIBRARY_CALL_H_
