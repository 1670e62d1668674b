// Velkor against a SoftHSM token behind p11-kit's server: renewal, the
// checks of subject, serial and issuer, the token's object count, the
// shapes of PKCS#12 file, and the two module kinds.
#include <openssl/evp.h>

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <regex>

#include "platform/clock_random.h"
#include "velkor_fixture.h"

namespace velkor_test {
namespace {

namespace fs = std::filesystem;
using testtoken::P11Session;
using testtoken::SoftHsmToken;

constexpr char kSubjectMismatch[] = "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる";
constexpr char kSubjectCnMismatch[] = "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトCNが異なる";

class VelkorImport : public ::testing::Test {
 protected:
  const Pki &pki_ = SharedPki();
  SoftHsmToken token_;
  VelkorApp app_;

  testtoken::RunResult Import(const Bytes &p12, const std::string &subject = "SUBDN",
                              const std::string &issuer = "ISCHKOFF", const std::string &addition = "ADDOFF") {
    return app_.Import(p12, token_.token().userPin, pki_.password, token_.modulePath(), subject, issuer, addition,
                       token_.environment());
  }
  void ExpectLog(const std::string &message, int code) {
    ASSERT_TRUE(app_.Log().has_value());
    EXPECT_EQ(*app_.Log(), Cp932(LogText(message, code)));
  }
};

// The local clock as the identifier text shows it: YYYYMMDDhhmmss.
std::string LocalClockText() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
  return text;
}

// The identifier text: the 14 digits of the local time of the run (between
// `notBefore` and `notAfter`, both read from the same clock), a number
// 0..32767, a line feed.
bool IsIdentifierText(const Bytes &id, const std::string &notBefore, const std::string &notAfter) {
  std::string text(id.begin(), id.end());
  std::smatch m;
  if (!std::regex_match(text, m, std::regex("([0-9]{14})(0|[1-9][0-9]{0,4})\n"))) return false;
  return m[1].str() >= notBefore && m[1].str() <= notAfter && std::stol(m[2].str()) <= 32767;
}

Bytes Ulong(CK_ULONG value) {
  const auto *p = reinterpret_cast<const unsigned char *>(&value);
  return Bytes(p, p + sizeof value);
}

// Every attribute of the three templates Velkor writes for the end entity,
// and of the CA certificate when one was written (`caId` not empty), as the
// token reads them back; then the private key must not be visible without
// login.
void ExpectWrittenTemplates(P11Session &session, const Pki &pki, bool defaultModule, const Bytes &eeId,
                            const Bytes &caId) {
  const Bytes t{CK_TRUE}, f{CK_FALSE};
  const Bytes label = defaultModule ? Bytes{} : Bytes{'n', 'o', 'l', 'a', 'b', 'e', 'l', 0};
  const Bytes keySubject = defaultModule ? pki.newCert.subjectDer() : Bytes{};
  // nullopt: the token keeps the value secret.
  using Row = std::pair<CK_ATTRIBUTE_TYPE, std::optional<Bytes>>;
  const std::vector<Row> privateKey = {
      {CKA_CLASS, Ulong(CKO_PRIVATE_KEY)}, {CKA_KEY_TYPE, Ulong(CKK_RSA)}, {CKA_TOKEN, t}, {CKA_PRIVATE, t},
      {CKA_MODIFIABLE, t}, {CKA_SENSITIVE, t}, {CKA_EXTRACTABLE, f}, {CKA_LABEL, label},
      {CKA_SUBJECT, keySubject}, {CKA_MODULUS, pki.newKey.modulus()},
      {CKA_PUBLIC_EXPONENT, pki.newKey.publicExponent()}, {CKA_PRIVATE_EXPONENT, std::nullopt},
      {CKA_PRIME_1, std::nullopt}, {CKA_PRIME_2, std::nullopt}, {CKA_EXPONENT_1, std::nullopt},
      {CKA_EXPONENT_2, std::nullopt}, {CKA_COEFFICIENT, std::nullopt}, {CKA_ID, eeId},
      {CKA_SIGN, t}, {CKA_DECRYPT, t}, {CKA_UNWRAP, t}};
  const std::vector<Row> publicKey = {
      {CKA_CLASS, Ulong(CKO_PUBLIC_KEY)}, {CKA_KEY_TYPE, Ulong(CKK_RSA)}, {CKA_TOKEN, t}, {CKA_PRIVATE, f},
      {CKA_MODIFIABLE, t}, {CKA_LABEL, label}, {CKA_SUBJECT, keySubject}, {CKA_ENCRYPT, t}, {CKA_VERIFY, t},
      {CKA_VERIFY_RECOVER, defaultModule ? f : t}, {CKA_ID, eeId}, {CKA_WRAP, t},
      {CKA_MODULUS, pki.newKey.modulus()}, {CKA_PUBLIC_EXPONENT, pki.newKey.publicExponent()}};
  auto certificate = [&](const testtoken::Certificate &cert, const Bytes &id) {
    return std::vector<Row>{{CKA_CLASS, Ulong(CKO_CERTIFICATE)}, {CKA_CERTIFICATE_TYPE, Ulong(CKC_X_509)},
                            {CKA_TOKEN, t}, {CKA_PRIVATE, f}, {CKA_MODIFIABLE, t}, {CKA_LABEL, id},
                            {CKA_SUBJECT, cert.subjectDer()}, {CKA_ISSUER, cert.issuerDer()},
                            {CKA_SERIAL_NUMBER, cert.serialDer()}, {CKA_VALUE, cert.der()}, {CKA_ID, id}};
  };
  struct Object {
    const char *name;
    CK_OBJECT_CLASS cls;
    Bytes id;
    std::vector<Row> rows;
  };
  std::vector<Object> written = {{"private key", CKO_PRIVATE_KEY, eeId, privateKey},
                                 {"public key", CKO_PUBLIC_KEY, eeId, publicKey},
                                 {"certificate", CKO_CERTIFICATE, eeId, certificate(pki.newCert, eeId)}};
  if (!caId.empty()) written.push_back({"CA certificate", CKO_CERTIFICATE, caId, certificate(pki.ca.cert, caId)});
  for (const Object &o : written) {
    testtoken::Template match;
    match.addUlong(CKA_CLASS, o.cls).add(CKA_ID, o.id);
    std::vector<CK_OBJECT_HANDLE> found = session.find(match);
    ASSERT_EQ(found.size(), 1u) << o.name;
    for (const Row &row : o.rows) {
      SCOPED_TRACE(std::string(o.name) + ", attribute type " + std::to_string(row.first));
      if (row.second) {
        EXPECT_EQ(session.attribute(found[0], row.first), row.second);
      } else {
        EXPECT_EQ(session.attributeStatus(found[0], row.first), CKR_ATTRIBUTE_SENSITIVE);
      }
    }
  }
  session.logout();
  testtoken::Template privateKeys;
  privateKeys.addUlong(CKA_CLASS, CKO_PRIVATE_KEY);
  EXPECT_TRUE(session.find(privateKeys).empty());
  testtoken::Template publicKeys;
  publicKeys.addUlong(CKA_CLASS, CKO_PUBLIC_KEY);
  EXPECT_EQ(session.find(publicKeys).size(), 1u);
}

TEST_F(VelkorImport, RenewalReplacesTheOldSetAndTheNewKeySigns) {
  testtoken::Certificate oldCa = pki_.OldCaCert();
  {
    TokenView view(token_);
    Bytes subject = pki_.oldCert.subjectDer();
    view.session.createCertificate(pki_.oldCert.der(), {0x01}, "old certificate");
    view.session.createPrivateKey(pki_.oldKey.get(), {0x01}, "old key", subject);
    view.session.createPublicKey(pki_.oldKey.get(), {0x01}, "old key", subject);
    view.session.createCertificate(oldCa.der(), {0x02}, "old ca");
  }
  const std::string notBefore = LocalClockText();
  testtoken::RunResult r = Import(pki_.Renewal());
  const std::string notAfter = LocalClockText();
  EXPECT_EQ(r.signedExitCode(), 0) << r.err;
  EXPECT_FALSE(app_.Log().has_value());
  EXPECT_FALSE(fs::exists(app_.p12Path()));

  TokenView view(token_);
  std::vector<testtoken::TokenObject> objects = view.session.objects();
  ASSERT_EQ(objects.size(), 4u);
  Bytes eeId, caId;
  int privateKeys = 0, publicKeys = 0;
  for (const auto &o : objects) {
    EXPECT_NE(o.id, Bytes{0x01});
    EXPECT_NE(o.id, Bytes{0x02});
    if (o.objectClass == CKO_CERTIFICATE && o.value == pki_.newCert.der()) {
      eeId = o.id;
      EXPECT_EQ(testtoken::toBytes(o.label), o.id);
      EXPECT_EQ(o.subject, pki_.newCert.subjectDer());
      EXPECT_EQ(o.issuer, pki_.newCert.issuerDer());
      EXPECT_EQ(o.serialNumber, pki_.newCert.serialDer());
    } else if (o.objectClass == CKO_CERTIFICATE && o.value == pki_.ca.cert.der()) {
      caId = o.id;
      EXPECT_EQ(testtoken::toBytes(o.label), o.id);
    } else if (o.objectClass == CKO_PRIVATE_KEY) {
      ++privateKeys;
    } else if (o.objectClass == CKO_PUBLIC_KEY) {
      ++publicKeys;
    }
  }
  EXPECT_EQ(privateKeys, 1);
  EXPECT_EQ(publicKeys, 1);
  ASSERT_TRUE(IsIdentifierText(eeId, notBefore, notAfter))
      << std::string(eeId.begin(), eeId.end()) << " run between " << notBefore << " and " << notAfter;
  ASSERT_TRUE(IsIdentifierText(caId, notBefore, notAfter)) << std::string(caId.begin(), caId.end());
  // A CA under the key pair's identifier would be paired with that key.
  EXPECT_NE(eeId, caId);
  for (const auto &o : objects) {
    if (o.objectClass == CKO_PRIVATE_KEY || o.objectClass == CKO_PUBLIC_KEY) {
      EXPECT_EQ(o.id, eeId);
    }
  }
  // Keys written through another module than the default one.
  testtoken::Template pubMatch;
  pubMatch.addUlong(CKA_CLASS, CKO_PUBLIC_KEY);
  std::vector<CK_OBJECT_HANDLE> pub = view.session.find(pubMatch);
  ASSERT_EQ(pub.size(), 1u);
  EXPECT_EQ(view.session.attribute(pub[0], CKA_LABEL), (Bytes{'n', 'o', 'l', 'a', 'b', 'e', 'l', 0}));
  EXPECT_EQ(view.session.attribute(pub[0], CKA_SUBJECT), Bytes{});
  EXPECT_EQ(view.session.attribute(pub[0], CKA_VERIFY_RECOVER), Bytes{CK_TRUE});
  EXPECT_EQ(view.session.attribute(pub[0], CKA_MODULUS), pki_.newKey.modulus());

  Bytes data = testtoken::toBytes("renewed key signs this");
  Bytes signature = view.session.sign(eeId, data);
  EXPECT_TRUE(signatureVerifies(pki_.newCert, data, signature));
  ExpectWrittenTemplates(view.session, pki_, false, eeId, caId);
}

TEST_F(VelkorImport, RenewalThatKeepsTheKeyPairWritesAFreshSet) {
  // The old certificate was issued for the very key pair of the new one:
  // its keys under 01 belong to it and go with it; they are not keys an
  // interrupted import left.
  testtoken::Certificate sameKeyOld = pki_.Issue(pki_.eeName, 1000, pki_.newKey);
  {
    TokenView view(token_);
    Bytes subject = sameKeyOld.subjectDer();
    view.session.createCertificate(sameKeyOld.der(), {0x01}, "old certificate");
    view.session.createPrivateKey(pki_.newKey.get(), {0x01}, "old key", subject);
    view.session.createPublicKey(pki_.newKey.get(), {0x01}, "old key", subject);
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
  }
  testtoken::RunResult r = Import(pki_.Renewal());
  EXPECT_EQ(r.signedExitCode(), 0) << (app_.Log() ? *app_.Log() : "");
  TokenView view(token_);
  SetCheck sets = CheckSets(view.session, pki_);
  EXPECT_EQ(sets.completeSets, 1);
  EXPECT_FALSE(sets.anyIncompleteNewObject);
  EXPECT_EQ(view.session.findAll().size(), 4u);
  testtoken::Template old;
  old.add(CKA_ID, Bytes{0x01});
  EXPECT_TRUE(view.session.find(old).empty());
}

TEST_F(VelkorImport, SameCertificateAlreadyPresentLeavesTheTokenUntouched) {
  std::vector<std::vector<Bytes>> before;
  {
    TokenView view(token_);
    Bytes id = testtoken::toBytes("201701020905037\n");
    Bytes subject = pki_.newCert.subjectDer();
    view.session.createCertificate(pki_.newCert.der(), id, "201701020905037\n");
    view.session.createPrivateKey(pki_.newKey.get(), id, "", subject);
    view.session.createPublicKey(pki_.newKey.get(), id, "", subject);
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
    before = Snapshot(view.session);
  }
  testtoken::RunResult r = Import(pki_.Renewal());
  EXPECT_EQ(r.signedExitCode(), 0);
  EXPECT_FALSE(app_.Log().has_value());
  TokenView view(token_);
  EXPECT_EQ(Snapshot(view.session), before);
}

// The identifier text Velkor makes at `seconds` (UTC) with the `draw`-th
// number of the clock-seeded generator.
Bytes IdentifierAt(std::time_t seconds, unsigned draw) {
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
  return testtoken::toBytes(std::string(text) + std::to_string(platform::ClockRandom(seconds, draw)) + "\n");
}

// The identifier comes from the clock, so another application's objects
// may carry it already: a key pair and certificate under the very text
// Velkor draws first stay as they are, and the new set (and the new CA)
// get texts that nothing on the token carries.
TEST_F(VelkorImport, IdentifierAlreadyOnTheTokenIsDrawnAgain) {
  constexpr std::time_t kClock = 1767225600;  // 2026-01-01 00:00:00 UTC
  const Bytes taken = IdentifierAt(kClock, 1);
  const testtoken::Key placedKey = testtoken::Key::pooledRsa(1);
  const testtoken::Certificate placed = pki_.Issue(
      testtoken::simpleName({{"C", "JP"}, {"O", "Elsewhere Inc"}, {"CN", "Jiro Suzuki"}}), 1500, placedKey);
  auto placedObjects = [&](P11Session &session) {
    std::vector<std::vector<Bytes>> rows;
    for (auto &row : Snapshot(session)) {
      if (row[2] == taken) rows.push_back(row);
    }
    return rows;
  };
  std::vector<std::vector<Bytes>> before;
  {
    TokenView view(token_);
    view.session.createCertificate(pki_.oldCert.der(), {0x01}, "old certificate");
    view.session.createPrivateKey(pki_.oldKey.get(), {0x01}, "old key", pki_.oldCert.subjectDer());
    view.session.createPublicKey(pki_.oldKey.get(), {0x01}, "old key", pki_.oldCert.subjectDer());
    view.session.createCertificate(pki_.OldCaCert().der(), {0x02}, "old ca");
    view.session.createCertificate(placed.der(), taken, "placed");
    view.session.createPrivateKey(placedKey.get(), taken, "placed", placed.subjectDer());
    view.session.createPublicKey(placedKey.get(), taken, "placed", placed.subjectDer());
    before = placedObjects(view.session);
    ASSERT_EQ(before.size(), 3u);
  }
  testtoken::EnvMap env = token_.environment();
  env["LD_PRELOAD"] = VELKOR_FIXEDCLOCK;
  env["FIXEDCLOCK_SECONDS"] = std::to_string(kClock);
  env["TZ"] = "UTC";
  // The preloaded library comes before a sanitizer's runtime.
  env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=1";
  testtoken::RunResult r = app_.Import(pki_.Renewal(), token_.token().userPin, pki_.password, token_.modulePath(),
                                       "SUBDN", "ISCHKOFF", "ADDOFF", env);
  EXPECT_EQ(r.signedExitCode(), 0) << (app_.Log() ? *app_.Log() : r.err);

  TokenView view(token_);
  EXPECT_EQ(placedObjects(view.session), before);
  SetCheck sets = CheckSets(view.session, pki_);
  ASSERT_EQ(sets.completeSets, 1);
  EXPECT_FALSE(sets.oldCertPresent);
  // The next draws of the same second: the end entity's second number,
  // the CA's third (its second is the end entity's).
  EXPECT_EQ(sets.completeIds[0], IdentifierAt(kClock, 2));
  testtoken::Template ca;
  ca.addUlong(CKA_CLASS, CKO_CERTIFICATE).add(CKA_ID, IdentifierAt(kClock, 3));
  std::vector<CK_OBJECT_HANDLE> caFound = view.session.find(ca);
  ASSERT_EQ(caFound.size(), 1u);
  EXPECT_EQ(view.session.attribute(caFound[0], CKA_VALUE), pki_.ca.cert.der());
  EXPECT_EQ(view.session.findAll().size(), 7u);
  Bytes data = testtoken::toBytes("the placed key still signs");
  EXPECT_TRUE(signatureVerifies(placed, data, view.session.sign(taken, data)));
}

TEST_F(VelkorImport, SameCertificateWithAMissingKeyGetsItUnderItsIdentifier) {
  Bytes id = {0x42};
  {
    TokenView view(token_);
    view.session.createCertificate(pki_.newCert.der(), id, "current");
    view.session.createPublicKey(pki_.newKey.get(), id, "", pki_.newCert.subjectDer());
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
  }
  testtoken::RunResult r = Import(pki_.Renewal());
  EXPECT_EQ(r.signedExitCode(), 0);
  TokenView view(token_);
  testtoken::Template match;
  match.addUlong(CKA_CLASS, CKO_PRIVATE_KEY);
  std::vector<CK_OBJECT_HANDLE> keys = view.session.find(match);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(view.session.attribute(keys[0], CKA_ID), id);
  EXPECT_EQ(view.session.findAll().size(), 4u);
}

// Keys of the new certificate's key material under an identifier that no
// certificate carries are what an interrupted import of it left.  None is
// taken as it is, however it was written: the set is written afresh from
// the file, the leftovers go with the old set, and a foreign key under the
// same identifier stays where it is.
TEST_F(VelkorImport, KeysLeftByAnInterruptedImportAreReplaced) {
  const Bytes orphanId = testtoken::toBytes("20261208093000123\n");
  const testtoken::Key wrongExponent = WithComponentChanged(pki_.newKey, 2);
  testtoken::Template exposed;
  exposed.addBool(CKA_PRIVATE, false).addBool(CKA_SENSITIVE, false).addBool(CKA_EXTRACTABLE, true);
  testtoken::Template cannotSign;
  cannotSign.addBool(CKA_SIGN, false);
  struct Case {
    const char *what;
    const testtoken::Key *key;
    const testtoken::Template *extra;
    bool publicKey;
    bool foreignKey;
    // Another certificate, of another subject, carries the same key
    // material under an identifier of its own: its key is no leftover.
    bool carriedElsewhere = false;
  } cases[] = {
      {"private key left", &pki_.newKey, nullptr, false, false},
      {"private and public key left", &pki_.newKey, nullptr, true, false},
      {"readable without the PIN, extractable", &pki_.newKey, &exposed, true, false},
      {"wrong private exponent", &wrongExponent, nullptr, false, false},
      {"not allowed to sign", &pki_.newKey, &cannotSign, false, false},
      {"a foreign key under the same identifier", &pki_.newKey, nullptr, true, true},
      {"the same material under another certificate", &pki_.newKey, nullptr, false, false, true},
  };
  const Bytes elsewhereId = {0x07};
  const testtoken::Certificate elsewhere = pki_.Issue(
      testtoken::simpleName({{"C", "JP"}, {"O", "Elsewhere Inc"}, {"CN", "Jiro Suzuki"}}), 1500, pki_.newKey);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    {
      TokenView view(token_);
      for (const auto &o : view.session.objects()) view.session.destroy(o.handle);
      SeedOldSet(view.session, pki_);
      view.session.createPrivateKey(c.key->get(), orphanId, "", {}, c.extra);
      if (c.publicKey) view.session.createPublicKey(pki_.newKey.get(), orphanId, "", {});
      if (c.foreignKey) view.session.createPrivateKey(pki_.oldKey.get(), orphanId, "", {});
      if (c.carriedElsewhere) {
        view.session.createCertificate(elsewhere.der(), elsewhereId, "elsewhere");
        view.session.createPrivateKey(pki_.newKey.get(), elsewhereId, "", {});
      }
    }
    testtoken::RunResult r = Import(pki_.Renewal());
    EXPECT_EQ(r.signedExitCode(), 0) << (app_.Log() ? *app_.Log() : "");
    TokenView view(token_);
    SetCheck sets = CheckSets(view.session, pki_);
    ASSERT_EQ(sets.completeSets, 1);
    EXPECT_FALSE(sets.oldCertPresent);
    const Bytes id = sets.completeIds[0];
    EXPECT_NE(id, orphanId);
    // Exactly one private key of the new material: the fresh one.
    int newMaterial = 0;
    testtoken::Template privateKeys;
    privateKeys.addUlong(CKA_CLASS, CKO_PRIVATE_KEY);
    for (CK_OBJECT_HANDLE k : view.session.find(privateKeys)) {
      if (view.session.attribute(k, CKA_MODULUS) != pki_.newKey.modulus()) continue;
      if (view.session.attribute(k, CKA_ID) == elsewhereId) continue;
      ++newMaterial;
      EXPECT_EQ(view.session.attribute(k, CKA_ID), id);
      EXPECT_EQ(view.session.attribute(k, CKA_PRIVATE), Bytes{CK_TRUE});
      EXPECT_EQ(view.session.attribute(k, CKA_SENSITIVE), Bytes{CK_TRUE});
      EXPECT_EQ(view.session.attribute(k, CKA_EXTRACTABLE), Bytes{CK_FALSE});
    }
    EXPECT_EQ(newMaterial, 1);
    EXPECT_TRUE(signatureVerifies(pki_.newCert, Bytes{4, 5, 6}, view.session.sign(id, Bytes{4, 5, 6})));
    // The new set, the CA, and the foreign key or other certificate's set
    // where there was one.
    EXPECT_EQ(view.session.findAll().size(), 4u + (c.foreignKey ? 1u : 0u) + (c.carriedElsewhere ? 2u : 0u));
    view.session.logout();
    EXPECT_TRUE(view.session.find(privateKeys).empty()) << "a private key is visible without the PIN";
  }
}

