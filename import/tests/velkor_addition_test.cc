// A certificate whose subject changed is accepted through the trust anchor
// file beside the program (SUBDN, ISCHKOFF, ADDON).
#include <fstream>

#include "velkor_fixture.h"

namespace velkor_test {
namespace {

namespace fs = std::filesystem;

constexpr char kAddition[] = "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる（追加処理）";
constexpr char kNoAnchorFile[] =
    "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる（追加処理：信頼点ファイルが存在しません）";
constexpr char kCaTrust[] =
    "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる（追加処理：Kivo内CA証明書信頼点確認エラー）";

std::string AnchorLine(const Bytes &id, bool upper) {
  std::string line;
  char buf[4];
  for (size_t i = 0; i < id.size(); ++i) {
    std::snprintf(buf, sizeof buf, upper ? "%02X" : "%02x", id[i]);
    line += (i ? " " : "") + std::string(buf);
  }
  return line;
}

class VelkorAddition : public ::testing::Test {
 protected:
  const Pki &pki_ = SharedPki();
  testtoken::SoftHsmToken token_;
  VelkorApp app_;
  // Same common name, another organisation: a subject that changed.
  testtoken::Certificate moved_ = pki_.Issue(
      testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test Moved"}, {"CN", "Taro Yamada"}}), 2001, pki_.newKey);

  testtoken::RunResult Import() {
    return app_.Import(pki_.Pkcs12(&pki_.newKey, {&moved_, &pki_.ca.cert}, pki_.password), "1234", pki_.password,
                       token_.modulePath(), "SUBDN", "ISCHKOFF", "ADDON", token_.environment());
  }
  void WriteAnchors(const std::string &content) {
    std::ofstream out(app_.trustAnchorPath(), std::ios::binary);
    out << content;
  }
  std::string CaLine(bool upper = false) { return AnchorLine(pki_.ca.cert.subjectKeyId().value(), upper); }
  void ExpectLog(const std::string &message, int code) {
    ASSERT_TRUE(app_.Log().has_value());
    EXPECT_EQ(*app_.Log(), Cp932(LogText(message, code)));
  }
};

TEST_F(VelkorAddition, TrustedIssuerLetsTheChangedSubjectReplaceTheOldSet) {
  {
    TokenView view(token_);
    SeedOldSet(view.session, pki_);
  }
  ASSERT_EQ(pki_.ca.cert.subjectKeyId()->size(), 20u);
  WriteAnchors("# anchors\n" + AnchorLine(Bytes(20, 0x5A), false) + "\n" + CaLine(true));
  testtoken::RunResult r = Import();
  EXPECT_EQ(r.signedExitCode(), 0) << (app_.Log() ? *app_.Log() : "");
  EXPECT_FALSE(app_.Log().has_value());
  TokenView view(token_);
  std::vector<testtoken::TokenObject> objects = view.session.objects();
  EXPECT_EQ(objects.size(), 4u);
  bool movedPresent = false, caPresent = false;
  for (const auto &o : objects) {
    EXPECT_NE(o.id, Bytes{0x01});
    if (o.value == moved_.der()) movedPresent = true;
    if (o.value == pki_.ca.cert.der()) caPresent = true;
  }
  EXPECT_TRUE(movedPresent);
  // The token's CA certificate is the one of the file: it stays.
  EXPECT_TRUE(caPresent);
}

TEST_F(VelkorAddition, WithoutTrustAnchorFile) {
  {
    TokenView view(token_);
    SeedOldSet(view.session, pki_);
  }
  EXPECT_EQ(Import().signedExitCode(), -3);
  ExpectLog(kNoAnchorFile, -3);
}

TEST_F(VelkorAddition, IssuerNotListed) {
  {
    TokenView view(token_);
    SeedOldSet(view.session, pki_);
  }
  WriteAnchors("");
  EXPECT_EQ(Import().signedExitCode(), -3);
  ExpectLog(kAddition, -3);
  // A listed identifier followed by blanks is a line of another length.
  WriteAnchors(CaLine() + "  \n");
  EXPECT_EQ(Import().signedExitCode(), -3);
  ExpectLog(kAddition, -3);
}

TEST_F(VelkorAddition, IssuingCaMissingOnTheToken) {
  testtoken::CertAuthority otherCa = testtoken::CertAuthority::create(
      testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "Another CA"}}), 2048);
  {
    TokenView view(token_);
    Bytes subject = pki_.oldCert.subjectDer();
    view.session.createCertificate(pki_.oldCert.der(), {0x01}, "old");
    view.session.createPrivateKey(pki_.oldKey.get(), {0x01}, "old", subject);
    view.session.createPublicKey(pki_.oldKey.get(), {0x01}, "old", subject);
    view.session.createCertificate(otherCa.cert.der(), {0x02}, "other ca");
  }
  WriteAnchors(CaLine() + "\n");
  EXPECT_EQ(Import().signedExitCode(), -3);
  ExpectLog(kCaTrust, -3);
}

TEST_F(VelkorAddition, CertificateWithoutKeyIdentifierBeforeTheCaIsPassedOver) {
  testtoken::CertParams params;
  params.subject = testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "No Key Id"}});
  params.serial = testtoken::serialFromNumber(3003);
  params.subjectKeyId = testtoken::KeyIdMode::Absent;
  testtoken::Certificate noSki = pki_.ca.issue(params, pki_.oldKey);
  ASSERT_FALSE(noSki.subjectKeyId().has_value());
  {
    TokenView view(token_);
    Bytes subject = pki_.oldCert.subjectDer();
    view.session.createCertificate(noSki.der(), {0x07}, "no key id");
    view.session.createCertificate(pki_.oldCert.der(), {0x01}, "old");
    view.session.createPrivateKey(pki_.oldKey.get(), {0x01}, "old", subject);
    view.session.createPublicKey(pki_.oldKey.get(), {0x01}, "old", subject);
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
  }
  WriteAnchors(CaLine() + "\n");
  EXPECT_EQ(Import().signedExitCode(), 0) << (app_.Log() ? *app_.Log() : "");
}

TEST_F(VelkorAddition, NewCaAcceptedOnlyWhenItsOwnIdentifierIsListed) {
  // The token holds the end-entity set under the current subject but a CA
  // of another name: the CA of the file goes to the addition procedure.
  testtoken::CertAuthority otherCa = testtoken::CertAuthority::create(
      testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "Another CA"}}), 2048);
  {
    TokenView view(token_);
    Bytes subject = pki_.oldCert.subjectDer();
    view.session.createCertificate(pki_.oldCert.der(), {0x01}, "old");
    view.session.createPrivateKey(pki_.oldKey.get(), {0x01}, "old", subject);
    view.session.createPublicKey(pki_.oldKey.get(), {0x01}, "old", subject);
    view.session.createCertificate(otherCa.cert.der(), {0x02}, "other ca");
  }
  auto run = [&] {
    return app_.Import(pki_.Renewal(), "1234", pki_.password, token_.modulePath(), "SUBDN", "ISCHKOFF", "ADDON",
                       token_.environment());
  };
  WriteAnchors(AnchorLine(Bytes(20, 0x33), false) + "\n");
  EXPECT_EQ(run().signedExitCode(), -3);
  ExpectLog(kAddition, -3);
  // Listed, but no end-entity addition confirmed the CA: still refused.
  WriteAnchors(CaLine() + "\n");
  EXPECT_EQ(run().signedExitCode(), -3);
  ExpectLog(kCaTrust, -3);
}

}  // namespace
}  // namespace velkor_test
