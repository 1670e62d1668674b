// The same renewals, subject change, refused write and listings on every
// token implementation that takes imported keys: SoftHSM2, NSS softoken and
// gnome-keyring's store behind p11-kit's server, openCryptoki's software
// token behind its slot daemon, and a smart card: OpenSC's PKCS#11 module
// over pcscd with the harness's emulated IsoApplet card, once whose files
// carry access rules (OpenSC presents the PIN for updates and deletes) and
// once whose files carry none. After each import
// the private key Velkor wrote keeps its private exponent secret, signs for
// the new certificate and deciphers what was encrypted for it, and the CA
// certificate has an identifier of its own. gnome-keyring's store is in
// the matrix for the listings; its renewal cells are known failures (see
// KnownFailure). Beside the matrix: what a renewal does on gnome-keyring,
// Sarnet on p11-kit's read-only trust module, and what only a card has (a
// PIN retry counter, a reader without a card, a refused write taken back
// after a fresh start, a system pcscd beside the tests' one).
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "release_support.h"

namespace release_test {
namespace {

using namespace testtoken;

enum class Impl { SoftHsm, OpenCryptoki, Nss, GnomeKeyring, OpenScCard, OpenScCardNoRules };

bool IsCard(Impl impl) { return impl == Impl::OpenScCard || impl == Impl::OpenScCardNoRules; }

std::string ImplName(Impl impl) {
  switch (impl) {
    case Impl::SoftHsm:
      return "SoftHsm";
    case Impl::OpenCryptoki:
      return "OpenCryptoki";
    case Impl::Nss:
      return "NssSoftoken";
    case Impl::GnomeKeyring:
      return "GnomeKeyring";
    case Impl::OpenScCard:
      return "OpenScCard";
    case Impl::OpenScCardNoRules:
      return "OpenScCardNoRules";
  }
  return "unknown";
}

enum class Scenario { RenewalSameCa, RenewalRenewedCa, SubjectChange, RefusedWrite, Listing, WriteProtectedListing };

// Cells of the matrix known to fail, with the reason; the cell is then
// skipped and says why (GnomeKeyringStore below asserts what happens).
std::optional<std::string> KnownFailure(Impl impl, Scenario scenario) {
  if (impl == Impl::GnomeKeyring && scenario != Scenario::Listing && scenario != Scenario::WriteProtectedListing)
    return "gnome-keyring's store refuses Velkor's public key template: C_CreateObject (CKO_PUBLIC_KEY) returns "
           "CKR_ATTRIBUTE_TYPE_INVALID (0x12) for CKA_ID, CKA_VERIFY_RECOVER and CKA_WRAP";
  return std::nullopt;
}

class SoftHsmServed : public ServedToken {
 public:
  std::string modulePath() const override { return token_.modulePath(); }
  EnvMap environment() const override { return token_.environment(); }
  const TokenConfig &token() const override { return token_.token(); }

