// A certificate whose subject changed is accepted through the trust anchor
// file beside the program (SUBDN, ISCHKOFF, ADDON).
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "velkor_fixture.h"

namespace velkor_test {
namespace {

namespace fs = std::filesystem;

constexpr char kAddition[] = "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる（追加処理）";
constexpr char kNoAnchorFile[] =
    "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる（追加処理：信頼点ファイルが存在しません）";
constexpr char kCaTrust[] =
    "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる（追加処理：Kivo内CA証明書信頼点確認エラー）";

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

// The subject changed and so did the CA: the new CA has another subject,
// its own identifier and the old CA's are listed.  The old end-entity set
// and the old CA certificate go, the new set and the new CA come, whatever
// the form of the trust anchor lines and wherever a certificate without a
// subject key identifier sits on the token.
TEST_F(VelkorAddition, ChangedSubjectWithANewCa) {
  static const testtoken::CertAuthority newCa = testtoken::CertAuthority::create(
      testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test Moved"}, {"CN", "Velkor Test Moved CA"}}), 2048);
  testtoken::CertParams params;
  params.subject = testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test Moved"}, {"CN", "Taro Yamada"}});
  params.serial = testtoken::serialFromNumber(5001);
  const testtoken::Certificate movedByNewCa = newCa.issue(params, pki_.newKey);
  testtoken::CertParams noSkiParams;
  noSkiParams.subject = testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "No Key Id"}});
  noSkiParams.serial = testtoken::serialFromNumber(3003);
  noSkiParams.subjectKeyId = testtoken::KeyIdMode::Absent;
  const testtoken::Certificate noSki = pki_.ca.issue(noSkiParams, pki_.oldKey);

