// Generic values under a DirectoryString CHOICE description: whatever
// decodes re-encodes to the same bytes, and every path answers within the
// input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "asn1x509/asn1x509.h"

namespace {

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

const AsnTypeDesc kAlternatives[] = {
    {ASN_TYPE_PRIMITIVE, 20, "teletexString", nullptr, 0}, {ASN_TYPE_PRIMITIVE, 19, "printableString", nullptr, 0},
    {ASN_TYPE_PRIMITIVE, 30, "bmpString", nullptr, 0},     {ASN_TYPE_PRIMITIVE, 28, "universalString", nullptr, 0},
    {ASN_TYPE_PRIMITIVE, 12, "utf8String", nullptr, 0},    {ASN_TYPE_PRIMITIVE, 22, "ia5String", nullptr, 0},
    {ASN_TYPE_PRIMITIVE, 2, "integer", nullptr, 0},        {ASN_TYPE_PRIMITIVE, 6, "oid", nullptr, 0},
};
const AsnTypeDesc kType{ASN_TYPE_CHOICE, 0, "/", kAlternatives, 8};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 0xFFFFFFFFu) {
    return 0;
  }
  uint32_t err = 0;
  AsnObjectHandle obj = nullptr;
  Require(AsnObjectCreate(&obj, &err) == 0);
  Pdu pdu{data, static_cast<uint32_t>(size)};
  Require(AsnOpenFromMem(obj, &kType, &pdu, &err) == 0);
  if (AsnDecode(obj, "/", &err) == 0) {
    int32_t choice = 0;
    Require(AsnCalNumberOfChoice(obj, "/", &choice, &err) == 0);
    Require(choice >= 1 && choice <= 8);
    const unsigned char *address = nullptr;
    uint32_t length = 0;
    Require(AsnCalAddressOfValFld(obj, kAlternatives[choice - 1].name, &address, &length, &err) == 0);
    Require(address >= data && address + length == data + size);
    uint32_t encodedLength = 0;
    Require(AsnCalLengthOfEnc(obj, "/", &encodedLength, &err) == 0);
    Require(encodedLength == size);
    std::vector<uint8_t> encoded(encodedLength);
    uint32_t written = 0;
    Require(AsnEncodeToMemDER(obj, "/", encoded.data(), encodedLength, &written, &err) == 0);
    Require(written == size && std::memcmp(encoded.data(), data, size) == 0);
    // Setting the same contents through the API gives the same encoding.
    Require(AsnOpenNew(obj, &kType, &err) == 0);
    std::vector<uint8_t> contents(address, address + length);
    Require(AsnSetOctDER(obj, kAlternatives[choice - 1].name, contents.data(), length, &err) == 0);
    Require(AsnEncodeToMemDER(obj, "/", encoded.data(), encodedLength, &written, &err) == 0);
    Require(written == size && std::memcmp(encoded.data(), data, size) == 0);
  }
  Require(AsnClose(obj, &err) == 0);
  Require(AsnObjectDestroy(obj, &err) == 0);
  return 0;
}