 private:
  SoftHsmToken token_;
};

std::unique_ptr<ServedToken> MakeToken(Impl impl) {
  switch (impl) {
    case Impl::SoftHsm:
      return std::make_unique<SoftHsmServed>();
    case Impl::OpenCryptoki:
      return std::make_unique<OpenCryptokiToken>();
    case Impl::Nss:
      return std::make_unique<NssToken>();
    case Impl::GnomeKeyring:
      return std::make_unique<GnomeKeyringToken>();
    case Impl::OpenScCard:
      return std::make_unique<OpenScCardToken>(CardPersonality::AccessRules);
    case Impl::OpenScCardNoRules:
      return std::make_unique<OpenScCardToken>(CardPersonality::NoAccessRules);
  }
  throw Error("unknown token implementation");
}

// The old set as another application left it: certificate and key pair
// under 01, the CA certificate under 02. gnome-keyring's store refuses
// some attributes of the usual templates with CKR_ATTRIBUTE_TYPE_INVALID
// (CKA_ISSUER of a certificate, a non-empty CKA_SUBJECT of a private key,
// CKA_ID, CKA_WRAP and CKA_VERIFY_RECOVER of a public key) and derives
// identifiers and labels itself: it gets only what it takes.
void SeedOld(P11Session &s, Impl impl) {
  const Pki &pki = SharedPki();
  if (impl != Impl::GnomeKeyring) {
    SeedOldSet(s);
    return;
  }
  for (const Certificate *cert : {&pki.oldCert, &pki.ca.cert}) {
    Template t;
    t.addUlong(CKA_CLASS, CKO_CERTIFICATE)
        .addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
        .addBool(CKA_TOKEN, true)
        .add(CKA_VALUE, cert->der());
    s.create(t);
  }
  s.createPrivateKey(pki.oldKey.get(), {0x01}, "old key");
  Template pub;
  pub.addUlong(CKA_CLASS, CKO_PUBLIC_KEY)
      .addUlong(CKA_KEY_TYPE, CKK_RSA)
      .addBool(CKA_TOKEN, true)
      .add(CKA_MODULUS, pki.oldKey.modulus())
      .add(CKA_PUBLIC_EXPONENT, pki.oldKey.publicExponent());
  s.create(pub);
}

// The old set and a second user's certificate under 03.
void SeedListing(P11Session &s, Impl impl) {
  SeedOld(s, impl);
  if (impl != Impl::GnomeKeyring) {
    s.createCertificate(SharedPki().otherCert.der(), {0x03}, "other certificate");
    return;
  }
  Template t;
  t.addUlong(CKA_CLASS, CKO_CERTIFICATE)
      .addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
      .addBool(CKA_TOKEN, true)
      .add(CKA_VALUE, SharedPki().otherCert.der());
  s.create(t);
}

// CKO_PROFILE (PKCS#11 3.0; p11-kit's header predates it).
constexpr CK_OBJECT_CLASS kProfileClass = 9;

// Objects a token makes by itself, beside what was written: OpenSC adds a
// profile object and, for a certificate without a key of its own (the CA
// certificate), a public key taken from the certificate.
bool MadeByTheToken(const TokenObject &o, const std::vector<TokenObject> &all) {
  if (o.objectClass == kProfileClass) return true;
  if (o.objectClass != CKO_PUBLIC_KEY) return false;
  bool certificate = false;
  for (const TokenObject &other : all) {
    if (other.id != o.id) continue;
    if (other.objectClass == CKO_PRIVATE_KEY) return false;
    certificate = certificate || other.objectClass == CKO_CERTIFICATE;
  }
  return certificate;
}

// The identifier under which `der` sits on the token; empty when absent.
Bytes IdOfCertificate(const std::vector<TokenObject> &objects, const Bytes &der) {
  for (const TokenObject &o : objects)
    if (o.objectClass == CKO_CERTIFICATE && o.value == der) return o.id;
  return {};
}

std::vector<std::vector<std::string>> Entries(const std::string &text) {
  std::vector<std::string> lines = Lines(text);
  std::vector<std::vector<std::string>> entries;
  for (size_t i = 0; i + 4 <= lines.size(); i += 4) entries.push_back({lines.begin() + i, lines.begin() + i + 4});
  if (lines.size() % 4 != 0) entries.push_back({"incomplete entry"});
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::vector<std::vector<std::string>> ListingEntries() {
  std::vector<std::vector<std::string>> expected = {OldCertEntry(), OtherCertEntry()};
  std::sort(expected.begin(), expected.end());
  return expected;
}

// The DER DigestInfo of data's SHA-256 hash: what CKM_RSA_PKCS signs.
Bytes Sha256DigestInfo(const Bytes &data) {
  Bytes digestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                      0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  unsigned char hash[32];
  unsigned int hashLength = 0;
  if (EVP_Digest(data.data(), data.size(), hash, &hashLength, EVP_sha256(), nullptr) != 1)
    throw Error("SHA-256 failed");
  digestInfo.insert(digestInfo.end(), hash, hash + hashLength);
  return digestInfo;
}

class TokenMatrix : public ::testing::TestWithParam<Impl> {
 protected:
  void Prepare(Scenario scenario) {
    if (auto reason = KnownFailure(GetParam(), scenario)) GTEST_SKIP() << "known failure: " << *reason;
    token_ = MakeToken(GetParam());
  }

  template <typename F>
  void WithSession(F f) {
    ScopedEnv env(token_->environment());
    std::unique_ptr<P11Client> own;
    P11Client *client = token_->sharedClient();
    if (client == nullptr) {
      own = std::make_unique<P11Client>(token_->modulePath());
      client = own.get();
    }
    P11Session session = client->openSession(client->onlySlot());
    session.login(token_->token().userPin);
    f(session);
  }

  // The objects written to the token: on the card without those OpenSC
  // makes by itself (see MadeByTheToken); elsewhere every object.
  std::vector<TokenObject> Objects() {
    std::vector<TokenObject> all;
    WithSession([&](P11Session &s) { all = s.objects(); });
    if (dynamic_cast<OpenScCardToken *>(token_.get()) == nullptr) return all;
    std::vector<TokenObject> written;
    for (const TokenObject &o : all)
      if (!MadeByTheToken(o, all)) written.push_back(o);
    return written;
  }

  // Every object with the attributes that matter, sorted (handles aside).
  std::vector<std::vector<Bytes>> Contents() {
    std::vector<std::vector<Bytes>> contents;
    for (const TokenObject &o : Objects()) {
      Bytes cls(sizeof o.objectClass);
      std::copy_n(reinterpret_cast<const unsigned char *>(&o.objectClass), sizeof o.objectClass, cls.begin());
      contents.push_back({cls, toBytes(o.label), o.id, o.subject, o.value});
    }
    std::sort(contents.begin(), contents.end());
    return contents;
  }

  // Expects the token to hold what `before` (of Contents()) held; says
  // what differs by class, identifier and label.
  void ExpectContents(const std::vector<std::vector<Bytes>> &before) {
    std::vector<std::vector<Bytes>> now = Contents();
    if (now == before) return;
    auto describe = [](const std::vector<std::vector<Bytes>> &contents) {
      std::string text;
      for (const std::vector<Bytes> &o : contents) {
        CK_OBJECT_CLASS cls = 0;
        std::copy_n(o[0].begin(), std::min(o[0].size(), sizeof cls), reinterpret_cast<unsigned char *>(&cls));
        text += "  " + std::string(cls == CKO_CERTIFICATE   ? "certificate"
                                   : cls == CKO_PRIVATE_KEY ? "private key"
                                   : cls == CKO_PUBLIC_KEY  ? "public key"
                                                            : "object") +
                " id=" + toHex(o[2]) + " label=\"" + std::string(o[1].begin(), o[1].end()) + "\"\n";
      }
      return text;
    };
    ADD_FAILURE() << "the token's objects changed\nnow:\n" << describe(now) << "before:\n" << describe(before);
  }

  RunResult Import(const Bytes &p12, const std::string &addition = "ADDOFF", const std::string &module = {},
                   const EnvMap &env = {}) {
    writeFile(velkor_.p12Path(), p12);
    RunResult r = velkor_.Run({velkor_.p12Path().string(), token_->token().userPin, SharedPki().password,
                               module.empty() ? token_->modulePath() : module, "SUBDN", "ISCHKOFF", addition},
                              env.empty() ? token_->environment() : env);
    return r;
  }
  std::string Log() const { return FileBytes(velkor_.logPath()).value_or("(no log)"); }

  // The set Velkor wrote for `cert`: its private key keeps the private
  // exponent secret, signs data that the certificate verifies and decrypts
  // data encrypted for the certificate. Returns
  // the set's identifier.
  Bytes ExpectUsableSet(const Certificate &cert) {
    Bytes id = IdOfCertificate(Objects(), cert.der());
    EXPECT_FALSE(id.empty()) << "the new certificate is not on the token";
    if (id.empty()) return id;
    WithSession([&](P11Session &s) {
      Template match;
      match.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).add(CKA_ID, id);
      std::vector<CK_OBJECT_HANDLE> keys = s.find(match);
      ASSERT_EQ(keys.size(), 1u) << "private keys under the new certificate's identifier";
      EXPECT_EQ(s.attributeStatus(keys[0], CKA_PRIVATE_EXPONENT), static_cast<CK_RV>(CKR_ATTRIBUTE_SENSITIVE));
      EXPECT_EQ(s.attributeStatus(keys[0], CKA_PRIME_1), static_cast<CK_RV>(CKR_ATTRIBUTE_SENSITIVE));
      // OpenSC answers CKA_SENSITIVE false for every card key (its
      // PKCS#15 layer keeps no such flag); the private parts above still
      // stay on the card.
      if (!IsCard(GetParam())) {
        Bytes sensitive = s.attribute(keys[0], CKA_SENSITIVE).value_or(Bytes{});
        EXPECT_EQ(sensitive, Bytes{CK_TRUE});
      }
      // The usages its certificate allows, as the token reads them back
      // (a card's stack derives them from the template it was given).
      EXPECT_EQ(s.attribute(keys[0], CKA_SIGN), Bytes{CK_TRUE});
      EXPECT_EQ(s.attribute(keys[0], CKA_DECRYPT), Bytes{CK_TRUE});
      // Raw PKCS#1 v1.5 over a SHA-256 DigestInfo: the mechanism every one
      // of these tokens has (openCryptoki's lacks CKM_SHA256_RSA_PKCS).
      Bytes data = toBytes("signed on the " + ImplName(GetParam()) + " token");
      Bytes digestInfo = Sha256DigestInfo(data);
      EXPECT_TRUE(signatureVerifies(cert, data, s.sign(id, digestInfo, CKM_RSA_PKCS)));
      // It also decrypts what the certificate's public key encrypted.
      EXPECT_EQ(s.decrypt(id, encryptFor(cert, data)), data);
      Template pub;
      pub.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).add(CKA_ID, id);
      EXPECT_EQ(s.find(pub).size(), 1u) << "public keys under the new certificate's identifier";
    });
    return id;
  }

