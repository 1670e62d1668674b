// The DER reader and writer: accepted framings with what they yield,
// refused framings each with its reason, and content rules per type.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>

#include "der.h"

namespace asn1x509::der {
namespace {

using Bytes = std::vector<uint8_t>;

struct Accepted {
  const char *what;
  Bytes input;
  uint8_t tag;
  size_t headerLength;
  size_t contentLength;
};

Bytes WithContent(Bytes header, size_t n) {
  header.resize(header.size() + n, 0x41);
  return header;
}

const Accepted kAccepted[] = {
    {"empty SEQUENCE", {0x30, 0x00}, 0x30, 2, 0},
    {"NULL", {0x05, 0x00}, 0x05, 2, 0},
    {"short form 127", WithContent({0x04, 0x7F}, 127), 0x04, 2, 127},
    {"long form 128", WithContent({0x04, 0x81, 0x80}, 128), 0x04, 3, 128},
    {"long form 256", WithContent({0x04, 0x82, 0x01, 0x00}, 256), 0x04, 4, 256},
    {"long form 65536", WithContent({0x04, 0x83, 0x01, 0x00, 0x00}, 65536), 0x04, 5, 65536},
    {"context constructed [3]", {0xA3, 0x02, 0x05, 0x00}, 0xA3, 2, 2},
    {"context primitive [1]", {0x81, 0x01, 0x00}, 0x81, 2, 1},
    {"application class tag", {0x41, 0x00}, 0x41, 2, 0},
    {"SET", {0x31, 0x00}, 0x31, 2, 0},
};

class ReaderAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(ReaderAccepts, ElementAndRoundTrip) {
  const Accepted &a = GetParam();
  Input in(a.input);
  Element e;
  ASSERT_TRUE(in.ReadAnyElement(&e)) << a.what;
  EXPECT_TRUE(in.empty());
  EXPECT_EQ(e.tag, a.tag);
  EXPECT_EQ(e.whole.size(), a.input.size());
  EXPECT_EQ(e.contents.size(), a.contentLength);
  EXPECT_EQ(e.contents.data(), a.input.data() + a.headerLength);
  EXPECT_EQ(HeaderLength(a.contentLength), a.headerLength);
  Bytes written;
  ASSERT_TRUE(Output(&written).AddElement(e.tag, e.contents.span()));
  EXPECT_EQ(written, a.input) << a.what;
}

INSTANTIATE_TEST_SUITE_P(Table, ReaderAccepts, ::testing::ValuesIn(kAccepted));

struct Refused {
  const char *reason;
  Bytes input;
};

const Refused kRefused[] = {
    {"empty input", {}},
    {"identifier without length", {0x30}},
    {"high-tag-number form", {0x1F, 0x20, 0x00}},
    {"context high-tag-number form", {0xBF, 0x81, 0x00, 0x00}},
    {"universal tag 0 (end-of-contents)", {0x00, 0x00}},
    {"indefinite length", {0x30, 0x80, 0x00, 0x00}},
    {"long form below 128", {0x04, 0x81, 0x05, 1, 2, 3, 4, 5}},
    {"long form with a leading zero octet", WithContent({0x04, 0x82, 0x00, 0x80}, 128)},
    {"five length octets", {0x04, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00}},
    {"reserved length octet 0xFF", {0x04, 0xFF}},
    {"length octets cut short", {0x04, 0x82, 0x01}},
    {"contents beyond the input", {0x04, 0x03, 0x01, 0x02}},
    {"long length beyond the input", WithContent({0x04, 0x82, 0x01, 0x00}, 255)},
    {"primitive SEQUENCE", {0x10, 0x00}},
    {"primitive SET", {0x11, 0x00}},
    {"constructed OCTET STRING (BER)", {0x24, 0x00}},
    {"constructed UTF8String (BER)", {0x2C, 0x00}},
};

class ReaderRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(ReaderRefuses, ViewDoesNotMove) {
  const Refused &r = GetParam();
  Input in(r.input);
  Element e;
  EXPECT_FALSE(in.ReadAnyElement(&e)) << r.reason;
  EXPECT_EQ(in.size(), r.input.size()) << r.reason;
}

INSTANTIATE_TEST_SUITE_P(Table, ReaderRefuses, ::testing::ValuesIn(kRefused));

TEST(Reader, TypedReadsDoNotMoveOnMismatch) {
  const Bytes bytes{0x02, 0x01, 0x05, 0x04, 0x00};
  Input in(bytes);
  Input contents;
  EXPECT_FALSE(in.ReadElement(kOctetString, &contents));
  EXPECT_EQ(in.size(), 5u);
  bool present = true;
  ASSERT_TRUE(in.ReadOptionalElement(kBoolean, &contents, &present));
  EXPECT_FALSE(present);
  ASSERT_TRUE(in.ReadOptionalElement(kInteger, &contents, &present));
  EXPECT_TRUE(present);
  EXPECT_EQ(contents.size(), 1u);
  Input whole;
  ASSERT_TRUE(in.ReadElementWithHeader(kOctetString, &whole, &contents));
  EXPECT_EQ(whole.size(), 2u);
  EXPECT_TRUE(contents.empty());
  EXPECT_TRUE(in.empty());
  uint8_t tag = 0;
  EXPECT_FALSE(in.PeekTag(&tag));
  Input rest;
  EXPECT_FALSE(in.ReadBytes(1, &rest));
}

TEST(Reader, OptionalElementMalformedFails) {
  const Bytes bytes{0x01, 0x05, 0xFF};
  Input in(bytes);
  Input contents;
  bool present = false;
  EXPECT_FALSE(in.ReadOptionalElement(kBoolean, &contents, &present));
  EXPECT_EQ(in.size(), 3u);
}

struct IntegerCase {
  const char *what;
  Bytes contents;
  bool valid;
};

const IntegerCase kIntegers[] = {
    {"zero", {0x00}, true},
    {"127", {0x7F}, true},
    {"128 needs a zero octet", {0x00, 0x80}, true},
    {"-1", {0xFF}, true},
    {"-129", {0xFF, 0x7F}, true},
    {"empty", {}, false},
    {"redundant zero octet", {0x00, 0x7F}, false},
    {"redundant 0xFF octet", {0xFF, 0x80}, false},
};

TEST(Contents, Integers) {
  for (const IntegerCase &c : kIntegers) {
    EXPECT_EQ(IsValidInteger(Input(c.contents)), c.valid) << c.what;
  }
  int32_t v = 0;
  EXPECT_TRUE(ParseSmallNonNegative(Input(Bytes{0x7F, 0xFF, 0xFF, 0xFF}), &v));
  EXPECT_EQ(v, 0x7FFFFFFF);
  EXPECT_FALSE(ParseSmallNonNegative(Input(Bytes{0x00, 0x80, 0x00, 0x00, 0x00}), &v)) << "2^31 is too large";
  EXPECT_FALSE(ParseSmallNonNegative(Input(Bytes{0x80}), &v)) << "negative";
}

TEST(Contents, Booleans) {
  bool value = false;
  EXPECT_TRUE(ParseBoolean(Input(Bytes{0xFF}), &value));
  EXPECT_TRUE(value);
  EXPECT_TRUE(ParseBoolean(Input(Bytes{0x00}), &value));
  EXPECT_FALSE(value);
  EXPECT_FALSE(ParseBoolean(Input(Bytes{0x01}), &value)) << "DER TRUE is 0xFF";
  EXPECT_FALSE(ParseBoolean(Input(Bytes{}), &value)) << "empty";
  EXPECT_FALSE(ParseBoolean(Input(Bytes{0xFF, 0xFF}), &value)) << "two octets";
}

TEST(Contents, BitStrings) {
  Input bits;
  uint32_t length = 0;
  EXPECT_TRUE(ParseBitString(Input(Bytes{0x00}), &bits, &length));
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(ParseBitString(Input(Bytes{0x03, 0xA8}), &bits, &length));
  EXPECT_EQ(length, 5u);
  EXPECT_FALSE(ParseBitString(Input(Bytes{}), &bits, &length)) << "no unused-bit octet";
  EXPECT_FALSE(ParseBitString(Input(Bytes{0x08, 0x00}), &bits, &length)) << "unused count above 7";
  EXPECT_FALSE(ParseBitString(Input(Bytes{0x01}), &bits, &length)) << "unused bits without octets";
  EXPECT_FALSE(ParseBitString(Input(Bytes{0x03, 0xA9}), &bits, &length)) << "unused bits not zero";
}

struct OidCase {
  const char *what;
  Bytes contents;
  std::vector<int32_t> arcs;  // empty: refused
};

const OidCase kOids[] = {
    {"commonName", {0x55, 0x04, 0x03}, {2, 5, 4, 3}},
    {"rsaEncryption", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}, {1, 2, 840, 113549, 1, 1, 1}},
    {"first arc 0", {0x00}, {0, 0}},
    {"2.999", {0x88, 0x37}, {2, 999}},
    {"largest arc", {0x55, 0x87, 0xFF, 0xFF, 0xFF, 0x7F}, {2, 5, 0x7FFFFFFF}},
    // A decoded identifier must be writable again (names are rebuilt from
    // decoded AVAs): the largest second arc under 2 included.
    {"largest second arc", {0x88, 0x80, 0x80, 0x80, 0x4F}, {2, 0x7FFFFFFF}},
    {"second arc beyond 31 bits", {0x88, 0x80, 0x80, 0x80, 0x50}, {}},
    {"empty", {}, {}},
    {"redundant 0x80 group", {0x55, 0x80, 0x04}, {}},
    {"last subidentifier cut short", {0x55, 0x84}, {}},
    {"arc beyond 31 bits", {0x55, 0x88, 0x80, 0x80, 0x80, 0x00}, {}},
};

TEST(Contents, ObjectIdentifiersAndWriter) {
  for (const OidCase &c : kOids) {
    std::vector<int32_t> arcs{42};
    const bool ok = ParseObjectIdentifier(Input(c.contents), &arcs);
    EXPECT_EQ(ok, !c.arcs.empty()) << c.what;
    EXPECT_EQ(IsValidObjectIdentifier(Input(c.contents)), !c.arcs.empty()) << c.what;
    if (!ok) {
      EXPECT_EQ(arcs, std::vector<int32_t>{42}) << "nothing appended on failure: " << c.what;
      continue;
    }
    arcs.erase(arcs.begin());
    EXPECT_EQ(arcs, c.arcs) << c.what;
    ASSERT_TRUE(IsEncodableObjectIdentifier(arcs));
    Bytes written;
    ASSERT_TRUE(Output(&written).AddObjectIdentifier(arcs));
    Bytes expected{kObjectIdentifier, static_cast<uint8_t>(c.contents.size())};
    expected.insert(expected.end(), c.contents.begin(), c.contents.end());
    EXPECT_EQ(written, expected) << c.what;
  }
  EXPECT_FALSE(IsEncodableObjectIdentifier(std::vector<int32_t>{2})) << "one arc";
  EXPECT_FALSE(IsEncodableObjectIdentifier(std::vector<int32_t>{3, 1})) << "first arc above 2";
  EXPECT_FALSE(IsEncodableObjectIdentifier(std::vector<int32_t>{1, 40})) << "second arc 40 under 1";
  EXPECT_FALSE(IsEncodableObjectIdentifier(std::vector<int32_t>{2, 5, -1})) << "negative arc";
}

TEST(Contents, Times) {
  auto text = [](const char *s) { return Bytes(s, s + std::char_traits<char>::length(s)); };
  EXPECT_TRUE(IsValidUtcTime(Input(text("491231235959Z"))));
  EXPECT_TRUE(IsValidGeneralizedTime(Input(text("20500229000000Z"))));
  EXPECT_FALSE(IsValidUtcTime(Input(text("4912312359Z")))) << "no seconds";
  EXPECT_FALSE(IsValidUtcTime(Input(text("491231235959+0900")))) << "offset instead of Z";
  EXPECT_FALSE(IsValidUtcTime(Input(text("491331235959Z")))) << "month 13";
  EXPECT_FALSE(IsValidUtcTime(Input(text("491231245959Z")))) << "hour 24";
  EXPECT_FALSE(IsValidGeneralizedTime(Input(text("20500101000000.5Z")))) << "fraction";
  EXPECT_FALSE(IsValidGeneralizedTime(Input(text("205001010000a0Z")))) << "letter";
}

// Length octets the writer produces, and the lengths it refuses: a header
// holds at most four long-form length octets, so contents of 4 GiB and
// more are refused with nothing written.
struct WriterLength {
  const char *what;
  size_t contentLength;
  Bytes lengthOctets;  // empty: refused
};

const WriterLength kWriterLengths[] = {
    {"zero", 0, {0x00}},
    {"largest short form", 127, {0x7F}},
    {"smallest long form", 128, {0x81, 0x80}},
    {"three octets", 0x10000, {0x83, 0x01, 0x00, 0x00}},
    {"largest four octets", 0xFFFFFFFFu, {0x84, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"4 GiB", 0x100000000u, {}},
    {"4 GiB + 1", 0x100000001u, {}},
    {"five octets' worth", 0xFFFFFFFFFFu, {}},
    {"largest size_t (eight octets' worth)", SIZE_MAX, {}},
};

TEST(Writer, LengthBounds) {
  // 4 GiB + 1 readable bytes that cost nothing until touched: a refused
  // element must fail before it reads its contents.
  const size_t regionSize = 0x100000001u;
  void *region = mmap(nullptr, regionSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  for (const WriterLength &w : kWriterLengths) {
    uint8_t octets[kMaxLengthOctets];
    std::fill(std::begin(octets), std::end(octets), 0xEE);
    const size_t n = EncodeLength(w.contentLength, octets);
    EXPECT_EQ(Bytes(octets, octets + n), w.lengthOctets) << w.what;
    if (w.lengthOctets.empty()) {
      EXPECT_EQ(std::count(std::begin(octets), std::end(octets), 0xEE), 5) << w.what << ": nothing written";
      if (w.contentLength <= regionSize) {
        Bytes out{0x30};
        const std::span<const uint8_t> contents(static_cast<const uint8_t *>(region), w.contentLength);
        EXPECT_FALSE(Output(&out).AddElement(kOctetString, contents)) << w.what;
        EXPECT_EQ(out, Bytes{0x30}) << w.what << ": nothing appended";
      }
    } else {
      EXPECT_EQ(HeaderLength(w.contentLength), 1 + n) << w.what;
    }
  }
  munmap(region, regionSize);
}

TEST(Writer, NestedElementsWidenTheirLengths) {
  Bytes out;
  Output w(&out);
  const size_t outer = w.BeginElement(kSequence);
  const size_t inner = w.BeginElement(kSet);
  ASSERT_TRUE(w.AddElement(kOctetString, Bytes(200, 0x11)));
  ASSERT_TRUE(w.EndElement(inner));
  ASSERT_TRUE(w.AddElement(kNull, {}));
  ASSERT_TRUE(w.EndElement(outer));
  // Read back with the reader: framing and contents match.
  Input in(out);
  Input seq, set, octets, null;
  ASSERT_TRUE(in.ReadElement(kSequence, &seq));
  EXPECT_TRUE(in.empty());
  ASSERT_TRUE(seq.ReadElement(kSet, &set));
  ASSERT_TRUE(seq.ReadElement(kNull, &null));
  EXPECT_TRUE(seq.empty());
  ASSERT_TRUE(set.ReadElement(kOctetString, &octets));
  EXPECT_EQ(octets.size(), 200u);
  EXPECT_EQ(out.size(), 3u + 3u + 3u + 200u + 2u);
}

}  // namespace
}  // namespace asn1x509::der
