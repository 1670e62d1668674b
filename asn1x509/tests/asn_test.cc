// Generic values under a DirectoryString CHOICE description and an
// IA5String description, used the way the name libraries use them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "asn1x509/asn1x509.h"
#include "openssl_helper.h"

namespace asn1x509::testing {
namespace {

const AsnTypeDesc kAlternatives[] = {
    {ASN_TYPE_PRIMITIVE, 20, "teletexString", nullptr, 0},   {ASN_TYPE_PRIMITIVE, 19, "printableString", nullptr, 0},
    {ASN_TYPE_PRIMITIVE, 30, "bmpString", nullptr, 0},       {ASN_TYPE_PRIMITIVE, 28, "universalString", nullptr, 0},
    {ASN_TYPE_PRIMITIVE, 12, "utf8String", nullptr, 0},      {ASN_TYPE_PRIMITIVE, 22, "ia5String", nullptr, 0},
};
const AsnTypeDesc kDirectoryString{ASN_TYPE_CHOICE, 0, nullptr, kAlternatives, 6};
const AsnTypeDesc kIa5{ASN_TYPE_PRIMITIVE, 22, nullptr, nullptr, 0};

class Asn {
 public:
  Asn() { EXPECT_EQ(AsnObjectCreate(&handle_, &err_), 0); }
  ~Asn() {
    EXPECT_EQ(AsnClose(handle_, &err_), 0);
    EXPECT_EQ(AsnObjectDestroy(handle_, &err_), 0);
  }
  Asn(const Asn &) = delete;
  Asn &operator=(const Asn &) = delete;
  AsnObjectHandle h() const { return handle_; }
  uint32_t *err() { return &err_; }

 private:
  AsnObjectHandle handle_ = nullptr;
  uint32_t err_ = 0;
};

struct ChoiceCase {
  int32_t choice;
  const char *path;
  Bytes der;
};

const ChoiceCase kChoices[] = {
    {1, "teletexString", {0x14, 0x02, 'a', 'b'}},
    {2, "printableString", {0x13, 0x02, 'J', 'P'}},
    {3, "bmpString", {0x1E, 0x04, 0x65, 0xE5, 0x67, 0x2C}},
    {4, "universalString", {0x1C, 0x04, 0x00, 0x00, 0x00, 0x41}},
    {5, "utf8String", {0x0C, 0x03, 0xE6, 0x9D, 0xB1}},
    {6, "ia5String", {0x16, 0x01, '@'}},
    {5, "utf8String", {0x0C, 0x00}},
};

class DirectoryStringDecode : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(DirectoryStringDecode, ChoiceLengthAddressAndCopy) {
  const ChoiceCase &c = GetParam();
  const Bytes content(c.der.begin() + 2, c.der.end());
  Asn asn;
  Pdu pdu{c.der.data(), static_cast<uint32_t>(c.der.size())};
  ASSERT_EQ(AsnOpenFromMem(asn.h(), &kDirectoryString, &pdu, asn.err()), 0);
  ASSERT_EQ(AsnDecode(asn.h(), "/", asn.err()), 0);
  int32_t choice = 0;
  ASSERT_EQ(AsnCalNumberOfChoice(asn.h(), "/", &choice, asn.err()), 0);
  EXPECT_EQ(choice, c.choice);

  const std::string slashed = std::string("/") + c.path;
  for (const char *path : {c.path, slashed.c_str(), "/"}) {
    uint32_t length = 99;
    ASSERT_EQ(AsnCalLengthOfValFld(asn.h(), path, &length, asn.err()), 0) << path;
    EXPECT_EQ(length, content.size());
    const unsigned char *address = nullptr;
    ASSERT_EQ(AsnCalAddressOfValFld(asn.h(), path, &address, &length, asn.err()), 0) << path;
    EXPECT_EQ(address, c.der.data() + 2) << "inside the caller's bytes";
    EXPECT_EQ(length, content.size());
  }
  Bytes copy(content.size() + 1);
  uint32_t got = 0;
  ASSERT_EQ(AsnGetOctDER(asn.h(), c.path, copy.data(), static_cast<uint32_t>(copy.size()), &got, asn.err()), 0);
  copy.resize(got);
  EXPECT_EQ(copy, content);