TEST_F(VelkorImport, TwoCopiesOfTheCurrentCertificateNeverCostItsKeys) {
  Bytes id = {0x42};
  {
    TokenView view(token_);
    Bytes subject = pki_.newCert.subjectDer();
    view.session.createCertificate(pki_.newCert.der(), id, "current");
    view.session.createCertificate(pki_.newCert.der(), id, "copy");
    view.session.createPrivateKey(pki_.newKey.get(), id, "", subject);
    view.session.createPublicKey(pki_.newKey.get(), id, "", subject);
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
  }
  testtoken::RunResult r = Import(pki_.Renewal());
  EXPECT_EQ(r.signedExitCode(), 0);
  TokenView view(token_);
  SetCheck sets = CheckSets(view.session, pki_);
  EXPECT_EQ(sets.completeSets, 1);
  EXPECT_EQ(view.session.findAll().size(), 4u);  // the copy went, the keys stayed
  EXPECT_TRUE(signatureVerifies(pki_.newCert, Bytes{1, 2, 3}, view.session.sign(id, Bytes{1, 2, 3})));
}

TEST_F(VelkorImport, SubcnMatchesSubjectsThatDifferOutsideTheCommonName) {
  testtoken::Name moved = testtoken::simpleName({{"C", "JP"}, {"O", "Elsewhere Inc"}, {"CN", "Taro Yamada"}});
  testtoken::Certificate movedCert = pki_.Issue(moved, 900, pki_.oldKey);
  {
    TokenView view(token_);
    view.session.createCertificate(movedCert.der(), {0x01}, "old");
    view.session.createPrivateKey(pki_.oldKey.get(), {0x01}, "old", movedCert.subjectDer());
    view.session.createPublicKey(pki_.oldKey.get(), {0x01}, "old", movedCert.subjectDer());
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
  }
  // The whole DN differs: refused with SUBDN.
  testtoken::RunResult r = Import(pki_.Renewal());
  EXPECT_EQ(r.signedExitCode(), -3);
  ExpectLog(kSubjectMismatch, -3);
  fs::remove(app_.logPath());

  r = Import(pki_.Renewal(), "SUBCN");
  EXPECT_EQ(r.signedExitCode(), 0);
  EXPECT_FALSE(app_.Log().has_value());
  TokenView view(token_);
  SetCheck sets = CheckSets(view.session, pki_);
  EXPECT_EQ(sets.completeSets, 1);
  EXPECT_EQ(view.session.findAll().size(), 4u);
}