  // The card's memory from now on: room for the run's private key (a key
  // slot) and public key file, not for its certificate file.
  static void RoomForTheKeysOnly(OpenScCardToken &card) {
    card.setFreeMemory(kCardKeySlotBytes + SharedPki().newCert.der().size() - 1);
  }

  // The card's memory after a run that was taken back: its files as
  // before; key slots one more, that of the run's private key, which the
  // applet cannot free (it has no key delete; the slot is reused by the
  // next import into it).
  static void ExpectMemoryAsBefore(const OpenScCardToken &card, const CardMemory &before) {
    CardMemory after = card.memory();
    EXPECT_EQ(after.fileBytes(), before.fileBytes()) << "files written in the run stayed";
    EXPECT_EQ(after.keySlots, before.keySlots + 1) << "key slots: the old key's and the run's";
  }

  // The old private key (CKA_ID 01) is on the token and signs for the old
  // certificate.
  void ExpectOldKeySigns() {
    WithSession([&](P11Session &s) {
      Template match;
      match.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).add(CKA_ID, Bytes{0x01});
      ASSERT_EQ(s.find(match).size(), 1u) << "the old private key is gone";
      Bytes data = toBytes("signed by the old key");
      Bytes digestInfo = Sha256DigestInfo(data);
      EXPECT_TRUE(signatureVerifies(SharedPki().oldCert, data, s.sign({0x01}, digestInfo, CKM_RSA_PKCS)));
    });
  }

