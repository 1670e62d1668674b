// Key identifier decoding, rendering, comparison and the trust anchor
// lookup.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "key_id_text.h"
#include "testtoken/testtoken.h"
#include "trust_anchor_file.h"

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

}  // namespace