TEST_F(VelkorImport, SubcnStillComparesTheCaByWholeName) {
  // Only another CA on the token: the CA of the file has no match, even
  // when the common names are the same.
  const std::vector<testtoken::Name> otherCaNames = {
      testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "Another CA"}}),
      testtoken::simpleName({{"C", "JP"}, {"O", "Elsewhere Inc"}, {"CN", "Velkor Test CA"}})};
  {
    TokenView view(token_);
    SeedOldSet(view.session, pki_);
  }
  for (size_t i = 0; i < otherCaNames.size(); ++i) {
    SCOPED_TRACE("token CA " + std::to_string(i));
    testtoken::CertAuthority otherCa = testtoken::CertAuthority::create(otherCaNames[i], 2048);
    std::vector<std::vector<Bytes>> before;
    {
      TokenView view(token_);
      testtoken::Template ca;
      ca.add(CKA_ID, Bytes{0x02});
      for (CK_OBJECT_HANDLE h : view.session.find(ca)) view.session.destroy(h);
      view.session.createCertificate(otherCa.cert.der(), {0x02}, "other ca");
      before = Snapshot(view.session);
    }
    fs::remove(app_.logPath());
    testtoken::RunResult r = Import(pki_.Renewal(), "SUBCN");
    EXPECT_EQ(r.signedExitCode(), -14);
    ExpectLog(kSubjectCnMismatch, -14);
    TokenView view(token_);
    EXPECT_EQ(Snapshot(view.session), before);
  }
}