  std::unique_ptr<ServedToken> token_;
  VelkorCopy velkor_;
  SarnetCopy sarnet_;
};

TEST_P(TokenMatrix, RenewalWithTheSameCa) {
  Prepare(Scenario::RenewalSameCa);
  if (IsSkipped()) return;
  const Pki &pki = SharedPki();
  WithSession([&](P11Session &s) { SeedOld(s, GetParam()); });
  RunResult r = Import(pki.Renewal());
  ASSERT_EQ(r.signedExitCode(), 0) << Log();
  std::vector<TokenObject> objects = Objects();
  EXPECT_EQ(objects.size(), 4u);
  EXPECT_TRUE(IdOfCertificate(objects, pki.oldCert.der()).empty()) << "the old certificate stayed";
  EXPECT_EQ(IdOfCertificate(objects, pki.ca.cert.der()), Bytes{0x02}) << "the unchanged CA certificate stays";
  ExpectUsableSet(pki.newCert);
}

TEST_P(TokenMatrix, RenewalWithARenewedCa) {
  Prepare(Scenario::RenewalRenewedCa);
  if (IsSkipped()) return;
  const RenewedCa &renewed = SharedRenewedCa();
  WithSession([&](P11Session &s) { SeedOld(s, GetParam()); });
  RunResult r = Import(Pkcs12Of(SharedPki().newKey, {&renewed.userCert, &renewed.ca.cert}));
  ASSERT_EQ(r.signedExitCode(), 0) << Log();
  std::vector<TokenObject> objects = Objects();
  EXPECT_EQ(objects.size(), 4u);
  EXPECT_TRUE(IdOfCertificate(objects, SharedPki().ca.cert.der()).empty()) << "the old CA certificate stayed";
  Bytes eeId = ExpectUsableSet(renewed.userCert);
  Bytes caId = IdOfCertificate(objects, renewed.ca.cert.der());
  ASSERT_FALSE(caId.empty()) << "the renewed CA certificate is not on the token";
  EXPECT_NE(caId, eeId) << "the CA certificate shares the end-entity identifier";
  for (const TokenObject &o : objects) {
    if (o.objectClass == CKO_CERTIFICATE) {
      EXPECT_EQ(toBytes(o.label), o.id);
    }
  }
}

