// The entries of the listing, made directly.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sarnet/listing_run.h"

namespace {

// The validity line as it is written, with its line end.
std::string Line(const X509Time &time) { return std::string(sarnet::ValidityLine(time).data()) + "\n"; }

std::string Validity(int32_t kind, const std::string &chars) {
  return Line(X509Time{kind, chars.data(), static_cast<uint32_t>(chars.size())});
}

TEST(SarnetValidityLine, UtcTimeGetsTheCenturyAndLosesTheZ) {
  EXPECT_EQ(Validity(X509_TIME_UTC, "491231235959Z"), "20491231235959\n");
  EXPECT_EQ(Validity(X509_TIME_UTC, "990101000000Z"), "20990101000000\n");
  EXPECT_EQ(Validity(X509_TIME_UTC, "500101000000Z"), "20500101000000\n");
}

TEST(SarnetValidityLine, GeneralizedTimeLosesOnlyTheZ) {
  EXPECT_EQ(Validity(X509_TIME_GENERALIZED, "20500101000000Z"), "20500101000000\n");
  EXPECT_EQ(Validity(X509_TIME_GENERALIZED, "20500101000000"), "20500101000000\n");
  // Any kind other than UTCTime is taken as GeneralizedTime.
  EXPECT_EQ(Validity(7, "19991231235959Z"), "19991231235959\n");
}

TEST(SarnetValidityLine, OverlongTimesAreCutToTheLineBuffer) {
  EXPECT_EQ(Validity(X509_TIME_GENERALIZED, std::string(40, '1')), std::string(31, '1') + "\n");
  EXPECT_EQ(Validity(X509_TIME_UTC, std::string(40, '2')), "20" + std::string(29, '2') + "\n");
  // The final Z is judged on the text as cut.
  EXPECT_EQ(Validity(X509_TIME_GENERALIZED, std::string(30, '3') + "ZZZZ"), std::string(30, '3') + "\n");
}

TEST(SarnetValidityLine, EmptyTimeGivesAnEmptyLineOrTheCentury) {
  EXPECT_EQ(Validity(X509_TIME_GENERALIZED, ""), "\n");
  EXPECT_EQ(Validity(X509_TIME_UTC, ""), "20\n");
  EXPECT_EQ(Line(X509Time{X509_TIME_GENERALIZED, nullptr, 5}), "\n");
}

TEST(SarnetBasicConstraints, NoExtensionsMeansAnEntryWithoutLookup) {
  // CN=Taro as a UTF8String.
  const unsigned char der[] = {0x30, 0x0f, 0x31, 0x0d, 0x30, 0x0b, 0x06, 0x03, 0x55,
                               0x04, 0x03, 0x0c, 0x04, 0x54, 0x61, 0x72, 0x6f};
  token::NameObject name;
  uint32_t err = 0;
  ASSERT_TRUE(name.Create(&err));
  const Pdu pdu = {der, sizeof der};
  ASSERT_EQ(X509NameObjectSetPduBER(name.get(), &pdu, &err), 0);
  // The extension handle is never used when the presence count is 0.
  X509CertParam record{};
  record.notBefore = {X509_TIME_UTC, "240102030405Z", 13};
  std::vector<sarnet::Entry> entries;
  const token::Outcome appended = sarnet::AppendEntry(name.get(), record, &entries);
  EXPECT_EQ(appended.code(), 0);
  EXPECT_STREQ(appended.message().c_str(), "");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_STREQ(entries[0].subject.c_str(), "CN=Taro");
  EXPECT_STREQ(entries[0].commonName.c_str(), "Taro");
  EXPECT_STREQ(entries[0].notBefore.data(), "20240102030405");
  EXPECT_STREQ(entries[0].notAfter.data(), "");
}

TEST(SarnetBasicConstraints, LookupFailureOtherThanAbsentIsReported) {
  X509CertParam record{};
  record.extensionCount = 1;
  std::vector<sarnet::Entry> entries;
  const token::Outcome appended = sarnet::AppendEntry(nullptr, record, &entries);
  EXPECT_EQ(appended.code(), -1);
  EXPECT_TRUE(entries.empty());
  char expected[128];
  std::snprintf(expected, sizeof expected, "error:basicConstraintsの取得に失敗しました。code=0x%08X",
                ASN1X509_ERR_ARGUMENT);
  EXPECT_STREQ(appended.message().c_str(), expected);
}

TEST(SarnetReader, RunWithoutModuleClosesEverything) {
  CSmartCardReader reader;
  sarnet::ListingRun run(reader, "/nonexistent/certRead.txt");
  EXPECT_EQ(run.Run("/nonexistent/module.so").code(), -8);
  EXPECT_EQ(reader.GetFunctionListPtr(), nullptr);
  EXPECT_EQ(reader.GetSessionHandle(), 0u);
}

}  // namespace