TEST_F(VelkorImport, IssuerCheckRefusesACertificateFromAnotherIssuer) {
  testtoken::CertAuthority otherCa = testtoken::CertAuthority::create(
      testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "Another CA"}}), 2048);
  testtoken::CertParams params;
  params.subject = pki_.eeName;
  params.serial = testtoken::serialFromNumber(5);
  testtoken::Certificate foreign = otherCa.issue(params, pki_.oldKey);
  {
    TokenView view(token_);
    view.session.createCertificate(foreign.der(), {0x01}, "foreign");
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
  }
  testtoken::RunResult r = Import(pki_.Renewal(), "SUBDN", "ISCHKON");
  EXPECT_EQ(r.signedExitCode(), -15);
  ExpectLog("error:Kivo内の証明書とPKCS#12のイシュアが異なる。", -15);
}

TEST_F(VelkorImport, IssuerCheckAcceptsTheSameIssuer) {
  {
    TokenView view(token_);
    SeedOldSet(view.session, pki_);
  }
  testtoken::RunResult r = Import(pki_.Renewal(), "SUBDN", "ISCHKON");
  EXPECT_EQ(r.signedExitCode(), 0);
  EXPECT_FALSE(app_.Log().has_value());
}

TEST_F(VelkorImport, SubjectMismatchWithoutAdditionIsRefusedAndTheTokenKept) {
  testtoken::Certificate stranger =
      pki_.Issue(testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "Hanako Suzuki"}}), 77,
                 pki_.oldKey);
  std::vector<std::vector<Bytes>> before;
  {
    TokenView view(token_);
    view.session.createCertificate(stranger.der(), {0x01}, "stranger");
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
    before = Snapshot(view.session);
  }
  testtoken::RunResult r = Import(pki_.Renewal(), "SUBDN", "ISCHKOFF", "ADDOFF");
  EXPECT_EQ(r.signedExitCode(), -3);
  ExpectLog(kSubjectMismatch, -3);
  r = Import(pki_.Renewal(), "SUBDN", "ISCHKON", "ADDON");
  EXPECT_EQ(r.signedExitCode(), -3);
  ExpectLog(kSubjectMismatch, -3);
  TokenView view(token_);
  EXPECT_EQ(Snapshot(view.session), before);
}

