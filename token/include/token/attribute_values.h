// The one way both programs read attributes of a token object: first the
// lengths, then the values into buffers of exactly those lengths.  The
// module's answers are untrusted: every length is checked, and no value
// beyond kMaxAttributeLength is ever allocated.
#ifndef TOKEN_ATTRIBUTE_VALUES_H_
#define TOKEN_ATTRIBUTE_VALUES_H_

#include <p11-kit/pkcs11.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "platform/secure.h"
#include "token/token_access.h"

namespace token {

// A single attribute value larger than this is refused like memory that
// cannot be had; no certificate or name comes near it.  The import program
// refuses to write a certificate beyond it, so that whatever it writes can
// be read back.
inline constexpr CK_ULONG kMaxAttributeLength = CK_ULONG{1} << 24;

// What one read came to, and the attribute at fault, where there is one.
// Callers decide from the verdict alone (an unreadable object is passed
// over), so the module's answer is not kept.
struct [[nodiscard]] AttributeRead {
  enum Status {
    kOk,                // every value read
    kUnreadable,        // the lengths cannot be had: the object lacks an attribute
    kValuesUnreadable,  // the lengths came, the values did not (or grew meanwhile)
    kNoMemory,          // a value is too long or its buffer could not be had
  };
  Status status = kOk;
  int index = -1;     // the attribute without a length, too long, or grown

  bool operator==(Status other) const { return status == other; }
};

template <size_t N>
class AttributeValues {
 public:
  explicit AttributeValues(const std::array<CK_ATTRIBUTE_TYPE, N> &types) : types_(types) { Release(); }
  AttributeValues(const AttributeValues &) = delete;
  AttributeValues &operator=(const AttributeValues &) = delete;

  AttributeRead Read(TokenReader &reader, CK_OBJECT_HANDLE object) {
    Release();
    CK_RV rv = reader.GetAttributeValue(object, attrs_);
    if (rv != CKR_OK) return {AttributeRead::kUnreadable};
    for (size_t i = 0; i < N; ++i) {
      if (attrs_[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) {
        return {AttributeRead::kUnreadable, static_cast<int>(i)};
      }
    }
    for (size_t i = 0; i < N; ++i) {
      CK_ULONG length = attrs_[i].ulValueLen;
      // An empty value still gets a buffer of its own, so that its pointer
      // is never null.
      if (length > kMaxAttributeLength || !buffers_[i].Allocate(length == 0 ? 1 : length)) {
        Release();
        return {AttributeRead::kNoMemory, static_cast<int>(i)};
      }
      attrs_[i].pValue = buffers_[i].data();
    }
    rv = reader.GetAttributeValue(object, attrs_);
    if (rv != CKR_OK) return {AttributeRead::kValuesUnreadable};
    for (size_t i = 0; i < N; ++i) {
      // A value that grew between the two calls was not stored whole.
      if (attrs_[i].ulValueLen == CK_UNAVAILABLE_INFORMATION || attrs_[i].ulValueLen > buffers_[i].size()) {
        return {AttributeRead::kValuesUnreadable, static_cast<int>(i)};
      }
    }
    return {};
  }

  const CK_ATTRIBUTE &operator[](size_t i) const { return attrs_[i]; }
  std::span<const unsigned char> Bytes(size_t i) const {
    return {static_cast<const unsigned char *>(attrs_[i].pValue), static_cast<size_t>(attrs_[i].ulValueLen)};
  }
  // The same bytes seen as text (identifiers and subjects are compared and
  // kept as byte strings).
  std::string_view Text(size_t i) const {
    return {static_cast<const char *>(attrs_[i].pValue), static_cast<size_t>(attrs_[i].ulValueLen)};
  }
  // The value as a number such as a class or a type; none when the value
  // has another size.
  std::optional<CK_ULONG> Ulong(size_t i) const {
    if (attrs_[i].pValue == nullptr || attrs_[i].ulValueLen != sizeof(CK_ULONG)) return std::nullopt;
    CK_ULONG value = 0;
    std::memcpy(&value, attrs_[i].pValue, sizeof value);
    return value;
  }
  void Release() {
    for (auto &b : buffers_) b.Release();
    for (size_t i = 0; i < N; ++i) attrs_[i] = {types_[i], nullptr, 0};
  }

 private:
  std::array<CK_ATTRIBUTE_TYPE, N> types_;
  std::array<CK_ATTRIBUTE, N> attrs_{};
  std::array<platform::SecureBuffer, N> buffers_;
};

}  // namespace token

#endif  // TOKEN_ATTRIBUTE_VALUES_H_