  // Any other alternative is not selected.
  const char *other = c.choice == 5 ? "bmpString" : "utf8String";
  uint32_t length = 0;
  EXPECT_EQ(AsnCalLengthOfValFld(asn.h(), other, &length, asn.err()), -1);
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_CHOICE);
}

INSTANTIATE_TEST_SUITE_P(EachAlternative, DirectoryStringDecode, ::testing::ValuesIn(kChoices));

TEST(AsnValue, EncodeUtf8Alternative) {
  const Bytes text{'J', 'O', 'H', 'N', ' ', 'S', 'M', 'I', 'T', 'H'};
  Asn asn;
  ASSERT_EQ(AsnOpenNew(asn.h(), &kDirectoryString, asn.err()), 0);
  int32_t choice = 0;
  EXPECT_EQ(AsnCalNumberOfChoice(asn.h(), "/", &choice, asn.err()), -1) << "nothing selected yet";
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_CHOICE);
  ASSERT_EQ(AsnSetOctDER(asn.h(), "utf8String", text.data(), static_cast<uint32_t>(text.size()), asn.err()), 0);
  ASSERT_EQ(AsnCalNumberOfChoice(asn.h(), "/", &choice, asn.err()), 0);
  EXPECT_EQ(choice, 5);
  uint32_t length = 0;
  ASSERT_EQ(AsnCalLengthOfEnc(asn.h(), "/", &length, asn.err()), 0);
  EXPECT_EQ(length, 12u);
  Bytes out(length);
  uint32_t written = 0;
  ASSERT_EQ(AsnEncodeToMemDER(asn.h(), "/", out.data(), length, &written, asn.err()), 0);
  Bytes expected(text.size() + 2);
  expected[0] = 0x0C;
  expected[1] = 0x0A;
  std::copy(text.begin(), text.end(), expected.begin() + 2);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(written, 12u);

  // Too small a buffer is refused, nothing written past it.
  Bytes small(11, 0xEE);
  EXPECT_EQ(AsnEncodeToMemDER(asn.h(), "/", small.data(), 11, &written, asn.err()), -1);
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_BUFFER);
}

TEST(AsnValue, EmptyAndLongUtf8Values) {
  for (size_t size : {size_t{0}, size_t{127}, size_t{128}, size_t{256}, size_t{70000}}) {
    const Bytes text(size, 'x');
    Asn asn;
    ASSERT_EQ(AsnOpenNew(asn.h(), &kDirectoryString, asn.err()), 0);
    ASSERT_EQ(AsnSetOctDER(asn.h(), "/utf8String", text.data(), static_cast<uint32_t>(size), asn.err()), 0);
    uint32_t length = 0;
    ASSERT_EQ(AsnCalLengthOfEnc(asn.h(), "/", &length, asn.err()), 0);
    Bytes out(length);
    uint32_t written = 0;
    ASSERT_EQ(AsnEncodeToMemDER(asn.h(), "/", out.data(), length, &written, asn.err()), 0);
    // Read back through the decoder: the writer's framing is what it accepts.
    Asn back;
    Pdu pdu{out.data(), written};
    ASSERT_EQ(AsnOpenFromMem(back.h(), &kDirectoryString, &pdu, back.err()), 0);
    ASSERT_EQ(AsnDecode(back.h(), "/", back.err()), 0) << size;
    uint32_t contentLength = 0;
    ASSERT_EQ(AsnCalLengthOfValFld(back.h(), "utf8String", &contentLength, back.err()), 0);
    EXPECT_EQ(contentLength, size);
  }
}

TEST(AsnValue, Ia5WithoutExplicitDecode) {
  const Bytes der{0x16, 0x05, 'a', '@', 'b', '.', 'c'};
  Asn asn;
  Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  ASSERT_EQ(AsnOpenFromMem(asn.h(), &kIa5, &pdu, asn.err()), 0);
  const unsigned char *address = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(AsnCalAddressOfValFld(asn.h(), "/", &address, &length, asn.err()), 0);
  EXPECT_EQ(address, der.data() + 2);
  EXPECT_EQ(length, 5u);
  int32_t choice = 0;
  EXPECT_EQ(AsnCalNumberOfChoice(asn.h(), "/", &choice, asn.err()), -1);
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_CHOICE);
}

struct Rejected {
  const char *reason;
  Bytes der;
  uint32_t expected;
};

const Rejected kRejected[] = {
    {"no alternative has this tag (OCTET STRING)", {0x04, 0x01, 'x'}, ASN1X509_ERR_STRUCTURE},
    {"empty input", {}, ASN1X509_ERR_STRUCTURE},
    {"two values", {0x0C, 0x00, 0x0C, 0x00}, ASN1X509_ERR_DER},
    {"length beyond the input", {0x0C, 0x02, 'x'}, ASN1X509_ERR_DER},
    {"constructed string (BER)", {0x2C, 0x03, 0x0C, 0x01, 'x'}, ASN1X509_ERR_DER},
    {"non-minimal long-form length", {0x0C, 0x81, 0x01, 'x'}, ASN1X509_ERR_DER},
};

