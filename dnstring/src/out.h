// Output of one text-producing call: either a count of the bytes needed
// (size query) or a bounded window of caller memory.  Writing never goes
// past the window; once a piece does not fit, nothing more is written, so
// a cut text is always a prefix of the full text.
#ifndef PARVOX_SRC_OUT_H_
#define PARVOX_SRC_OUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace parvox {

class Out {
 public:
  static Out query() { return Out(nullptr, 0); }
  static Out into(unsigned char *base, int64_t capacity) { return Out(base, capacity < 0 ? 0 : capacity); }

  bool counting() const { return base_ == nullptr; }
  // Bytes counted (size query) or written.
  int64_t used() const { return used_; }
  int64_t remaining() const { return counting() ? INT64_MAX : cap_ - used_; }
  // Write mode only: the window is used up, or a piece was already cut.
  bool full() const { return !counting() && (cut_ || used_ >= cap_); }

  // Add a count without bytes (size queries answering a bound).
  void count(int64_t n) {
    if (counting()) used_ += n;
  }

  // A piece that is written whole or not at all (one character with its
  // escape).
  void whole(const unsigned char *bytes, size_t n) {
    if (counting()) {
      used_ += static_cast<int64_t>(n);
      return;
    }
    if (cut_) return;
    if (static_cast<int64_t>(n) > cap_ - used_) {
      cut_ = true;
      return;
    }
    std::memcpy(base_ + used_, bytes, n);
    used_ += static_cast<int64_t>(n);
  }
  void whole(const char *text, size_t n) { whole(reinterpret_cast<const unsigned char *>(text), n); }
  void byte(unsigned char b) { whole(&b, 1); }

  // A piece that may be cut at the end of the window.
  void prefix(const unsigned char *bytes, size_t n) {
    if (counting()) {
      used_ += static_cast<int64_t>(n);
      return;
    }
    if (cut_) return;
    int64_t room = cap_ - used_;
    size_t take = static_cast<int64_t>(n) > room ? static_cast<size_t>(room) : n;
    if (take > 0) std::memcpy(base_ + used_, bytes, take);
    used_ += static_cast<int64_t>(take);
    if (take < n) cut_ = true;
  }
  void prefix(const char *text, size_t n) { prefix(reinterpret_cast<const unsigned char *>(text), n); }

  // LC_CTYPE has been set for this output already (once per call is
  // enough: nothing in between changes the environment).
  bool localeSelected() const { return localeSelected_; }
  void markLocaleSelected() { localeSelected_ = true; }

  // Store a NUL behind the text when it still fits in the window (not
  // counted), as the C library's wide-to-multibyte conversion does.
  void terminate() {
    if (!counting() && used_ < cap_) base_[used_] = 0;
  }

 private:
  Out(unsigned char *base, int64_t capacity) : base_(base), cap_(capacity) {}
  unsigned char *base_;
  int64_t cap_;
  int64_t used_ = 0;
  bool cut_ = false;
  bool localeSelected_ = false;
};

}  // namespace parvox

#endif  // PARVOX_SRC_OUT_H_
