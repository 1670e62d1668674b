// The four lines of an entry: subject, common name, validity; and which
// certificates get one.
#include <gtest/gtest.h>

#include "sarnet_support.h"

namespace sarnet_test {
namespace {

using namespace testtoken;

class SarnetContent : public ::testing::Test {
 protected:
  // Puts the certificates on the token, runs Sarnet and returns the lines.
  std::vector<std::string> ListLines(const std::vector<Certificate> &certs, const Template *extra = nullptr,
                                     EnvMap env = {}) {
    Seed(token_, [&](P11Session &s) {
      int id = 0;
      for (const Certificate &c : certs) s.createCertificate(c.der(), toBytes(std::to_string(++id)), "c", extra);
    });
    for (auto &[k, v] : token_.environment()) env.emplace(k, v);
    last_ = app_.Run({token_.modulePath()}, env);
    EXPECT_EQ(last_.signedExitCode(), 0) << (fs::exists(app_.errorFile()) ? readTextFile(app_.errorFile()) : "");
    return Lines(readTextFile(app_.certFile()));
  }

  SoftHsmToken token_;
  ProgramCopy app_;
  RunResult last_;
};

TEST_F(SarnetContent, CommaIsEscapedOnTheCommonNameLineOnly) {
  auto lines = ListLines({EndEntity(
      simpleName({{"C", "JP", StringType::Printable}, {"O", "Org"}, {"CN", "Doe, John", StringType::Utf8}}))});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "CN=Doe, John,O=Org,C=JP");
  EXPECT_EQ(lines[1], "Doe\\, John");
}

TEST_F(SarnetContent, PrintableStringCommonNameIsCopiedAsStored) {
  auto lines = ListLines({EndEntity(simpleName({{"CN", "Doe, John", StringType::Printable}}))});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "CN=Doe, John");
  EXPECT_EQ(lines[1], "Doe, John");
}

TEST_F(SarnetContent, JapaneseNamesAreWholeOnBothLinesUnderUtf8Locale) {
  struct Row {
    const char *what;
    std::vector<Ava> subject;
    std::string firstLine;
    std::string commonName;
  };
  const Row rows[] = {
      {"bmpString common name, utf8String organisation",
       {{"C", "JP", StringType::Printable}, {"O", "株式会社テスト", StringType::Utf8}, {"CN", "山田太郎", StringType::Bmp}},
       "CN=山田太郎,O=株式会社テスト,C=JP",
       "山田太郎"},
      {"utf8String with a plane-2 kanji",
       {{"C", "JP", StringType::Printable}, {"CN", "𠮷田太郎", StringType::Utf8}},
       "CN=𠮷田太郎,C=JP",
       "𠮷田太郎"},
      {"universalString with U+29E3D",
       {{"C", "JP", StringType::Printable}, {"CN", "𩸽野", StringType::Universal}},
       "CN=𩸽野,C=JP",
       "𩸽野"},
      {"universalString, escaped on the common name line", {{"CN", "𠮷野家 +", StringType::Universal}}, "CN=𠮷野家 +",
       "𠮷野家 \\+"},
  };
  // One listing of all of them: a failing conversion would fail it whole.
  std::vector<Certificate> certs;
  for (const Row &row : rows) certs.push_back(EndEntity(simpleName(row.subject)));
  auto lines = ListLines(certs);
  ASSERT_EQ(lines.size(), 4 * std::size(rows));
  for (const Row &row : rows) {
    size_t entry = 0;
    while (entry < lines.size() && lines[entry] != row.firstLine) entry += 4;
    ASSERT_LT(entry, lines.size()) << row.what << ": no entry";
    EXPECT_EQ(lines[entry + 1], row.commonName) << row.what;
  }
}

TEST_F(SarnetContent, SubjectThatTheLocaleCannotShowFailsWithItsCode) {
  Seed(token_, [](P11Session &s) {
    s.createCertificate(EndEntity(simpleName({{"CN", "山田太郎", StringType::Bmp}})).der(), toBytes("01"), "c");
  });
  EnvMap env = token_.environment();
  env["LC_ALL"] = "C";
  RunResult r = app_.Run({token_.modulePath()}, env);
  EXPECT_EQ(r.signedExitCode(), -1);
  EXPECT_EQ(readTextFile(app_.errorFile()),
            ErrorFileText("error:Subjectの文字列変換に失敗しました。code=0x1E000860", -1));
  EXPECT_EQ(fs::file_size(app_.certFile()), 0u);
}