TEST_F(VelkorImport, TokenObjectCountBounds) {
  testtoken::RunResult r = Import(pki_.Renewal());
  EXPECT_EQ(r.signedExitCode(), -13);
  ExpectLog("error:USB内のオブジェクトが空", -13);

  {
    TokenView view(token_);
    SeedOldSet(view.session, pki_);
    for (int i = 0; i < 507; ++i) {
      testtoken::Template data;
      data.addUlong(CKA_CLASS, CKO_DATA).addBool(CKA_TOKEN, true).add(CKA_VALUE, std::to_string(i));
      view.session.create(data);
    }
    ASSERT_EQ(view.session.findAll().size(), 511u);
  }
  // 511 objects: accepted, and the renewal makes 511 again.
  r = Import(pki_.Renewal());
  EXPECT_EQ(r.signedExitCode(), 0);
  {
    TokenView view(token_);
    ASSERT_EQ(view.session.findAll().size(), 511u);
    testtoken::Template data;
    data.addUlong(CKA_CLASS, CKO_DATA).addBool(CKA_TOKEN, true).add(CKA_VALUE, "one more");
    view.session.create(data);
  }
  fs::remove(app_.logPath());
  r = Import(pki_.Renewal());
  EXPECT_EQ(r.signedExitCode(), -5);
  ExpectLog("error:USB内のオブジェクトが規定値よりも多い", -5);
}