  const std::string oldCa = CaLine();
  const std::string newCaLine = AnchorLine(newCa.cert.subjectKeyId().value(), false);
  const std::string newCaUpper = AnchorLine(newCa.cert.subjectKeyId().value(), true);
  struct Case {
    const char *what;
    std::string anchors;
    bool noSki;
    const char *order;  // fault module rules: the token's own listing order, or its reverse
  };
  // With a certificate without a subject key identifier on the token, one of
  // the two listing orders puts it before the CA.
  const std::vector<Case> cases = {
      {"lower case, LF", oldCa + "\n" + newCaLine + "\n", false, ""},
      {"upper case", CaLine(true) + "\n" + newCaUpper + "\n", false, ""},
      {"CRLF lines", oldCa + "\r\n" + newCaLine + "\r\n", false, ""},
      {"last line without line feed", newCaLine + "\n" + oldCa, false, ""},
      {"certificate without key identifier, token order", oldCa + "\n" + newCaLine + "\n", true, ""},
      {"certificate without key identifier, reverse order", oldCa + "\n" + newCaLine + "\n", true,
       "FIND_REVERSE"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    {
      TokenView view(token_);
      for (const auto &o : view.session.objects()) view.session.destroy(o.handle);
      if (c.noSki) view.session.createCertificate(noSki.der(), {0x07}, "no key id");
      SeedOldSet(view.session, pki_);
    }
    WriteAnchors(c.anchors);
    testtoken::FaultSetup listing(c.order, testtoken::softhsmModulePath(), token_.hsm().environment());
    testtoken::RunResult r = app_.Import(pki_.Pkcs12(&pki_.newKey, {&movedByNewCa, &newCa.cert}, pki_.password),
                                         "1234", pki_.password, listing.modulePath(), "SUBDN", "ISCHKOFF", "ADDON",
                                         listing.environment());
    EXPECT_EQ(r.signedExitCode(), 0) << (app_.Log() ? *app_.Log() : "");
    EXPECT_FALSE(app_.Log().has_value());
    TokenView view(token_);
    std::map<Bytes, int> classesById;  // CKA_ID -> bit set: 1 certificate, 2 private key, 4 public key
    bool movedPresent = false, newCaPresent = false;
    for (const auto &o : view.session.objects()) {
      EXPECT_NE(o.value, pki_.oldCert.der());
      EXPECT_NE(o.value, pki_.ca.cert.der());
      if (o.objectClass == CKO_CERTIFICATE && o.value == noSki.der()) continue;
      EXPECT_NE(o.id, Bytes{0x01}) << "an old key stayed";
      classesById[o.id] |= o.objectClass == CKO_CERTIFICATE ? 1 : o.objectClass == CKO_PRIVATE_KEY ? 2 : 4;
      if (o.value == movedByNewCa.der()) movedPresent = true;
      if (o.value == newCa.cert.der()) newCaPresent = true;
    }
    EXPECT_TRUE(movedPresent);
    EXPECT_TRUE(newCaPresent);
    // One complete new set and the CA under an identifier of its own.
    std::multiset<int> kinds;
    for (const auto &entry : classesById) kinds.insert(entry.second);
    EXPECT_EQ(kinds, (std::multiset<int>{1, 7}));
  }
}

// A trust anchor file that is missing, or that is no regular file within
// the size limit, is one that cannot be opened: never one that lists
// nothing, and never a run that blocks or reads forever while logged in.
TEST_F(VelkorAddition, WithoutTrustAnchorFile) {
  {
    TokenView view(token_);
    SeedOldSet(view.session, pki_);
  }
  struct Case {
    const char *what;
    std::function<void(const fs::path &)> make;
  };
  const std::string listed = CaLine() + "\n";
  const std::vector<Case> cases = {
      {"missing", [](const fs::path &) {}},
      {"FIFO", [](const fs::path &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
      {"link to /dev/zero", [](const fs::path &p) { fs::create_symlink("/dev/zero", p); }},
      {"folder", [](const fs::path &p) { fs::create_directory(p); }},
      {"beyond the size limit",
       [&](const fs::path &p) {
         std::ofstream(p, std::ios::binary) << listed << std::string(1024 * 1024, '#');
       }},
  };
  const Bytes p12 = pki_.Pkcs12(&pki_.newKey, {&moved_, &pki_.ca.cert}, pki_.password);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(app_.trustAnchorPath());
    c.make(app_.trustAnchorPath());
    testtoken::writeFile(app_.p12Path(), p12);
    // A hang would be ended by this guard and shows as timedOut.
    testtoken::RunOptions options;
    options.env = token_.environment();
    options.timeout = std::chrono::seconds(10);
    testtoken::RunResult r = testtoken::runProcess(
        (app_.binFolder() / "Velkor").string(),
        {app_.p12Path().string(), "1234", pki_.password, token_.modulePath(), "SUBDN", "ISCHKOFF", "ADDON"}, options);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.signedExitCode(), -3);
    ExpectLog(kNoAnchorFile, -3);
  }
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

// Whichever order the token lists its objects in (its own, and the reverse
// through the fault module), a certificate without a subject key identifier
// is passed over: in one of the two it comes before the CA.
TEST_F(VelkorAddition, CertificateWithoutKeyIdentifierBeforeTheCaIsPassedOver) {
  testtoken::CertParams params;
  params.subject = testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "No Key Id"}});
  params.serial = testtoken::serialFromNumber(3003);
  params.subjectKeyId = testtoken::KeyIdMode::Absent;
  testtoken::Certificate noSki = pki_.ca.issue(params, pki_.oldKey);
  ASSERT_FALSE(noSki.subjectKeyId().has_value());
  WriteAnchors(CaLine() + "\n");
  for (const char *order : {"", "FIND_REVERSE"}) {
    SCOPED_TRACE(order);
    {
      TokenView view(token_);
      for (const auto &o : view.session.objects()) view.session.destroy(o.handle);
      Bytes subject = pki_.oldCert.subjectDer();
      view.session.createCertificate(noSki.der(), {0x07}, "no key id");
      view.session.createCertificate(pki_.oldCert.der(), {0x01}, "old");
      view.session.createPrivateKey(pki_.oldKey.get(), {0x01}, "old", subject);
      view.session.createPublicKey(pki_.oldKey.get(), {0x01}, "old", subject);
      view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
    }
    testtoken::FaultSetup listing(order, testtoken::softhsmModulePath(), token_.hsm().environment());
    testtoken::RunResult r =
        app_.Import(pki_.Pkcs12(&pki_.newKey, {&moved_, &pki_.ca.cert}, pki_.password), "1234", pki_.password,
                    listing.modulePath(), "SUBDN", "ISCHKOFF", "ADDON", listing.environment());
    EXPECT_EQ(r.signedExitCode(), 0) << (app_.Log() ? *app_.Log() : "");
  }
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
