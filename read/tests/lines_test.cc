// The line writers of the listing, called directly.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "sarnet/cert_reader.h"

namespace {

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};

// What the writer put into a temporary file.
std::string Written(const std::function<void(std::FILE *)> &write) {
  std::unique_ptr<std::FILE, FileCloser> f(std::tmpfile());
  if (!f) return "<no tmpfile>";
  write(f.get());
  std::rewind(f.get());
  std::string text;
  char buf[256];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
  return text;
}

std::string Validity(int32_t kind, const std::string &chars) {
  CSmartCardReaderForCertRead reader;
  X509Time time{kind, chars.data(), static_cast<uint32_t>(chars.size())};
  return Written([&](std::FILE *f) { reader.WriteValidityLine(time, f); });
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
  CSmartCardReaderForCertRead reader;
  X509Time none{X509_TIME_GENERALIZED, nullptr, 5};
  EXPECT_EQ(Written([&](std::FILE *f) { reader.WriteValidityLine(none, f); }), "\n");
}

TEST(SarnetBasicConstraints, NoExtensionsMeansAnEntryWithoutLookup) {
  CSmartCardReaderForCertRead reader;
  uint8_t write = 7;
  // The handle is never used when the presence count is 0.
  const token::Outcome checked = reader.CheckBasicConstraints(nullptr, 0, &write);
  EXPECT_EQ(checked.code(), 0);
  EXPECT_EQ(write, 1);
  EXPECT_STREQ(checked.message().c_str(), "");
}

TEST(SarnetBasicConstraints, LookupFailureOtherThanAbsentIsReported) {
  CSmartCardReaderForCertRead reader;
  uint8_t write = 7;
  const token::Outcome checked = reader.CheckBasicConstraints(nullptr, 1, &write);
  EXPECT_EQ(checked.code(), -1);
  EXPECT_EQ(write, 0);
  char expected[128];
  std::snprintf(expected, sizeof expected, "error:basicConstraintsの取得に失敗しました。code=0x%08X",
                ASN1X509_ERR_ARGUMENT);
  EXPECT_STREQ(checked.message().c_str(), expected);
}

TEST(SarnetReader, ReadCertificatesWithoutModuleClosesEverything) {
  CSmartCardReaderForCertRead reader;
  EXPECT_EQ(reader.ReadCertificates("/nonexistent/module.so").code(), -8);
  EXPECT_EQ(reader.GetFunctionListPtr(), nullptr);
  EXPECT_EQ(reader.GetSessionHandle(), 0u);
}

}  // namespace