class VelkorPkcs12 : public VelkorImport {
 protected:
  void SetUp() override {
    TokenView view(token_);
    SeedOldSet(view.session, pki_);
  }
};

TEST_F(VelkorPkcs12, OnlyTheEndEntityCertificate) {
  testtoken::RunResult r = Import(pki_.Pkcs12(&pki_.newKey, {&pki_.newCert}, pki_.password));
  EXPECT_EQ(r.signedExitCode(), -16);
  ExpectLog("error:PKCS#12内にCA証明書が存在しない。", -16);
}

TEST_F(VelkorPkcs12, OnlyACaCertificateIsHandledAlone) {
  testtoken::Certificate oldCa = pki_.OldCaCert();
  {
    TokenView view(token_);
    testtoken::Template ca;
    ca.add(CKA_ID, Bytes{0x02});
    for (CK_OBJECT_HANDLE h : view.session.find(ca)) view.session.destroy(h);
    view.session.createCertificate(oldCa.der(), {0x02}, "old ca");
  }
  testtoken::RunResult r = Import(pki_.Pkcs12(nullptr, {&pki_.ca.cert}, pki_.password));
  EXPECT_EQ(r.signedExitCode(), 0);
  TokenView view(token_);
  SetCheck sets = CheckSets(view.session, pki_);
  EXPECT_TRUE(sets.oldCertPresent);  // the end-entity set is not touched
  EXPECT_EQ(sets.completeIds, std::vector<Bytes>{Bytes{0x01}});
  int cas = 0;
  for (const auto &o : view.session.objects()) {
    if (o.objectClass == CKO_CERTIFICATE && o.subject == pki_.ca.cert.subjectDer()) {
      ++cas;
      EXPECT_EQ(o.value, pki_.ca.cert.der());
    }
  }
  EXPECT_EQ(cas, 1);
}

TEST_F(VelkorPkcs12, ShapesThatAreRefused) {
  struct Case {
    const char *name;
    Bytes p12;
    std::string message;
  };
  testtoken::Certificate second = pki_.Issue(pki_.eeName, 1003, pki_.newKey);
  std::vector<Case> cases = {
      {"three certificates", pki_.Pkcs12(&pki_.newKey, {&pki_.newCert, &pki_.ca.cert, &pki_.oldCert}, pki_.password),
       "error:P12ファイルが不正である。P12ファイルに証明書が複数格納されている。"},
      {"no certificate", pki_.Pkcs12(&pki_.newKey, {}, pki_.password), "error:PKCS#12内に証明書が存在しない。"},
      {"two certificates with the key", pki_.Pkcs12(&pki_.newKey, {&pki_.newCert, &second}, pki_.password),
       "error:P12ファイルが不正である。P12ファイルに秘密鍵を持つ証明書が複数格納されている。"},
      {"two certificates without a key", pki_.Pkcs12(nullptr, {&pki_.oldCert, &pki_.ca.cert}, pki_.password),
       "error:P12ファイルが不正である。P12ファイルに秘密鍵を持つ証明書が存在しない。"},
      {"not a PKCS#12 file", pki_.newCert.der(), "error:指定されたファイルPKCS#12ファイルではありません。"},
      {"wrong password", pki_.Pkcs12(&pki_.newKey, {&pki_.newCert, &pki_.ca.cert}, "other"),
       "error:PKCS#12ファイルのパスワードが間違っています。"},
  };
  std::vector<std::vector<Bytes>> before;
  {
    TokenView view(token_);
    before = Snapshot(view.session);
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    testtoken::RunResult r = Import(c.p12);
    EXPECT_EQ(r.signedExitCode(), -1);
    ExpectLog(c.message, -1);
    EXPECT_FALSE(fs::exists(app_.p12Path()));
  }
  TokenView view(token_);
  EXPECT_EQ(Snapshot(view.session), before);
}

