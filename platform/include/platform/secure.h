// Memory that held secrets: wiped before it is released.
#ifndef PLATFORM_SECURE_H_
#define PLATFORM_SECURE_H_

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <span>

namespace platform {

// Overwrites memory in a way the compiler may not drop.
void SecureWipe(void *data, size_t size);

// A heap buffer of a fixed size whose bytes are wiped before release.
// Allocation failure leaves it empty (data() == nullptr) instead of throwing.
class SecureBuffer {
 public:
  SecureBuffer() = default;
  ~SecureBuffer() { Release(); }
  SecureBuffer(const SecureBuffer &) = delete;
  SecureBuffer &operator=(const SecureBuffer &) = delete;
  SecureBuffer(SecureBuffer &&o) noexcept : data_(std::move(o.data_)), size_(o.size_) { o.size_ = 0; }
  SecureBuffer &operator=(SecureBuffer &&o) noexcept {
    if (this != &o) {
      Release();
      data_ = std::move(o.data_);
      size_ = o.size_;
      o.size_ = 0;
    }
    return *this;
  }

  // Returns false when the memory cannot be had.  A size of 0 succeeds
  // with an empty buffer.
  [[nodiscard]] bool Allocate(size_t size) {
    Release();
    if (size == 0) return true;
    data_.reset(new (std::nothrow) unsigned char[size]);
    if (!data_) return false;
    size_ = size;
    return true;
  }
  // Copies `bytes` in (they may lie in the old contents), then wipes and
  // releases the old contents.  False, the old contents kept, when the
  // memory cannot be had.
  [[nodiscard]] bool Assign(std::span<const unsigned char> bytes) {
    std::unique_ptr<unsigned char[]> fresh;
    if (!bytes.empty()) {
      fresh.reset(new (std::nothrow) unsigned char[bytes.size()]);
      if (!fresh) return false;
      std::memcpy(fresh.get(), bytes.data(), bytes.size());
    }
    Release();
    data_ = std::move(fresh);
    size_ = bytes.size();
    return true;
  }
  void Release() {
    if (data_) SecureWipe(data_.get(), size_);
    data_.reset();
    size_ = 0;
  }
  unsigned char *data() { return data_.get(); }
  const unsigned char *data() const { return data_.get(); }
  size_t size() const { return size_; }
  std::span<const unsigned char> span() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<unsigned char[]> data_;
  size_t size_ = 0;
};

}  // namespace platform

#endif  // PLATFORM_SECURE_H_