TEST_P(TokenMatrix, SubjectChangeThroughTheTrustAnchor) {
  Prepare(Scenario::SubjectChange);
  if (IsSkipped()) return;
  const Pki &pki = SharedPki();
  WithSession([&](P11Session &s) { SeedOld(s, GetParam()); });
  ASSERT_EQ(pki.ca.cert.subjectKeyId().value_or(Bytes{}).size(), 20u);
  writeFile(velkor_.beside("trustAnchor.config"), toBytes(TrustAnchorLine(pki.ca.cert)));
  RunResult r = Import(Pkcs12Of(pki.newKey, {&MovedCert(), &pki.ca.cert}), "ADDON");
  ASSERT_EQ(r.signedExitCode(), 0) << Log();
  std::vector<TokenObject> objects = Objects();
  EXPECT_EQ(objects.size(), 4u);
  EXPECT_TRUE(IdOfCertificate(objects, pki.oldCert.der()).empty()) << "the old certificate stayed";
  for (const TokenObject &o : objects) EXPECT_NE(o.id, Bytes{0x01}) << "an object of the old set stayed";
  ExpectUsableSet(MovedCert());
}

TEST_P(TokenMatrix, RefusedCertificateWriteRollsBack) {
  Prepare(Scenario::RefusedWrite);
  if (IsSkipped()) return;
  WithSession([&](P11Session &s) { SeedOld(s, GetParam()); });
  std::vector<std::vector<Bytes>> before = Contents();
  // The token is full when the certificate comes: the card says so itself
  // (room for the keys, not for the certificate); the other tokens are
  // made to say it by the fault module.
  auto *card = dynamic_cast<OpenScCardToken *>(token_.get());
  CardMemory memoryBefore;
  if (card != nullptr) {
    memoryBefore = card->memory();
    RoomForTheKeysOnly(*card);
  }
  FaultSetup fault(card != nullptr ? "" : "C_CreateObject:cert=CKR_DEVICE_MEMORY", token_->modulePath(),
                   token_->environment());
  RunResult r = Import(SharedPki().Renewal(), "ADDOFF", fault.modulePath(), fault.environment());
  if (card != nullptr) card->setCapacity(std::nullopt);
  EXPECT_EQ(r.signedExitCode(), -12) << "signal " << r.signal << ", stderr: " << r.err;
  EXPECT_EQ(Log(), ResultFile("error:証明書の書き込みに失敗。\ncode=0x00000031", -12));
  EXPECT_EQ(fault.count("C_DestroyObject"), 2u) << "both keys written in this run are removed";
  ExpectContents(before);
  ExpectOldKeySigns();
  if (card != nullptr) ExpectMemoryAsBefore(*card, memoryBefore);
}

TEST_P(TokenMatrix, SarnetListsTheEndEntityCertificates) {
  Prepare(Scenario::Listing);
  if (IsSkipped()) return;
  WithSession([&](P11Session &s) { SeedListing(s, GetParam()); });
  RunResult r = sarnet_.Run({token_->modulePath()}, token_->environment());
  ASSERT_EQ(r.signedExitCode(), 0) << FileBytes(sarnet_.errorPath()).value_or("");
  EXPECT_EQ(Entries(FileBytes(sarnet_.certPath()).value_or("")), ListingEntries());
}

