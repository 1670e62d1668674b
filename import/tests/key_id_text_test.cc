// Key identifier decoding, rendering, comparison and the trust anchor
// lookup; password conversion.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <filesystem>
#include <optional>
#include <fstream>
#include <string>
#include <vector>

#include "ber_to_der.h"
#include "key_id_text.h"
#include "password.h"
#include "testtoken/testtoken.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Twenty() {
  Bytes b;
  for (int i = 0; i < 20; ++i) b.push_back(static_cast<unsigned char>(0xA0 + i));
  return b;
}

// The 59-character line of a 20-byte identifier.
std::string AnchorLine(const Bytes &id, bool upper = false) {
  std::string line;
  char buf[4];
  for (size_t i = 0; i < id.size(); ++i) {
    std::snprintf(buf, sizeof buf, upper ? "%02X" : "%02x", id[i]);
    if (i > 0) line += ' ';
    line += buf;
  }
  return line;
}

TEST(KeyIdText, RendersPairsSixteenToALineWithDoubleBlankAfterTheEighth) {
  std::string text = velkor::RenderKeyIdHex(Twenty());
  EXPECT_EQ(text,
            "a0 a1 a2 a3 a4 a5 a6 a7  a8 a9 aa ab ac ad ae af\r\n"
            "b0 b1 b2 b3\r\n");
  EXPECT_EQ(velkor::RenderKeyIdHex(Bytes{0x00, 0x0f}), "00 0f\r\n");
}

TEST(KeyIdText, DecodesTheAuthorityKeyIdentifier) {
  // SEQUENCE { [0] 01 02 03, [2] 05 }
  Bytes aki = {0x30, 0x08, 0x80, 0x03, 0x01, 0x02, 0x03, 0x82, 0x01, 0x05};
  auto id = velkor::DecodeAuthorityKeyId(aki);
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(Bytes(id->begin(), id->end()), (Bytes{0x01, 0x02, 0x03}));
}

TEST(KeyIdText, RefusesMalformedAuthorityKeyIdentifiers) {
  // no keyIdentifier
  EXPECT_FALSE(velkor::DecodeAuthorityKeyId(Bytes{0x30, 0x03, 0x82, 0x01, 0x05}).has_value());
  // length running past the end
  EXPECT_FALSE(velkor::DecodeAuthorityKeyId(Bytes{0x30, 0x05, 0x80, 0x09, 0x01}).has_value());
  // trailing bytes after the SEQUENCE
  EXPECT_FALSE(velkor::DecodeAuthorityKeyId(Bytes{0x30, 0x03, 0x80, 0x01, 0x01, 0x00}).has_value());
  // indefinite length
  EXPECT_FALSE(velkor::DecodeAuthorityKeyId(Bytes{0x30, 0x80, 0x80, 0x01, 0x01, 0x00, 0x00}).has_value());
  // fields out of order
  EXPECT_FALSE(
      velkor::DecodeAuthorityKeyId(Bytes{0x30, 0x06, 0x82, 0x01, 0x05, 0x80, 0x01, 0x01}).has_value());
  // non-minimal long-form length
  EXPECT_FALSE(velkor::DecodeAuthorityKeyId(Bytes{0x30, 0x81, 0x03, 0x80, 0x01, 0x01}).has_value());
  EXPECT_FALSE(velkor::DecodeAuthorityKeyId(Bytes{}).has_value());
}

TEST(KeyIdText, DecodesTheSubjectKeyIdentifierOnlyWithAShortExactLength) {
  auto id = velkor::DecodeSubjectKeyId(Bytes{0x04, 0x02, 0xAB, 0xCD});
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->size(), 2u);
  EXPECT_FALSE(velkor::DecodeSubjectKeyId(Bytes{0x04, 0x03, 0xAB, 0xCD}).has_value());
  EXPECT_FALSE(velkor::DecodeSubjectKeyId(Bytes{0x04, 0x00}).has_value());
  EXPECT_FALSE(velkor::DecodeSubjectKeyId(Bytes{0x03, 0x01, 0x00}).has_value());
  Bytes longForm(131, 0x11);
  longForm[0] = 0x04;
  longForm[1] = 0x81;  // 129 = 131 - 2, but a long-form marker
  EXPECT_FALSE(velkor::DecodeSubjectKeyId(longForm).has_value());
}

TEST(KeyIdText, ComparesPiecewiseIgnoringCaseAndLayout) {
  std::string rendered = velkor::RenderKeyIdHex(Twenty());
  EXPECT_EQ(velkor::CompareKeyIdText(rendered, AnchorLine(Twenty(), true)), 0);
  EXPECT_EQ(velkor::CompareKeyIdText(rendered, AnchorLine(Twenty())), 0);
  Bytes other = Twenty();
  other[19] ^= 1;
  EXPECT_EQ(velkor::CompareKeyIdText(rendered, AnchorLine(other)), 1);
  Bytes shorter = Twenty();
  shorter.pop_back();
  EXPECT_EQ(velkor::CompareKeyIdText(rendered, AnchorLine(shorter)), 1);
  EXPECT_EQ(velkor::CompareKeyIdText(rendered, ""), 1);
  EXPECT_EQ(velkor::CompareKeyIdText("  \r\n", "  "), 1);
}

class TrustAnchorFile : public ::testing::Test {
 protected:
  testtoken::TempDir dir_{"anchor"};
  std::string path_ = (dir_.path() / "trustAnchor.config").string();
  std::string text_ = velkor::RenderKeyIdHex(Twenty());

