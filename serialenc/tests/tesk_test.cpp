// libTesk through its exported C interface: the worked examples, edge
// cases, failures, and agreement with OpenSSL's INTEGER encoder.
#include "tesk/tesk.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/bn.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/owned.h"

namespace {

using Bytes = std::vector<unsigned char>;

X509CertParam integerRecord(int32_t value) {
  X509CertParam record{};
  record.serial.serialForm = 0;
  record.serial.serialValue = value;
  return record;
}

X509CertParam byteRecord(const Bytes &bytes, int32_t form = 1) {
  X509CertParam record{};
  record.serial.serialForm = form;
  record.serial.serialBytes = bytes.data();
  record.serial.serialLength = static_cast<uint32_t>(bytes.size());
  return record;
}

struct Outcome {
  int32_t code;
  Bytes der;
};

Outcome encode(const X509CertParam &record) {
  uint32_t length = 0;
  unsigned char *bytes = nullptr;
  EncodeErrorInfo info{};
  const int32_t code = Tesk(&record, &length, &bytes, &info);
  Outcome out{code, {}};
  if (code == 0) {
    out.der.assign(bytes, bytes + length);
    FreeASN1Memory(bytes);
  }
  return out;
}

Bytes withHeader(Bytes header, const Bytes &content) {
  header.insert(header.end(), content.begin(), content.end());
  return header;
}

// ---------------------------------------------------------- worked examples

TEST(TeskExamples, ByteStringForm) {
  const struct {
    Bytes serial;
    Bytes der;
  } cases[] = {
      {{0x01, 0x80}, {0x02, 0x02, 0x01, 0x80}},
      {{0x00, 0x00, 0xC8}, {0x02, 0x02, 0x00, 0xC8}},
      {{0x00, 0x7F}, {0x02, 0x01, 0x7F}},
      {{0x00, 0x00}, {0x02, 0x01, 0x00}},
      {{0xFF, 0xFF, 0x80}, {0x02, 0x01, 0x80}},
      {{0xFF, 0x7F}, {0x02, 0x02, 0xFF, 0x7F}},
      {{0x80, 0x01}, {0x02, 0x02, 0x80, 0x01}},
      {{0x00}, {0x02, 0x01, 0x00}},
      {{0xFF}, {0x02, 0x01, 0xFF}},
      {{0x00, 0x00, 0x00, 0x05}, {0x02, 0x01, 0x05}},
      {{0xFF, 0xFF, 0xFF, 0xFE}, {0x02, 0x01, 0xFE}},
  };
  for (const auto &c : cases) {
    const Outcome out = encode(byteRecord(c.serial));
    EXPECT_EQ(out.code, 0) << ::testing::PrintToString(c.serial);
    EXPECT_EQ(out.der, c.der) << ::testing::PrintToString(c.serial);
  }
}

TEST(TeskExamples, AnyNonZeroFormIsTheByteStringForm) {
  const Bytes serial{0x00, 0x7F};
  for (int32_t form : {1, 2, -1, std::numeric_limits<int32_t>::min()}) {
    EXPECT_EQ(encode(byteRecord(serial, form)).der, (Bytes{0x02, 0x01, 0x7F})) << form;
  }
}

TEST(TeskExamples, IntegerForm) {
  const struct {
    int32_t value;
    Bytes der;
  } cases[] = {
      {0, {0x02, 0x01, 0x00}},
      {127, {0x02, 0x01, 0x7F}},
      {128, {0x02, 0x02, 0x00, 0x80}},
      {-1, {0x02, 0x01, 0xFF}},
      {-128, {0x02, 0x01, 0x80}},
      {-129, {0x02, 0x02, 0xFF, 0x7F}},
      {0x800000, {0x02, 0x04, 0x00, 0x80, 0x00, 0x00}},
      {0x7FFFFF, {0x02, 0x03, 0x7F, 0xFF, 0xFF}},
      {-0x800000, {0x02, 0x03, 0x80, 0x00, 0x00}},
      {-0x800001, {0x02, 0x04, 0xFF, 0x7F, 0xFF, 0xFF}},
      {std::numeric_limits<int32_t>::max(), {0x02, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}},
      {std::numeric_limits<int32_t>::min(), {0x02, 0x04, 0x80, 0x00, 0x00, 0x00}},
  };
  for (const auto &c : cases) {
    const Outcome out = encode(integerRecord(c.value));
    EXPECT_EQ(out.code, 0) << c.value;
    EXPECT_EQ(out.der, c.der) << c.value;
  }
}

// ------------------------------------------------------- long serials

TEST(TeskLongSerials, TwentyBytesWithTopBitSetStayNegative) {
  Bytes serial(20, 0x33);
  serial[0] = 0x8A;
  EXPECT_EQ(encode(byteRecord(serial)).der, withHeader({0x02, 0x14}, serial));
}

TEST(TeskLongSerials, TwentyOneBytesKeepTheirNeededLeadingZero) {
  Bytes serial(21, 0x33);
  serial[0] = 0x00;
  serial[1] = 0x8A;
  EXPECT_EQ(encode(byteRecord(serial)).der, withHeader({0x02, 0x15}, serial));
}

TEST(TeskLongSerials, LengthFieldForms) {
  const struct {
    std::size_t content;
    Bytes header;
  } cases[] = {
      {22, {0x02, 0x16}},          // the largest encoding served from a pool cell
      {23, {0x02, 0x17}},          // the smallest that takes a large block
      {127, {0x02, 0x7F}},
      {128, {0x02, 0x81, 0x80}},
      {200, {0x02, 0x81, 0xC8}},
      {255, {0x02, 0x81, 0xFF}},
      {256, {0x02, 0x82, 0x01, 0x00}},
      {300, {0x02, 0x82, 0x01, 0x2C}},
      {70000, {0x02, 0x83, 0x01, 0x11, 0x70}},
  };
  for (const auto &c : cases) {
    Bytes serial(c.content);
    for (std::size_t i = 0; i < serial.size(); ++i) serial[i] = static_cast<unsigned char>(i * 7 + 1);
    serial[0] = 0x42;
    EXPECT_EQ(encode(byteRecord(serial)).der, withHeader(c.header, serial)) << c.content;
  }
}

TEST(TeskLongSerials, RedundantPaddingOfAnyLengthIsDropped) {
  Bytes serial(400, 0x00);
  serial.push_back(0x01);
  EXPECT_EQ(encode(byteRecord(serial)).der, (Bytes{0x02, 0x01, 0x01}));
  Bytes negative(400, 0xFF);
  EXPECT_EQ(encode(byteRecord(negative)).der, (Bytes{0x02, 0x01, 0xFF}));
}

// ---------------------------------------------------------------- failures

struct FailureCase {
  const char *reason;
  X509CertParam record;
  bool nullRecord;
  int32_t code;
  const char *step;
};

TEST(TeskFailures, RejectedInputsLeaveOutputsUntouched) {
  const unsigned char one = 0x01;
  X509CertParam empty = byteRecord({});
  empty.serial.serialBytes = &one;
  X509CertParam noBytes{};
  noBytes.serial.serialForm = 1;
  noBytes.serial.serialLength = 4;
  const FailureCase cases[] = {
      {"empty byte string", empty, false, 7, "ZK_ASN1_CalLengthOfIntegerStringPDUDER"},
      {"byte string without bytes", noBytes, false, 7, "ZK_ASN1_CalLengthOfIntegerStringPDUDER"},
      {"no record", {}, true, 7, "Tesk"},
  };
  for (const auto &c : cases) {
    uint32_t length = 0xDEADBEEF;
    auto *const sentinel = reinterpret_cast<unsigned char *>(&length);
    unsigned char *bytes = sentinel;
    EncodeErrorInfo info{};
    std::memset(info.stepName, 'x', sizeof info.stepName);
    EXPECT_EQ(Tesk(c.nullRecord ? nullptr : &c.record, &length, &bytes, &info), c.code) << c.reason;
    EXPECT_STREQ(info.stepName, c.step) << c.reason;
    EXPECT_EQ(info.stepCode, c.code) << c.reason;
    EXPECT_EQ(length, 0xDEADBEEFu) << c.reason;
    EXPECT_EQ(bytes, sentinel) << c.reason;
  }
}

TEST(TeskFailures, MissingOutputPointers) {
  const X509CertParam record = integerRecord(5);
  uint32_t length = 0;
  unsigned char *bytes = nullptr;
  EncodeErrorInfo info{};
  EXPECT_EQ(Tesk(&record, nullptr, &bytes, &info), 7);
  EXPECT_STREQ(info.stepName, "Tesk");
  EXPECT_EQ(bytes, nullptr);
  info = {};
  EXPECT_EQ(Tesk(&record, &length, nullptr, &info), 7);
  EXPECT_EQ(info.stepCode, 7);
  EXPECT_EQ(length, 0u);
}

TEST(TeskFailures, MissingInfoStillReportsTheCode) {
  const X509CertParam record = byteRecord({});
  uint32_t length = 0;
  unsigned char *bytes = nullptr;
  EXPECT_EQ(Tesk(&record, &length, &bytes, nullptr), 7);
  EXPECT_EQ(Tesk(nullptr, &length, &bytes, nullptr), 7);
  const X509CertParam fine = integerRecord(1);
  ASSERT_EQ(Tesk(&fine, &length, &bytes, nullptr), 0);
  FreeASN1Memory(bytes);
}

TEST(TeskFailures, InfoIsNotWrittenOnSuccess) {
  const X509CertParam record = integerRecord(1);
  uint32_t length = 0;
  unsigned char *bytes = nullptr;
  EncodeErrorInfo info{};
  std::memset(&info, 0x5A, sizeof info);
  ASSERT_EQ(Tesk(&record, &length, &bytes, &info), 0);
  FreeASN1Memory(bytes);
  EXPECT_EQ(info.stepName[0], 0x5A);
  EXPECT_EQ(info.stepCode, 0x5A5A5A5A);
}

TEST(TeskFree, NullIsIgnored) { FreeASN1Memory(nullptr); }

// ------------------------------------------------------ agreement with OpenSSL

using AsnInteger = platform::Owned<ASN1_INTEGER, ASN1_INTEGER_free>;
using Bn = platform::Owned<BIGNUM, BN_free>;

Bytes i2d(const ASN1_INTEGER *value) {
  unsigned char *der = nullptr;
  const int n = i2d_ASN1_INTEGER(value, &der);
  EXPECT_GT(n, 0);
  Bytes out(der, der + (n > 0 ? n : 0));
  OPENSSL_free(der);
  return out;
}

// OpenSSL's own reading of big-endian two's complement bytes: the
// unsigned magnitude, minus 2^(8n) when the sign bit is set.
Bytes opensslEncodingOf(const Bytes &twosComplement) {
  Bn value(BN_bin2bn(twosComplement.data(), static_cast<int>(twosComplement.size()), nullptr));
  if ((twosComplement[0] & 0x80) != 0) {
    Bn modulus(BN_new());
    EXPECT_EQ(BN_set_bit(modulus.get(), static_cast<int>(8 * twosComplement.size())), 1);
    EXPECT_EQ(BN_sub(value.get(), value.get(), modulus.get()), 1);
  }
  AsnInteger integer(BN_to_ASN1_INTEGER(value.get(), nullptr));
  return i2d(integer.get());
}

// Both sides give the minimal DER of the two's complement value.  The one
// place the rules differ: an empty byte string, which Tesk rejects (7)
// and OpenSSL's BN_bin2bn would read as zero (02 01 00).
TEST(TeskVsOpenSsl, RandomByteSerialsEncodeAlike) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(1, 40);
  std::uniform_int_distribution<int> padding(0, 3);
  for (int i = 0; i < 5000; ++i) {
    Bytes serial(static_cast<std::size_t>(length(rng)));
    for (auto &b : serial) b = static_cast<unsigned char>(byte(rng));
    // Bias towards the interesting leading bytes: sign padding of
    // either kind, needed or redundant.
    const int pad = padding(rng);
    if (pad > 0) serial.insert(serial.begin(), static_cast<std::size_t>(pad), (i % 2 == 0) ? 0x00 : 0xFF);
    const Outcome ours = encode(byteRecord(serial));
    ASSERT_EQ(ours.code, 0) << ::testing::PrintToString(serial);
    ASSERT_EQ(ours.der, opensslEncodingOf(serial)) << ::testing::PrintToString(serial);
  }
}

TEST(TeskVsOpenSsl, IntegerFormEncodesAlike) {
  std::mt19937 rng(77);
  std::uniform_int_distribution<int32_t> any(std::numeric_limits<int32_t>::min(),
                                             std::numeric_limits<int32_t>::max());
  std::vector<int32_t> values{0, 1, -1, 127, 128, -128, -129, 255, 256, 32767, 32768, -32768, -32769,
                              0x7FFFFF, 0x800000, -0x800000, -0x800001,
                              std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()};
  for (int i = 0; i < 2000; ++i) values.push_back(any(rng) >> (i % 32));
  for (const int32_t v : values) {
    AsnInteger integer(ASN1_INTEGER_new());
    ASSERT_EQ(ASN1_INTEGER_set_int64(integer.get(), v), 1);
    const Outcome ours = encode(integerRecord(v));
    ASSERT_EQ(ours.code, 0) << v;
    ASSERT_EQ(ours.der, i2d(integer.get())) << v;
  }
}

}  // namespace
