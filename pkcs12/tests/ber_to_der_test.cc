// BER turned into DER before the strict DER reader walks it.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "pkcs12/ber_to_der.h"

namespace {

using Bytes = std::vector<unsigned char>;

// BER as PKCS#12 producers write it, and what the DER reader gets of it.
TEST(BerToDer, GivesEveryElementAMinimalDefiniteLength) {
  struct Case {
    const char *what;
    Bytes ber;
    std::optional<Bytes> der;  // none: refused as malformed
  };
  auto nested = [](int depth) {
    Bytes b;
    for (int i = 0; i < depth; ++i) b.insert(b.end(), {0x30, 0x80});
    b.insert(b.end(), {0x05, 0x00});
    for (int i = 0; i < depth; ++i) b.insert(b.end(), {0x00, 0x00});
    return b;
  };
  const Case cases[] = {
      {"DER stays", {0x30, 0x03, 0x02, 0x01, 0x05}, Bytes{0x30, 0x03, 0x02, 0x01, 0x05}},
      {"indefinite length", {0x30, 0x80, 0x02, 0x01, 0x05, 0x00, 0x00}, Bytes{0x30, 0x03, 0x02, 0x01, 0x05}},
      {"long form where the short one does", {0x04, 0x82, 0x00, 0x02, 0xAA, 0xBB}, Bytes{0x04, 0x02, 0xAA, 0xBB}},
      {"octet string in pieces",
       {0x24, 0x80, 0x04, 0x01, 0xAA, 0x24, 0x80, 0x04, 0x01, 0xBB, 0x00, 0x00, 0x00, 0x00},
       Bytes{0x04, 0x02, 0xAA, 0xBB}},
      {"pieces that are no octet strings", {0x24, 0x03, 0x02, 0x01, 0x05}, Bytes{0x24, 0x03, 0x02, 0x01, 0x05}},
      {"pieces before, around and after one that is none",
       {0x24, 0x14, 0x24, 0x03, 0x04, 0x01, 0xDD, 0x04, 0x01, 0xAA, 0x24, 0x05, 0x04, 0x01, 0xBB, 0x05, 0x00, 0x24,
        0x03, 0x04, 0x01, 0xCC},
       Bytes{0x24, 0x10, 0x04, 0x01, 0xDD, 0x04, 0x01, 0xAA, 0x24, 0x05, 0x04, 0x01, 0xBB, 0x05, 0x00, 0x04, 0x01,
             0xCC}},
      {"contents that are no elements kept from there on",
       {0x30, 0x08, 0x30, 0x80, 0x02, 0x01, 0x05, 0x00, 0x00, 0xFF},
       Bytes{0x30, 0x06, 0x30, 0x03, 0x02, 0x01, 0x05, 0xFF}},
      {"bytes after the element", {0x05, 0x00, 0xFF}, Bytes{0x05, 0x00}},
      {"high tag number", {0x3F, 0x21, 0x80, 0x05, 0x00, 0x00, 0x00}, Bytes{0x3F, 0x21, 0x02, 0x05, 0x00}},
      {"nested as deep as followed", nested(velkor::kMaxIndefiniteNesting), Bytes{}},
      {"nested deeper", nested(velkor::kMaxIndefiniteNesting + 1), std::nullopt},
      {"no end of contents", {0x30, 0x80, 0x02, 0x01, 0x05}, std::nullopt},
      {"indefinite primitive", {0x04, 0x80, 0x00, 0x00}, std::nullopt},
      {"length beyond the bytes", {0x30, 0x05, 0x02, 0x01}, std::nullopt},
      {"nothing", {}, std::nullopt},
  };
  for (const Case &c : cases) {
    platform::SecureBuffer der;
    const velkor::BerConversion result = velkor::BerToDer(c.ber, &der);
    if (!c.der) {
      EXPECT_EQ(result, velkor::BerConversion::kMalformed) << c.what;
      continue;
    }
    ASSERT_EQ(result, velkor::BerConversion::kOk) << c.what;
    if (c.der->empty()) continue;  // only accepted
    EXPECT_EQ(Bytes(der.data(), der.data() + der.size()), *c.der) << c.what;
  }
  // A SEQUENCE of `count` two-byte elements (empty SETs or NULLs): one
  // element more than a conversion takes, and then just as many.
  auto sequenceOf = [](size_t count, unsigned char tag) {
    const size_t length = 2 * count;
    Bytes b = {0x30, 0x84, static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
               static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
    for (size_t i = 0; i < count; ++i) b.insert(b.end(), {tag, 0x00});
    return b;
  };
  platform::SecureBuffer der;
  EXPECT_EQ(velkor::BerToDer(sequenceOf(velkor::kMaxBerConstructed, 0x31), &der),
            velkor::BerConversion::kTooManyElements);
  EXPECT_EQ(velkor::BerToDer(sequenceOf(velkor::kMaxBerConstructed - 1, 0x31), &der), velkor::BerConversion::kOk);
  EXPECT_EQ(velkor::BerToDer(sequenceOf(velkor::kMaxBerElements, 0x05), &der), velkor::BerConversion::kTooManyElements);
  EXPECT_EQ(velkor::BerToDer(sequenceOf(velkor::kMaxBerElements - 1, 0x05), &der), velkor::BerConversion::kOk);
  // 127 constructed OCTET STRINGs one inside the other, each with 1,000
  // pieces before the next, and a NULL at the bottom, so that none of them
  // is pieces: each piece is looked at a few times, however deep it lies
  // (tried again at every level, the looks would pass kMaxBerElements).
  Bytes nestedStrings = {0x05, 0x00};
  for (int level = 0; level < 127; ++level) {
    Bytes contents;
    for (int i = 0; i < 1000; ++i) contents.insert(contents.end(), {0x04, 0x01, 0xAA});
    contents.insert(contents.end(), nestedStrings.begin(), nestedStrings.end());
    const size_t n = contents.size();
    nestedStrings = {0x24, 0x83, static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 8),
                     static_cast<unsigned char>(n)};
    nestedStrings.insert(nestedStrings.end(), contents.begin(), contents.end());
  }
  ASSERT_EQ(velkor::BerToDer(nestedStrings, &der), velkor::BerConversion::kOk);
}

}  // namespace