  void Write(const std::string &content) {
    std::ofstream out(path_, std::ios::binary);
    out << content;
  }
};

TEST_F(TrustAnchorFile, FindsAnUpperCaseLineAmongOthers) {
  Write("# trusted CAs\n" + AnchorLine(Bytes(20, 0x11)) + "\n" + AnchorLine(Twenty(), true) + "\n");
  EXPECT_EQ(velkor::LookUpTrustAnchor(path_, text_), velkor::decide::Anchor::kListed);
}

TEST_F(TrustAnchorFile, ComparesALastLineWithoutLineFeedAndDropsCarriageReturns) {
  Write(AnchorLine(Twenty()));
  EXPECT_EQ(velkor::LookUpTrustAnchor(path_, text_), velkor::decide::Anchor::kListed);
  Write(AnchorLine(Twenty()) + "\r\n");
  EXPECT_EQ(velkor::LookUpTrustAnchor(path_, text_), velkor::decide::Anchor::kListed);
}

TEST_F(TrustAnchorFile, IgnoresLinesOfAnyOtherLength) {
  std::string doubleBlanks;
  for (size_t i = 0; i < 20; ++i) doubleBlanks += (i ? "  " : "") + AnchorLine(Bytes{Twenty()[i]});
  Write(AnchorLine(Twenty()) + "  \n" + doubleBlanks + "\n");
  EXPECT_EQ(velkor::LookUpTrustAnchor(path_, text_), velkor::decide::Anchor::kNotListed);
}

TEST_F(TrustAnchorFile, EmptyFileListsNothingAndMissingFileIsReported) {
  Write("");
  EXPECT_EQ(velkor::LookUpTrustAnchor(path_, text_), velkor::decide::Anchor::kNotListed);
  EXPECT_EQ(velkor::LookUpTrustAnchor(path_ + ".missing", text_), velkor::decide::Anchor::kNoFile);
  EXPECT_EQ(velkor::LookUpTrustAnchor("", text_), velkor::decide::Anchor::kNoFile);
}

// Only a regular file of at most the size limit is read; anything else is
// reported like a missing file, and never blocks or streams forever.
TEST_F(TrustAnchorFile, OnlyARegularFileWithinTheSizeLimitIsRead) {
  const std::string line = AnchorLine(Twenty()) + "\n";
  const std::string padding = std::string(velkor::kAnchorFileSizeLimit - line.size() - 1, '#') + "\n";
  Write(padding + line);
  EXPECT_EQ(velkor::LookUpTrustAnchor(path_, text_), velkor::decide::Anchor::kListed);
  Write(line + padding + "#");
  EXPECT_EQ(velkor::LookUpTrustAnchor(path_, text_), velkor::decide::Anchor::kNoFile);

  std::filesystem::remove(path_);
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_EQ(velkor::LookUpTrustAnchor(path_, text_), velkor::decide::Anchor::kNoFile);
  std::filesystem::remove(path_);
  std::filesystem::create_symlink("/dev/zero", path_);
  EXPECT_EQ(velkor::LookUpTrustAnchor(path_, text_), velkor::decide::Anchor::kNoFile);
  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);
  EXPECT_EQ(velkor::LookUpTrustAnchor(path_, text_), velkor::decide::Anchor::kNoFile);
}

TEST(PasswordConversion, KeepsWholeCodePointsAndEndsInUtf8) {
  const char *saved = std::setlocale(LC_ALL, nullptr);
  std::string restore = saved ? saved : "C";
  ASSERT_NE(std::setlocale(LC_ALL, "ja_JP.UTF-8"), nullptr) << "ja_JP.UTF-8 locale needed";
  platform::SecureBuffer wide, utf8;
  const char *password = "パス\xF0\x9F\x94\x91";  // includes a character beyond 16 bits
  ASSERT_EQ(velkor::ConvertPassword(password, &wide, &utf8), velkor::PasswordConversion::kOk);
  EXPECT_STREQ(reinterpret_cast<const char *>(utf8.data()), password);
  ASSERT_EQ(velkor::ConvertPassword("", &wide, &utf8), velkor::PasswordConversion::kOk);
  EXPECT_EQ(utf8.data()[0], 0);
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  EXPECT_EQ(velkor::ConvertPassword("\xE3\x83\x91", &wide, &utf8), velkor::PasswordConversion::kConvertFailed);
  std::setlocale(LC_ALL, restore.c_str());
}

TEST(PasswordConversion, RefusesValuesThatAreNoCharacters) {
  unsigned char out[16];
  size_t written = 0;
  const wchar_t surrogate[] = {static_cast<wchar_t>(0xD800)};
  EXPECT_FALSE(velkor::WideToUtf8(surrogate, 1, out, sizeof out, &written));
  const wchar_t tooBig[] = {static_cast<wchar_t>(0x110000)};
  EXPECT_FALSE(velkor::WideToUtf8(tooBig, 1, out, sizeof out, &written));
  const wchar_t ok[] = {L'a', static_cast<wchar_t>(0x3042)};
  ASSERT_TRUE(velkor::WideToUtf8(ok, 2, out, sizeof out, &written));
  EXPECT_EQ(written, 4u);
  EXPECT_FALSE(velkor::WideToUtf8(ok, 2, out, 4, &written));  // no room for the terminator
}

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
