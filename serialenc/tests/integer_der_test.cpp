// The INTEGER encoder's steps on their own: length rules, the skipping of
// redundant leading bytes, and the steps' failure contract.
#include "integer_der.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace tesk {
namespace {

using Bytes = std::vector<unsigned char>;

// ---------------------------------------------------------------- lengths

struct ContentLengthCase {
  int32_t value;
  uint32_t length;
};

TEST(IntegerLength, ShortestTwosComplement) {
  const ContentLengthCase cases[] = {
      {0, 1},          {1, 1},          {0x7F, 1},        {0x80, 2},        {0x7FFF, 2},
      {0x8000, 3},     {0x7FFFFF, 3},   {0x800000, 4},    {INT32_MAX, 4},   {-1, 1},
      {-0x80, 1},      {-0x81, 2},      {-0x8000, 2},     {-0x8001, 3},     {-0x800000, 3},
      {-0x800001, 4},  {INT32_MIN, 4},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(integerContentLength(c.value), c.length) << c.value;
  }
}

TEST(IntegerLength, LengthFieldSizeAtEachBoundary) {
  const struct {
    uint32_t content;
    uint32_t fieldSize;
  } cases[] = {
      {0, 1},         {0x7F, 1},       {0x80, 2},         {0xFF, 2},          {0x100, 3},
      {0xFFFF, 3},    {0x10000, 4},    {0xFFFFFF, 4},     {0x1000000, 5},     {0xFFFFFFFF, 5},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(lengthFieldSize(c.content), c.fieldSize) << c.content;
  }
}

// ------------------------------------------------------- redundant bytes

struct SkipCase {
  Bytes input;
  uint32_t skip;
};

TEST(RedundantLeadingBytes, OnlyRedundantSignBytesAreSkipped) {
  const SkipCase cases[] = {
      {{0x01, 0x80}, 0},
      {{0x00, 0x00, 0xC8}, 1},
      {{0x00, 0x7F}, 1},
      {{0x00, 0x00}, 1},
      {{0x00, 0x00, 0x00, 0x00}, 3},  // never the last byte
      {{0x00, 0x80}, 0},              // needed: keeps 0x80 positive
      {{0x00, 0x00, 0x01, 0x02}, 2},
      {{0xFF, 0xFF, 0x80}, 2},
      {{0xFF, 0x7F}, 0},              // needed: keeps 0x7F negative
      {{0xFF, 0x80, 0x00}, 1},
      {{0xFF, 0xFF}, 1},
      {{0x80, 0x01}, 0},
      {{0x00}, 0},
      {{0xFF}, 0},
      {{0x12, 0x00}, 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(redundantLeadingBytes(c.input.data(), static_cast<uint32_t>(c.input.size())), c.skip)
        << ::testing::PrintToString(c.input);
  }
}

// ------------------------------------------------------------ calculations

TEST(CalLength, IntegerFormAddsToRunningTotal) {
  uint32_t total = 10;
  IntegerLengthInfo info{};
  ASSERT_EQ(ZK_ASN1_CalLengthOfIntegerPDUDER(0x800000, &total, &info), StepCode::ok);
  EXPECT_EQ(info.total, 6u);
  EXPECT_EQ(info.lengthFieldSize, 1u);
  EXPECT_EQ(info.contentLength, 4u);
  EXPECT_EQ(info.skip, 0u);
  EXPECT_EQ(total, 16u);
}

TEST(CalLength, ByteFormRecordsSkipAndLongLengthField) {
  Bytes serial(300, 0x11);
  serial.insert(serial.begin(), {0x00, 0x00});
  const ByteString bytes{static_cast<uint32_t>(serial.size()), serial.data()};
  uint32_t total = 0;
  IntegerLengthInfo info{};
  ASSERT_EQ(ZK_ASN1_CalLengthOfIntegerStringPDUDER(&bytes, &total, &info), StepCode::ok);
  EXPECT_EQ(info.skip, 2u);
  EXPECT_EQ(info.contentLength, 300u);
  EXPECT_EQ(info.lengthFieldSize, 3u);
  EXPECT_EQ(info.total, 304u);
  EXPECT_EQ(total, 304u);
}

TEST(CalLength, RejectedInputs) {
  const unsigned char one = 0x01;
  IntegerLengthInfo info{};
  uint32_t total = 0;
  const struct {
    ByteString bytes;
    uint32_t runningTotal;
    const char *reason;
  } cases[] = {
      {{0, &one}, 0, "empty byte string"},
      {{1, nullptr}, 0, "bytes missing although a length is given"},
      {{1, &one}, std::numeric_limits<uint32_t>::max() - 2, "running total would pass 32 bits"},
  };
  for (const auto &c : cases) {
    total = c.runningTotal;
    EXPECT_EQ(ZK_ASN1_CalLengthOfIntegerStringPDUDER(&c.bytes, &total, &info), StepCode::invalidArgument)
        << c.reason;
    EXPECT_EQ(total, c.runningTotal) << c.reason << ": running total must stay";
  }
  const ByteString fine{1, &one};
  EXPECT_EQ(ZK_ASN1_CalLengthOfIntegerStringPDUDER(nullptr, &total, &info), StepCode::invalidArgument);
  EXPECT_EQ(ZK_ASN1_CalLengthOfIntegerStringPDUDER(&fine, nullptr, &info), StepCode::invalidArgument);
  EXPECT_EQ(ZK_ASN1_CalLengthOfIntegerPDUDER(1, &total, nullptr), StepCode::invalidArgument);
}

// --------------------------------------------------------------- encoding

TEST(Encode, OutputAreaTooSmallFailsWithoutWriting) {
  uint32_t total = 0;
  IntegerLengthInfo info{};
  ASSERT_EQ(ZK_ASN1_CalLengthOfIntegerPDUDER(128, &total, &info), StepCode::ok);
  Bytes out(total - 1, 0xEE);
  OutputCursor cursor{total - 1, out.data()};
  EXPECT_EQ(ZK_ASN1_EncodeIntegerDER(128, &info, &cursor), StepCode::outputTooSmall);
  EXPECT_EQ(out, Bytes(total - 1, 0xEE));
  EXPECT_EQ(cursor.remaining, total - 1);

  const unsigned char serial[] = {0x01, 0x02};
  const ByteString bytes{2, serial};
  total = 0;
  ASSERT_EQ(ZK_ASN1_CalLengthOfIntegerStringPDUDER(&bytes, &total, &info), StepCode::ok);
  cursor = {total - 1, out.data()};
  EXPECT_EQ(ZK_ASN1_EncodeIntegerStringDER(&bytes, &info, &cursor), StepCode::outputTooSmall);
}

TEST(Encode, BadLengthFieldSizeFailsAfterTheTag) {
  for (uint32_t fieldSize : {0u, 6u}) {
    const IntegerLengthInfo info{3, fieldSize, 1, 0};
    Bytes out(8, 0xEE);
    OutputCursor cursor{8, out.data()};
    EXPECT_EQ(ZK_ASN1_EncodeIntegerDER(5, &info, &cursor), StepCode::invalidArgument) << fieldSize;
    EXPECT_EQ(out[0], 0x02) << "the tag byte is already written";
    EXPECT_EQ(out[1], 0xEE);
    EXPECT_EQ(cursor.remaining, 7u);
  }
}

// An info record whose parts do not add up to its total must never make
// the encoder write past the cursor.
TEST(Encode, InconsistentInfoNeverWritesPastTheCursor) {
  const unsigned char serial[] = {0x01, 0x02, 0x03, 0x04};
  const ByteString bytes{4, serial};
  const struct {
    IntegerLengthInfo info;
    StepCode expected;
    const char *reason;
  } cases[] = {
      {{3, 1, 4, 0}, StepCode::outputTooSmall, "total smaller than header plus content"},
      {{0, 1, 4, 0}, StepCode::outputTooSmall, "total zero"},
      {{6, 1, 4, 1}, StepCode::invalidArgument, "skip plus content beyond the string"},
      {{6, 1, 5, 0}, StepCode::invalidArgument, "content longer than the string"},
  };
  for (const auto &c : cases) {
    Bytes out(3, 0xEE);
    OutputCursor cursor{3, out.data()};
    if (c.info.total > 3) {
      out.resize(c.info.total, 0xEE);
      cursor = {c.info.total, out.data()};
    }
    EXPECT_EQ(ZK_ASN1_EncodeIntegerStringDER(&bytes, &c.info, &cursor), c.expected) << c.reason;
  }
  const IntegerLengthInfo tooLong{7, 1, 5, 0};
  Bytes out(7);
  OutputCursor cursor{7, out.data()};
  EXPECT_EQ(ZK_ASN1_EncodeIntegerDER(1, &tooLong, &cursor), StepCode::invalidArgument)
      << "a 32-bit value has at most four content bytes";
}

TEST(Encode, CursorAdvancesByTheTotal) {
  uint32_t total = 0;
  IntegerLengthInfo info{};
  ASSERT_EQ(ZK_ASN1_CalLengthOfIntegerPDUDER(-129, &total, &info), StepCode::ok);
  Bytes out(total + 2, 0xEE);
  OutputCursor cursor{total + 2, out.data()};
  ASSERT_EQ(ZK_ASN1_EncodeIntegerDER(-129, &info, &cursor), StepCode::ok);
  EXPECT_EQ(cursor.position, out.data() + total);
  EXPECT_EQ(cursor.remaining, 2u);
  EXPECT_EQ(out, (Bytes{0x02, 0x02, 0xFF, 0x7F, 0xEE, 0xEE}));
}

TEST(Encode, EmptyStringFails) {
  const IntegerLengthInfo info{3, 1, 1, 0};
  Bytes out(3);
  OutputCursor cursor{3, out.data()};
  const unsigned char one = 1;
  const ByteString empty{0, &one};
  EXPECT_EQ(ZK_ASN1_EncodeIntegerStringDER(&empty, &info, &cursor), StepCode::invalidArgument);
}

}  // namespace
}  // namespace tesk