TEST_F(VelkorPkcs12, PasswordsInTheUsersCharacterSet) {
  const std::string utf8Password = "パスワード";
  Bytes p12 = pki_.Pkcs12(&pki_.newKey, {&pki_.newCert, &pki_.ca.cert}, utf8Password);
  testtoken::EnvMap env = token_.environment();
  env["LC_ALL"] = "C";
  // Bytes that are no text of the C locale cannot be converted.
  testtoken::RunResult r = app_.Import(p12, "1234", utf8Password, token_.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF",
                                       env);
  EXPECT_EQ(r.signedExitCode(), -1);
  ExpectLog("error:PKCS#12ファイルのパスワードをWCSに変換できませんでした。", -1);
  // The same password typed in a Shift_JIS locale.
  env["LC_ALL"] = "ja_JP.SJIS";
  r = app_.Import(p12, "1234", Cp932(utf8Password), token_.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF", env);
  EXPECT_EQ(r.signedExitCode(), 0);
}

TEST_F(VelkorPkcs12, PasswordInAUtf8Locale) {
  const std::string password = "パスワード";
  testtoken::EnvMap env = token_.environment();
  env["LC_ALL"] = "ja_JP.UTF-8";
  testtoken::RunResult r = app_.Import(pki_.Pkcs12(&pki_.newKey, {&pki_.newCert, &pki_.ca.cert}, password), "1234",
                                       password, token_.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF", env);
  EXPECT_EQ(r.signedExitCode(), 0);
  EXPECT_FALSE(app_.Log().has_value());
}

// The openssl command line tool, from PATH.
std::string OpenSslTool() {
  const char *path = std::getenv("PATH");
  std::string rest = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= rest.size();) {
    size_t colon = rest.find(':', start);
    if (colon == std::string::npos) colon = rest.size();
    fs::path candidate = fs::path(rest.substr(start, colon - start)) / "openssl";
    if (!candidate.parent_path().empty() && access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = colon + 1;
  }
  return "/usr/bin/openssl";
}

// The same key and certificates, exported again by openssl with the key in
// a plain (unencrypted) keyBag and the certificates unencrypted; only the
// MAC is keyed with the password.
Bytes PlainKeyBagPkcs12(const Bytes &p12, const std::string &password) {
  testtoken::TempDir dir("plainkeybag");
  testtoken::writeFile(dir / "in.p12", p12);
  testtoken::RunOptions options;
  options.env["VELKOR_P12_PASS"] = password;
  auto openssl = [&](const std::vector<std::string> &args) {
    testtoken::RunResult r = testtoken::runProcess(OpenSslTool(), args, options);
    if (r.exitCode != 0) throw testtoken::Error("openssl failed: " + r.err);
    return r;
  };
  openssl({"pkcs12", "-in", (dir / "in.p12").string(), "-passin", "env:VELKOR_P12_PASS", "-nodes", "-out",
           (dir / "all.pem").string()});
  openssl({"pkcs12", "-export", "-in", (dir / "all.pem").string(), "-keypbe", "NONE", "-certpbe", "NONE",
           "-passout", "env:VELKOR_P12_PASS", "-out", (dir / "plain.p12").string()});
  testtoken::RunResult info = openssl({"pkcs12", "-in", (dir / "plain.p12").string(), "-passin",
                                       "env:VELKOR_P12_PASS", "-info", "-noout"});
  const std::string bags = info.out + info.err;
  if (bags.find("Key bag") == std::string::npos || bags.find("Shrouded") != std::string::npos) {
    throw testtoken::Error("openssl made no plain keyBag: " + bags);
  }
  return testtoken::readFile(dir / "plain.p12");
}

// The private key in either kind of key bag: renewed, and the new key
// signs on the token.
TEST_F(VelkorPkcs12, KeyBagShapesAreRenewed) {
  struct Case {
    const char *name;
    Bytes p12;
  };
  const std::vector<Case> cases = {{"shrouded key bag", pki_.Renewal()},
                                   {"plain key bag", PlainKeyBagPkcs12(pki_.Renewal(), pki_.password)}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    {
      TokenView view(token_);
      for (CK_OBJECT_HANDLE h : view.session.findAll()) view.session.destroy(h);
      SeedOldSet(view.session, pki_);
    }
    fs::remove(app_.logPath());
    testtoken::RunResult r = Import(c.p12);
    EXPECT_EQ(r.signedExitCode(), 0) << (app_.Log() ? *app_.Log() : "");
    TokenView view(token_);
    SetCheck sets = CheckSets(view.session, pki_);
    EXPECT_EQ(sets.completeSets, 1);
    EXPECT_FALSE(sets.oldCertPresent);
    ASSERT_EQ(sets.completeIds.size(), 1u);
    EXPECT_TRUE(signatureVerifies(pki_.newCert, Bytes{4, 5, 6}, view.session.sign(sets.completeIds[0], Bytes{4, 5, 6})));
  }
}

TEST_F(VelkorPkcs12, EmptyPasswordAlsoOpensAFileWithoutPassword) {
  testtoken::Pkcs12Params params;
  params.absentPassword = true;
  params.key = &pki_.newKey;
  params.certs = {&pki_.newCert, &pki_.ca.cert};
  testtoken::RunResult r = app_.Import(testtoken::makePkcs12(params), "1234", "", token_.modulePath(), "SUBDN",
                                       "ISCHKOFF", "ADDOFF", token_.environment());
  EXPECT_EQ(r.signedExitCode(), 0);
}

TEST_F(VelkorPkcs12, EmptyPassword) {
  testtoken::RunResult r = app_.Import(pki_.Pkcs12(&pki_.newKey, {&pki_.newCert, &pki_.ca.cert}, ""), "1234", "",
                                       token_.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF", token_.environment());
  EXPECT_EQ(r.signedExitCode(), 0);
}

TEST_F(VelkorPkcs12, CaFirstInTheFileIsWrittenFirst) {
  testtoken::Certificate oldCa = pki_.OldCaCert();
  {
    TokenView view(token_);
    testtoken::Template ca;
    ca.add(CKA_ID, Bytes{0x02});
    for (CK_OBJECT_HANDLE h : view.session.find(ca)) view.session.destroy(h);
    view.session.createCertificate(oldCa.der(), {0x02}, "old ca");
  }
  testtoken::RunResult r = Import(pki_.Pkcs12(&pki_.newKey, {&pki_.ca.cert, &pki_.newCert}, pki_.password));
  EXPECT_EQ(r.signedExitCode(), 0);
  TokenView view(token_);
  SetCheck sets = CheckSets(view.session, pki_);
  EXPECT_EQ(sets.completeSets, 1);
  EXPECT_FALSE(sets.oldCertPresent);
  EXPECT_EQ(view.session.findAll().size(), 4u);
}

// The default module name: a copy of the client module called
// tkvault11.dll on the child's library path.
class VelkorDefaultModule : public VelkorImport {
 protected:
  testtoken::TempDir libs_{"tkvault"};
  testtoken::EnvMap Env() {
    fs::create_symlink(token_.modulePath(), libs_.path() / "tkvault11.dll");
    testtoken::EnvMap env = token_.environment();
    env["LD_LIBRARY_PATH"] = libs_.path().string();
    return env;
  }
};

TEST_F(VelkorDefaultModule, KeysCarryTheSubjectAndAnEmptyLabel) {
  {
    TokenView view(token_);
    SeedOldSet(view.session, pki_);
  }
  testtoken::RunResult r = app_.Import(pki_.Renewal(), "1234", pki_.password, "tkvault11.dll", "SUBDN", "ISCHKOFF",
                                       "ADDOFF", Env());
  EXPECT_EQ(r.signedExitCode(), 0) << (app_.Log() ? *app_.Log() : "");
  TokenView view(token_);
  SetCheck sets = CheckSets(view.session, pki_);
  EXPECT_EQ(sets.completeSets, 1);
  EXPECT_EQ(view.session.findAll().size(), 4u);
  ASSERT_EQ(sets.completeIds.size(), 1u);
  // The CA certificate on the token is the file's: it stays as it was.
  ExpectWrittenTemplates(view.session, pki_, true, sets.completeIds[0], Bytes{});
}

TEST_F(VelkorDefaultModule, KeySearchNeedsSubjectAndIdentifier) {
  // Old keys with the right identifier but without a subject: the default
  // module's search does not find them; any other module's does.
  {
    TokenView view(token_);
    view.session.createCertificate(pki_.oldCert.der(), {0x01}, "old");
    view.session.createPrivateKey(pki_.oldKey.get(), {0x01}, "old");
    view.session.createPublicKey(pki_.oldKey.get(), {0x01}, "old");
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
  }
  testtoken::RunResult r = app_.Import(pki_.Renewal(), "1234", pki_.password, "tkvault11.dll", "SUBDN", "ISCHKOFF",
                                       "ADDOFF", Env());
  EXPECT_EQ(r.signedExitCode(), 0);
  {
    TokenView view(token_);
    testtoken::Template old;
    old.add(CKA_ID, Bytes{0x01});
    EXPECT_EQ(view.session.find(old).size(), 2u);  // the two keys stayed
  }
}

TEST_F(VelkorImport, KeySearchByIdentifierAloneWithAnotherModule) {
  {
    TokenView view(token_);
    view.session.createCertificate(pki_.oldCert.der(), {0x01}, "old");
    view.session.createPrivateKey(pki_.oldKey.get(), {0x01}, "old");
    view.session.createPublicKey(pki_.oldKey.get(), {0x01}, "old");
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
  }
  testtoken::RunResult r = Import(pki_.Renewal());
  EXPECT_EQ(r.signedExitCode(), 0);
  TokenView view(token_);
  testtoken::Template old;
  old.add(CKA_ID, Bytes{0x01});
  EXPECT_EQ(view.session.find(old).size(), 0u);
}

}  // namespace
}  // namespace velkor_test

namespace velkor_test {
namespace {

TEST_F(VelkorImport, TokenWithoutAnyCertificateIsASubjectMismatch) {
  {
    TokenView view(token_);
    view.session.createPrivateKey(pki_.oldKey.get(), {0x01}, "old", pki_.oldCert.subjectDer());
    view.session.createPublicKey(pki_.oldKey.get(), {0x01}, "old", pki_.oldCert.subjectDer());
  }
  EXPECT_EQ(Import(pki_.Renewal()).signedExitCode(), -3);
  ExpectLog(kSubjectMismatch, -3);
  EXPECT_EQ(Import(pki_.Renewal(), "SUBCN").signedExitCode(), -14);
  ExpectLog(kSubjectCnMismatch, -14);
}

TEST_F(VelkorImport, SubcnNeverMatchesASubjectWithoutCommonName) {
  testtoken::Name noCn = testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}});
  testtoken::Certificate noCnOld = pki_.Issue(noCn, 41, pki_.oldKey);
  testtoken::Certificate noCnNew = pki_.Issue(noCn, 42, pki_.newKey);
  {
    TokenView view(token_);
    view.session.createCertificate(noCnOld.der(), {0x01}, "old");
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
  }
  testtoken::RunResult r = Import(pki_.Pkcs12(&pki_.newKey, {&noCnNew, &pki_.ca.cert}, pki_.password), "SUBCN");
  EXPECT_EQ(r.signedExitCode(), -14);
  ExpectLog(kSubjectCnMismatch, -14);
}