TEST_P(TokenMatrix, SarnetListsAWriteProtectedToken) {
  Prepare(Scenario::WriteProtectedListing);
  if (IsSkipped()) return;
  WithSession([&](P11Session &s) { SeedListing(s, GetParam()); });
  FaultSetup fault("C_OpenSession:rw=CKR_TOKEN_WRITE_PROTECTED", token_->modulePath(), token_->environment());
  RunResult r = sarnet_.Run({fault.modulePath()}, fault.environment());
  ASSERT_EQ(r.signedExitCode(), 0) << FileBytes(sarnet_.errorPath()).value_or("");
  EXPECT_EQ(Entries(FileBytes(sarnet_.certPath()).value_or("")), ListingEntries());
  std::vector<FaultCall> opens;
  for (const FaultCall &c : fault.calls())
    if (c.function == "C_OpenSession") opens.push_back(c);
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_TRUE(opens[0].injected);
  EXPECT_EQ(opens[0].rv, static_cast<CK_RV>(CKR_TOKEN_WRITE_PROTECTED));
  EXPECT_EQ(opens[1].rv, static_cast<CK_RV>(CKR_OK));
}

INSTANTIATE_TEST_SUITE_P(Tokens, TokenMatrix, ::testing::Values(Impl::SoftHsm, Impl::OpenCryptoki, Impl::Nss, Impl::GnomeKeyring,
                                                           Impl::OpenScCard, Impl::OpenScCardNoRules),
                         [](const ::testing::TestParamInfo<Impl> &param) { return ImplName(param.param); });

// ---- beside the matrix ---------------------------------------------------------------

// gnome-keyring's key store takes the private key Velkor writes but
// refuses its public key template (CKA_ID, CKA_VERIFY_RECOVER and CKA_WRAP
// are no attributes of its public keys: CKR_ATTRIBUTE_TYPE_INVALID), so a
// renewal ends with the public key's message and the private key written
// in the run is removed again: the store is as it was.
class GnomeKeyringStore : public TokenMatrix {};

TEST_F(GnomeKeyringStore, RenewalStopsAtThePublicKeyAndRollsBack) {
  token_ = MakeToken(Impl::GnomeKeyring);
  WithSession([](P11Session &s) { SeedOld(s, Impl::GnomeKeyring); });
  std::vector<std::vector<Bytes>> before = Contents();
  FaultSetup trace("", token_->modulePath(), token_->environment());
  RunResult r = Import(SharedPki().Renewal(), "ADDOFF", trace.modulePath(), trace.environment());
  EXPECT_EQ(r.signedExitCode(), -1);
  EXPECT_EQ(Log(), ResultFile("error:公開鍵の書き込みに失敗。\ncode=0x00000012", -1));
  std::vector<FaultCall> creates;
  for (const FaultCall &c : trace.calls())
    if (c.function == "C_CreateObject") creates.push_back(c);
  ASSERT_EQ(creates.size(), 2u);
  EXPECT_EQ(creates[0].rv, static_cast<CK_RV>(CKR_OK)) << "the private key is written";
  EXPECT_EQ(creates[1].rv, static_cast<CK_RV>(CKR_ATTRIBUTE_TYPE_INVALID));
  EXPECT_EQ(trace.count("C_DestroyObject"), 1u) << "the private key of the run is removed";
  EXPECT_EQ(Contents(), before);
}

// What only a card has. The PIN retry counter: each wrong PIN costs one of
// the card's three tries, and Velkor tells a wrong PIN (-6), a wrong PIN
// with one try left (-7) and a wrong PIN that locked the card (-11) apart.
// A reader without a card is a missing token (-9).
class OpenScCardOnly : public TokenMatrix {};

TEST_F(OpenScCardOnly, WrongPinCountsDownToLocked) {
  token_ = MakeToken(Impl::OpenScCard);
  WithSession([](P11Session &s) { SeedOld(s, Impl::OpenScCard); });
  const Bytes renewal = SharedPki().Renewal();
  const struct {
    std::string pin;
    int32_t result;
  } attempts[] = {
      {"9999", -6},                        // two tries left
      {"9998", -7},                        // one try left
      {"9997", -11},                       // this try locked the PIN
      {token_->token().userPin, -11},      // the right PIN no longer opens the card
  };
  for (const auto &attempt : attempts) {
    writeFile(velkor_.p12Path(), renewal);
    RunResult r = velkor_.Run({velkor_.p12Path().string(), attempt.pin, SharedPki().password, token_->modulePath(),
                               "SUBDN", "ISCHKOFF", "ADDOFF"},
                              token_->environment());
    EXPECT_EQ(r.signedExitCode(), attempt.result) << "PIN " << attempt.pin << ": " << Log();
  }
}