TEST(AsnValue, DecodeRejections) {
  for (const Rejected &r : kRejected) {
    Asn asn;
    Pdu pdu{r.der.data(), static_cast<uint32_t>(r.der.size())};
    ASSERT_EQ(AsnOpenFromMem(asn.h(), &kDirectoryString, &pdu, asn.err()), 0) << r.reason;
    EXPECT_EQ(AsnDecode(asn.h(), "/", asn.err()), -1) << r.reason;
    EXPECT_EQ(*asn.err(), r.expected) << r.reason;
  }
}

TEST(AsnValue, PathsStatesAndDescriptions) {
  Asn asn;
  uint32_t length = 0;
  EXPECT_EQ(AsnCalLengthOfValFld(asn.h(), "/", &length, asn.err()), -1) << "not opened";
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_STATE);
  const Bytes der{0x0C, 0x01, 'x'};
  Pdu pdu{der.data(), 3};
  ASSERT_EQ(AsnOpenFromMem(asn.h(), &kDirectoryString, &pdu, asn.err()), 0);
  EXPECT_EQ(AsnCalLengthOfValFld(asn.h(), "/nosuch", &length, asn.err()), -1);
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_PATH);
  EXPECT_EQ(AsnCalLengthOfValFld(asn.h(), "", &length, asn.err()), -1);
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_PATH);
  EXPECT_EQ(AsnDecode(asn.h(), "utf8String", asn.err()), -1) << "only the root decodes";
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_PATH);
  EXPECT_EQ(AsnSetOctDER(asn.h(), "/", der.data(), 1, asn.err()), -1) << "a CHOICE needs an alternative";
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_CHOICE);
  Bytes small(0);
  EXPECT_EQ(AsnGetOctDER(asn.h(), "/", nullptr, 0, &length, asn.err()), -1);
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_BUFFER);
  EXPECT_EQ(length, 1u) << "the needed size is reported";

  const AsnTypeDesc sameTags[] = {{ASN_TYPE_PRIMITIVE, 12, "a", nullptr, 0}, {ASN_TYPE_PRIMITIVE, 12, "b", nullptr, 0}};
  const AsnTypeDesc ambiguous{ASN_TYPE_CHOICE, 0, nullptr, sameTags, 2};
  const AsnTypeDesc sequence{ASN_TYPE_PRIMITIVE, 16, nullptr, nullptr, 0};
  const AsnTypeDesc unnamed[] = {{ASN_TYPE_PRIMITIVE, 12, nullptr, nullptr, 0}};
  const AsnTypeDesc noNames{ASN_TYPE_CHOICE, 0, nullptr, unnamed, 1};
  EXPECT_EQ(AsnOpenNew(asn.h(), &ambiguous, asn.err()), -1);
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_UNSUPPORTED);
  EXPECT_EQ(AsnOpenNew(asn.h(), &sequence, asn.err()), -1);
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_UNSUPPORTED);
  EXPECT_EQ(AsnOpenNew(asn.h(), &noNames, asn.err()), -1);
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_ARGUMENT);
  EXPECT_EQ(AsnOpenNew(asn.h(), nullptr, asn.err()), -1);
  EXPECT_EQ(*asn.err(), ASN1X509_ERR_ARGUMENT);
}

TEST(AsnValue, SetRefusesContentsThatAreNotDer) {
  const AsnTypeDesc integer{ASN_TYPE_PRIMITIVE, 2, nullptr, nullptr, 0};
  struct Case {
    const char *what;
    Bytes contents;
    int32_t status;
  } cases[] = {
      {"one octet", {0x05}, 0},
      {"needed sign octet", {0x00, 0x80}, 0},
      {"empty INTEGER", {}, -1},
      {"redundant leading zero", {0x00, 0x05}, -1},
  };
  for (const Case &c : cases) {
    Asn asn;
    ASSERT_EQ(AsnOpenNew(asn.h(), &integer, asn.err()), 0);
    EXPECT_EQ(AsnSetOctDER(asn.h(), "/", c.contents.data(), static_cast<uint32_t>(c.contents.size()), asn.err()),
              c.status)
        << c.what;
    if (c.status != 0) {
      EXPECT_EQ(*asn.err(), ASN1X509_ERR_DER) << c.what;
    }
  }
}

TEST(AsnValue, CompareObjid) {
  const int32_t cn[] = {2, 5, 4, 3};
  const int32_t o[] = {2, 5, 4, 10};
  const int32_t prefix[] = {2, 5, 4};
  AsnObjid a{cn, 4}, b{o, 4}, c{prefix, 3}, same{cn, 4};
  uint32_t err = 0;
  EXPECT_EQ(AsnCompareObjid(&a, &same, &err), 0);
  EXPECT_EQ(AsnCompareObjid(&a, &b, &err), 1);
  EXPECT_EQ(AsnCompareObjid(&a, &c, &err), 1);
  EXPECT_EQ(AsnCompareObjid(&a, nullptr, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_ARGUMENT);
}

}  // namespace
}  // namespace asn1x509::testing