TEST_F(VelkorPkcs12, FileWithoutMacIsCheckedByDecryption) {
  testtoken::Pkcs12Params params;
  params.password = pki_.password;
  params.key = &pki_.newKey;
  params.certs = {&pki_.newCert, &pki_.ca.cert};
  params.mac = false;
  params.encryption = testtoken::Pkcs12Encryption::Legacy3Des;
  Bytes p12 = testtoken::makePkcs12(params);
  testtoken::RunResult r = app_.Import(p12, "1234", "not the password", token_.modulePath(), "SUBDN", "ISCHKOFF",
                                       "ADDOFF", token_.environment());
  EXPECT_EQ(r.signedExitCode(), -1);
  ASSERT_TRUE(app_.Log().has_value());
  std::string expectedHead = Cp932("error:PKCS#12のインポートに失敗しました。\ncode=0x");
  EXPECT_EQ(app_.Log()->substr(0, expectedHead.size()), expectedHead);
  std::string rest = app_.Log()->substr(expectedHead.size());
  EXPECT_TRUE(std::regex_match(rest.substr(0, 8), std::regex("[0-9A-F]{8}"))) << rest;
  EXPECT_EQ(rest.substr(8), Cp932("\nツールの戻り値 = -1"));
  r = app_.Import(p12, "1234", pki_.password, token_.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF",
                  token_.environment());
  EXPECT_EQ(r.signedExitCode(), 0);
}

}  // namespace
}  // namespace velkor_test

namespace velkor_test {
namespace {

TEST_F(VelkorImport, SecondCopyUnderAnotherIdentifierGoesWithItsKeys) {
  {
    TokenView view(token_);
    Bytes subject = pki_.newCert.subjectDer();
    for (Bytes id : {Bytes{0x42}, Bytes{0x43}}) {
      view.session.createCertificate(pki_.newCert.der(), id, "copy");
      view.session.createPrivateKey(pki_.newKey.get(), id, "", subject);
      view.session.createPublicKey(pki_.newKey.get(), id, "", subject);
    }
    view.session.createCertificate(pki_.ca.cert.der(), {0x02}, "ca");
  }
  EXPECT_EQ(Import(pki_.Renewal()).signedExitCode(), 0);
  TokenView view(token_);
  SetCheck sets = CheckSets(view.session, pki_);
  EXPECT_EQ(sets.completeSets, 1);
  EXPECT_FALSE(sets.anyIncompleteNewObject);
  EXPECT_EQ(view.session.findAll().size(), 4u);
}

}  // namespace
}  // namespace velkor_test
