// Which token objects give entries, and the results of a listing.
#include <gtest/gtest.h>

#include "sarnet_support.h"

namespace sarnet_test {
namespace {

using namespace testtoken;

class SarnetListing : public ::testing::Test {
 protected:
  RunResult RunOnToken() { return app_.Run({token_.modulePath()}, token_.environment()); }

  SoftHsmToken token_;
  ProgramCopy app_;
};

TEST_F(SarnetListing, TwoEndEntitiesAndOneCaGiveEightLines) {
  Seed(token_, [](P11Session &s) {
    s.createCertificate(EndEntity(simpleName({{"C", "JP", StringType::Printable}, {"CN", "Taro"}})).der(),
                        toBytes("01"), "taro");
    s.createCertificate(EndEntity(simpleName({{"C", "JP", StringType::Printable}, {"CN", "Hanako"}})).der(),
                        toBytes("02"), "hanako");
    s.createCertificate(TestCa().cert.der(), toBytes("03"), "ca");
  });
  RunResult r = RunOnToken();
  EXPECT_EQ(r.signedExitCode(), 0);
  const std::string text = readTextFile(app_.certFile());
  EXPECT_EQ(Lines(text).size(), 8u);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(Entries(text), Sorted({Entry("CN=Taro,C=JP", "Taro", "20240102030405", "20260708091011"),
                                   Entry("CN=Hanako,C=JP", "Hanako", "20240102030405", "20260708091011")}));
  EXPECT_FALSE(fs::exists(app_.errorFile()));
  EXPECT_EQ(r.out, "");
}

TEST_F(SarnetListing, OnlyCaCertificatesGiveAnEmptyFile) {
  Seed(token_, [](P11Session &s) {
    s.createCertificate(TestCa().cert.der(), toBytes("01"), "ca");
    s.createCertificate(CaCertificate("Other CA").der(), toBytes("02"), "other");
  });
  RunResult r = RunOnToken();
  EXPECT_EQ(r.signedExitCode(), 0);
  ASSERT_TRUE(fs::exists(app_.certFile()));
  EXPECT_EQ(fs::file_size(app_.certFile()), 0u);
  EXPECT_FALSE(fs::exists(app_.errorFile()));
}

TEST_F(SarnetListing, OnlyKeysAndDataObjectsGiveMinus13) {
  Seed(token_, [](P11Session &s) {
    const Bytes subject = nameDer(simpleName({{"CN", "Taro"}}));
    s.createPublicKey(EndEntityKey().get(), toBytes("01"), "pub", subject);
    s.createPrivateKey(EndEntityKey().get(), toBytes("01"), "priv", subject);
    CreateDataObject(s, "data", toBytes("some data"));
  });
  RunResult r = RunOnToken();
  EXPECT_EQ(r.signedExitCode(), -13);
  // The message ends in a line break: an empty line comes before the
  // result line.
  EXPECT_EQ(readTextFile(app_.errorFile()),
            ErrorFileText("error:USBトークンに証明書が格納されていませんでした。\n", -13));
  EXPECT_EQ(Lines(platform::Utf8ToCp932(readTextFile(app_.errorFile())).value()).size(), 3u);
  ASSERT_TRUE(fs::exists(app_.certFile()));
  EXPECT_EQ(fs::file_size(app_.certFile()), 0u);
}

TEST_F(SarnetListing, PublicKeyCertificateAndDataObjectGiveOneEntry) {
  Seed(token_, [](P11Session &s) {
    const Certificate cert = EndEntity(simpleName({{"CN", "Taro"}}));
    s.createPublicKey(EndEntityKey().get(), toBytes("01"), "pub", cert.subjectDer());
    s.createCertificate(cert.der(), toBytes("01"), "ee");
    CreateDataObject(s, "data", cert.der());
  });
  RunResult r = RunOnToken();
  EXPECT_EQ(r.signedExitCode(), 0);
  EXPECT_EQ(readTextFile(app_.certFile()), "CN=Taro\nTaro\n20240102030405\n20260708091011\n");
}

TEST_F(SarnetListing, PrivateObjectsAreNotSeenWithoutLogin) {
  Seed(token_, [](P11Session &s) {
    Template priv;
    priv.addBool(CKA_PRIVATE, true);
    s.createCertificate(EndEntity(simpleName({{"CN", "Hidden"}})).der(), toBytes("01"), "hidden", &priv);
    s.createCertificate(EndEntity(simpleName({{"CN", "Shown"}})).der(), toBytes("02"), "shown");
  });
  RunResult r = RunOnToken();
  EXPECT_EQ(r.signedExitCode(), 0);
  EXPECT_EQ(Lines(readTextFile(app_.certFile()))[1], "Shown");
  EXPECT_EQ(Lines(readTextFile(app_.certFile())).size(), 4u);
}

TEST_F(SarnetListing, AnEarlierCertificateFileIsReplaced) {
  Seed(token_, [](P11Session &s) {
    s.createCertificate(EndEntity(simpleName({{"CN", "Taro"}})).der(), toBytes("01"), "ee");
  });
  writeFile(app_.certFile(), toBytes("stale\nstale\nstale\nstale\nstale\nstale\nstale\nstale\n"));
  ASSERT_EQ(RunOnToken().signedExitCode(), 0);
  EXPECT_EQ(readTextFile(app_.certFile()), "CN=Taro\nTaro\n20240102030405\n20260708091011\n");
}

}  // namespace
}  // namespace sarnet_test