// The card is full when the certificate comes (it says so: 6A84, which
// OpenSC reports as CKR_DEVICE_MEMORY). OpenSC then keeps a stale object
// list: in the process that saw the refusal the destroys of the run's keys
// answer CKR_USER_NOT_LOGGED_IN on a card whose files carry access rules.
// The rollback starts the module afresh first (C_Finalize, C_Initialize,
// one more C_Login), and its destroys then succeed: the card is as it was
// (the matrix's refused-write cells check the contents and memory of both
// kinds of card).
TEST_F(OpenScCardOnly, RefusedCertificateRollsBackAfterAFreshStart) {
  auto card = std::make_unique<OpenScCardToken>(CardPersonality::AccessRules);
  OpenScCardToken &cardRef = *card;
  token_ = std::move(card);
  WithSession([](P11Session &s) { SeedOld(s, Impl::OpenScCard); });
  std::vector<std::vector<Bytes>> before = Contents();
  CardMemory memoryBefore = cardRef.memory();
  RoomForTheKeysOnly(cardRef);
  FaultSetup trace("", token_->modulePath(), token_->environment());
  RunResult r = Import(SharedPki().Renewal(), "ADDOFF", trace.modulePath(), trace.environment());
  cardRef.setCapacity(std::nullopt);
  EXPECT_EQ(r.signedExitCode(), -12);
  EXPECT_EQ(Log(), ResultFile("error:証明書の書き込みに失敗。\ncode=0x00000031", -12));
  std::vector<std::string> after;  // what follows the refused certificate
  bool refused = false;
  for (const FaultCall &c : trace.calls()) {
    if (c.function == "C_CreateObject" && c.rv == CKR_DEVICE_MEMORY) refused = true;
    if (refused && (c.function == "C_Finalize" || c.function == "C_Initialize" || c.function == "C_Login" ||
                    c.function == "C_DestroyObject"))
      after.push_back(c.function + (c.rv == CKR_OK ? "" : " failed"));
  }
  EXPECT_TRUE(refused) << "the card did not refuse the certificate";
  EXPECT_EQ(after, (std::vector<std::string>{"C_Finalize", "C_Initialize", "C_Login", "C_DestroyObject",
                                             "C_DestroyObject", "C_Finalize"}));
  ExpectContents(before);
  ExpectOldKeySigns();
  ExpectMemoryAsBefore(cardRef, memoryBefore);
}

// The card chosen by a PKCS#11 URI that names its label (as OpenSC shows
// it, percent-encoded) and OpenSC's module file.
TEST_F(OpenScCardOnly, RenewalByUriNamingTheCardLabel) {
  token_ = MakeToken(Impl::OpenScCard);
  std::string label;
  WithSession([&](P11Session &s) { SeedOld(s, Impl::OpenScCard); });
  {
    ScopedEnv env(token_->environment());
    P11Client client(token_->modulePath());
    label = client.tokenLabel(client.onlySlot());
  }
  std::string encoded;
  for (unsigned char c : label) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    encoded += std::isalnum(c) != 0 ? std::string(1, static_cast<char>(c)) : std::string(hex);
  }
  const std::string uri = "pkcs11:token=" + encoded + "?module-path=" + token_->modulePath();
  RunResult r = Import(SharedPki().Renewal(), "ADDOFF", uri, token_->environment());
  ASSERT_EQ(r.signedExitCode(), 0) << uri << ": " << Log();
  const std::vector<TokenObject> objects = Objects();
  EXPECT_FALSE(IdOfCertificate(objects, SharedPki().newCert.der()).empty()) << "the new certificate is not on the card";
  EXPECT_TRUE(IdOfCertificate(objects, SharedPki().oldCert.der()).empty()) << "the old certificate stayed";
}

TEST_F(OpenScCardOnly, NoCardInTheReader) {
  auto card = std::make_unique<OpenScCardToken>();
  card->removeCard();
  token_ = std::move(card);
  RunResult r = Import(SharedPki().Renewal());
  EXPECT_EQ(r.signedExitCode(), -9) << Log();
}