TEST_F(SarnetContent, SubjectWithoutCommonNameGivesAnEmptySecondLine) {
  auto lines = ListLines({EndEntity(simpleName({{"C", "JP", StringType::Printable}, {"O", "Org"}}))});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "O=Org,C=JP");
  EXPECT_EQ(lines[1], "");
}

TEST_F(SarnetContent, FirstCommonNameInRdnOrderIsShown) {
  Name subject = {{{"C", "JP", StringType::Printable}}, {{"CN", "First"}, {"O", "Multi"}}, {{"CN", "Second"}}};
  auto lines = ListLines({EndEntity(subject)});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], "First");
}

TEST_F(SarnetContent, SubjectAttributeRatherThanTheCertificatesOwnSubjectIsShown) {
  Template extra;
  extra.set(CKA_SUBJECT, nameDer(simpleName({{"O", "Attribute Org"}, {"CN", "Attribute Name"}})));
  auto lines = ListLines({EndEntity(simpleName({{"CN", "Certificate Name"}}))}, &extra);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "CN=Attribute Name,O=Attribute Org");
  EXPECT_EQ(lines[1], "Attribute Name");
}

TEST_F(SarnetContent, UtcTimeYearsAlwaysGetTheCentury20) {
  // UTCTime 99 stands for 1999 and 49 for 2049; the line always says 20.
  auto lines = ListLines({EndEntity(simpleName({{"CN", "Old"}}), Utc(1999, 12, 31, 23, 59, 58),
                                    Utc(2049, 12, 31, 23, 59, 59))});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "20991231235958");
  EXPECT_EQ(lines[3], "20491231235959");
}

TEST_F(SarnetContent, GeneralizedTimeIsWrittenAsItsFourteenDigits) {
  auto lines =
      ListLines({EndEntity(simpleName({{"CN", "Long"}}), Utc(2024, 1, 2, 3, 4, 5), Utc(2050, 1, 1, 0, 0, 0))});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "20240102030405");
  EXPECT_EQ(lines[3], "20500101000000");
}

TEST_F(SarnetContent, GeneralizedTimeBefore2050IsTakenAsItIs) {
  CertParams params;
  params.subject = simpleName({{"CN", "Gen"}});
  params.notBefore = Utc(2030, 5, 6, 7, 8, 9);
  params.notBeforeEncoding = TimeEncoding::GeneralizedTime;
  params.notAfter = Utc(2031, 1, 1, 0, 0, 0);
  params.notAfterEncoding = TimeEncoding::GeneralizedTime;
  auto lines = ListLines({TestCa().issue(params, EndEntityKey())});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "20300506070809");
  EXPECT_EQ(lines[3], "20310101000000");
}

TEST_F(SarnetContent, BasicConstraintsDecideTheEntries) {
  CertParams noExtensions;
  noExtensions.subject = simpleName({{"CN", "No extensions"}});
  noExtensions.subjectKeyId = KeyIdMode::Absent;
  noExtensions.authorityKeyId = KeyIdMode::Absent;
  auto lines = ListLines({EndEntity(simpleName({{"CN", "CA false"}}), Utc(2024, 1, 2, 3, 4, 5),
                                    Utc(2026, 7, 8, 9, 10, 11), BasicConstraints::CaFalse),
                          EndEntity(simpleName({{"CN", "No basicConstraints"}}), Utc(2024, 1, 2, 3, 4, 5),
                                    Utc(2026, 7, 8, 9, 10, 11), BasicConstraints::Absent),
                          EndEntity(simpleName({{"CN", "CA true"}}), Utc(2024, 1, 2, 3, 4, 5),
                                    Utc(2026, 7, 8, 9, 10, 11), BasicConstraints::CaTrue),
                          TestCa().issue(noExtensions, EndEntityKey())});
  std::vector<std::string> names;
  for (size_t i = 1; i < lines.size(); i += 4) names.push_back(lines[i]);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"CA false", "No basicConstraints", "No extensions"}));
}

TEST_F(SarnetContent, UnknownAttributeTypesUseTheDottedForm) {
  auto lines = ListLines({EndEntity(simpleName({{"serialNumber", "12", StringType::Printable}, {"CN", "Taro"}}))});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "CN=Taro,2.5.4.5=#13023132");
}

}  // namespace
}  // namespace sarnet_test
