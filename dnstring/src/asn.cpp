#include "asn.h"

#include <limits>

#include "parvox/parvox.h"

namespace parvox {
namespace {

constexpr AsnTypeDesc kDirectoryStringAlternatives[] = {
    {ASN_TYPE_PRIMITIVE, 20, "teletexString", nullptr, 0},
    {ASN_TYPE_PRIMITIVE, 19, "printableString", nullptr, 0},
    {ASN_TYPE_PRIMITIVE, 30, "bmpString", nullptr, 0},
    {ASN_TYPE_PRIMITIVE, 28, "universalString", nullptr, 0},
    {ASN_TYPE_PRIMITIVE, 12, "utf8String", nullptr, 0},
};
constexpr uint32_t kDirectoryStringChoices =
    sizeof kDirectoryStringAlternatives / sizeof kDirectoryStringAlternatives[0];

}  // namespace

const AsnTypeDesc kDirectoryStringType = {ASN_TYPE_CHOICE, 0, "/", kDirectoryStringAlternatives,
                                          kDirectoryStringChoices};
const AsnTypeDesc kEmailAddressType = {ASN_TYPE_PRIMITIVE, 22, "/", nullptr, 0};

Result<const char *> directoryStringPath(int32_t choice) {
  if (choice < 1 || static_cast<uint32_t>(choice) > kDirectoryStringChoices) {
    return failure(PARVOX_ERR_DECODE_CHOICE);
  }
  return kDirectoryStringAlternatives[choice - 1].name;
}

Result<AsnValue> AsnValue::create() {
  AsnObjectHandle h = nullptr;
  uint32_t err = 0;
  if (AsnObjectCreate(&h, &err) != 0) return failure(err);
  return AsnValue(h);
}

AsnValue::~AsnValue() {
  uint32_t err = 0;
  if (open_) (void)AsnClose(handle_, &err);
  if (handle_ != nullptr) (void)AsnObjectDestroy(handle_, &err);
}

Status AsnValue::openFromMem(const AsnTypeDesc &type, const Pdu &pdu) {
  uint32_t err = 0;
  if (AsnOpenFromMem(handle_, &type, &pdu, &err) != 0) return failure(err);
  open_ = true;
  return Status::success();
}

Status AsnValue::openNew(const AsnTypeDesc &type) {
  uint32_t err = 0;
  if (AsnOpenNew(handle_, &type, &err) != 0) return failure(err);
  open_ = true;
  return Status::success();
}

Status AsnValue::decode() {
  uint32_t err = 0;
  if (AsnDecode(handle_, "/", &err) != 0) return failure(err);
  return Status::success();
}

Result<int32_t> AsnValue::choice() {
  uint32_t err = 0;
  int32_t c = 0;
  if (AsnCalNumberOfChoice(handle_, "/", &c, &err) != 0) return failure(err);
  return c;
}

Result<Bytes> AsnValue::content(const char *path) {
  uint32_t err = 0;
  const unsigned char *address = nullptr;
  uint32_t length = 0;
  if (AsnCalAddressOfValFld(handle_, path, &address, &length, &err) != 0) return failure(err);
  if (address == nullptr && length != 0) return failure(PARVOX_ERR_ARGUMENT);
  return Bytes{address, length};
}

Status AsnValue::setContent(const char *path, const unsigned char *bytes, size_t length) {
  if (length > std::numeric_limits<uint32_t>::max()) return failure(PARVOX_ERR_TOO_LARGE);
  static const unsigned char kNothing = 0;
  if (bytes == nullptr) bytes = &kNothing;
  uint32_t err = 0;
  if (AsnSetOctDER(handle_, path, bytes, static_cast<uint32_t>(length), &err) != 0) return failure(err);
  return Status::success();
}

Result<std::vector<unsigned char>> AsnValue::encode() {
  uint32_t err = 0;
  uint32_t length = 0;
  if (AsnCalLengthOfEnc(handle_, "/", &length, &err) != 0) return failure(err);
  std::vector<unsigned char> der(length);
  uint32_t written = 0;
  if (AsnEncodeToMemDER(handle_, "/", der.data(), length, &written, &err) != 0) return failure(err);
  if (written > length) return failure(PARVOX_ERR_TOO_LARGE);
  der.resize(written);
  return der;
}

namespace {

Result<std::vector<unsigned char>> encodeAs(const AsnTypeDesc &type, const char *path, const unsigned char *bytes,
                                            size_t length) {
  Result<AsnValue> value = AsnValue::create();
  if (!value.ok()) return value.status();
  AsnValue &v = value.value();
  TOKENENROL_TRY(v.openNew(type));
  TOKENENROL_TRY(v.setContent(path, bytes, length));
  return v.encode();
}

}  // namespace

Result<std::vector<unsigned char>> encodeDirectoryString(int32_t choice, const unsigned char *bytes, size_t length) {
  Result<const char *> path = directoryStringPath(choice);
  if (!path.ok()) return path.status();
  return encodeAs(kDirectoryStringType, path.value(), bytes, length);
}

Result<std::vector<unsigned char>> encodeEmailAddress(const unsigned char *bytes, size_t length) {
  return encodeAs(kEmailAddressType, "/", bytes, length);
}

}  // namespace parvox