// A machine whose own pcscd runs (Debian's is socket-activated on
// /run/pcscd/pcscd.comm): the tests' pcscd runs beside it and the card is
// reached through the environment the token gives; the system's pcscd
// keeps running and keeps its socket. When none runs, the test starts one
// in the default place (the card's lock is held meanwhile) and stops it.
TEST_F(OpenScCardOnly, ListsBesideASystemPcscd) {
  const fs::path systemSocket = "/run/pcscd/pcscd.comm";
  token_ = MakeToken(Impl::OpenScCard);
  WithSession([](P11Session &s) { SeedListing(s, Impl::OpenScCard); });
  TempDir logDir("system-pcscd");
  std::unique_ptr<ChildProcess> systemPcscd;
  if (!unixSocketAccepts(systemSocket)) {
    int log = ::open((logDir.path() / "pcscd.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(log, 0);
    SpawnOptions spawn;
    spawn.envp = buildEnvironment({});
    spawn.stdoutFd = log;
    spawn.stderrFd = log;
    systemPcscd = std::make_unique<ChildProcess>(pcscdProgram(), std::vector<std::string>{"--foreground"}, spawn);
    ::close(log);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!unixSocketAccepts(systemSocket) && systemPcscd->running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(unixSocketAccepts(systemSocket)) << "pcscd in the default place: " << FileBytes(logDir.path() / "pcscd.log").value_or("");
  }
  RunResult r = sarnet_.Run({token_->modulePath()}, token_->environment());
  ASSERT_EQ(r.signedExitCode(), 0) << FileBytes(sarnet_.errorPath()).value_or("");
  EXPECT_EQ(Entries(FileBytes(sarnet_.certPath()).value_or("")), ListingEntries());
  EXPECT_TRUE(unixSocketAccepts(systemSocket)) << "the system pcscd's socket is gone";
  if (systemPcscd) {
    EXPECT_TRUE(systemPcscd->running()) << "the system pcscd ended";
  }
  token_.reset();  // the tests' pcscd ends
  EXPECT_TRUE(unixSocketAccepts(systemSocket)) << "the system pcscd's socket went with the tests' pcscd";
}

void WritePem(const fs::path &path, const Certificate &cert) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "w"), BIO_free);
  ASSERT_TRUE(bio && PEM_write_bio_X509(bio.get(), cert.get()) == 1);
}

// p11-kit's trust module is read-only: it refuses read-write sessions
// with CKR_TOKEN_WRITE_PROTECTED. Served with a folder of certificates of
// the test's own, Sarnet lists the end-entity one among them.
TEST(ReadOnlyToken, SarnetListsP11KitTrust) {
  ConfiguredP11KitServer server({"pkcs11:model=p11-kit-trust"});
  fs::path anchors = server.dataDir() / "anchors";
  fs::create_directory(anchors);
  WritePem(anchors / "ca.pem", SharedPki().ca.cert);
  WritePem(anchors / "user.pem", SharedPki().oldCert);
  // A folder its user cannot write: the module then shows the token
  // write-protected, as it shows the system's.
  fs::permissions(anchors, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  // Named like the system's config, so that it replaces it.
  server.addModuleConfig("p11-kit-trust", "module: " + p11KitTrustModulePath() + "\nx-init-reserved: paths=" +
                                              anchors.string() + "\n");
  server.start();
  {
    ScopedEnv env(server.environment());
    P11Client client(p11KitClientModulePath());
    CK_SLOT_ID slot = client.onlySlot();
    EXPECT_NE(client.tokenInfo(slot).flags & CKF_WRITE_PROTECTED, 0u);
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    EXPECT_EQ(client.functions()->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
              static_cast<CK_RV>(CKR_TOKEN_WRITE_PROTECTED));
  }
  SarnetCopy sarnet;
  RunResult r = sarnet.Run({p11KitClientModulePath()}, server.environment());
  ASSERT_EQ(r.signedExitCode(), 0) << FileBytes(sarnet.errorPath()).value_or("");
  std::vector<std::vector<std::string>> expected = {OldCertEntry()};
  EXPECT_EQ(Entries(FileBytes(sarnet.certPath()).value_or("")), expected);
}

}  // namespace
}  // namespace release_test
