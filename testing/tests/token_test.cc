// SoftHSM2 behind p11-kit's server: the slots the client module shows, and
// seeding and reading back a token.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "testtoken/testtoken.h"

using namespace testtoken;

namespace {

std::vector<std::string> labels(P11Client& client) {
  std::vector<std::string> out;
  for (auto slot : client.slots(true)) out.push_back(client.tokenLabel(slot));
  return out;
}

}  // namespace

TEST(SoftHsmTokenTest, OneTokenGivesOneSlot) {
  SoftHsmToken token;
  ScopedEnv env(token.environment());
  P11Client client(token.modulePath());
  EXPECT_EQ(labels(client), std::vector<std::string>{"TestToken"});
}

TEST(SoftHsmTokenTest, TwoTokensGiveTwoSlots) {
  SoftHsmToken token({TokenConfig{"First", "87654321", "1111"}, TokenConfig{"Second", "87654321", "2222"}});
  ScopedEnv env(token.environment());
  P11Client client(token.modulePath());
  auto got = labels(client);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"First", "Second"}));
}

TEST(SoftHsmTokenTest, NoServedTokenGivesNoSlot) {
  SoftHsmToken token({TokenConfig{}}, std::vector<std::string>{});
  ScopedEnv env(token.environment());
  P11Client client(token.modulePath());
  EXPECT_TRUE(client.slots(true).empty());
}

TEST(SoftHsmTokenTest, ServeAnotherSetRestartsTheServer) {
  SoftHsmToken token({TokenConfig{"A"}, TokenConfig{"B"}}, std::vector<std::string>{"A"});
  {
    ScopedEnv env(token.environment());
    P11Client client(token.modulePath());
    EXPECT_EQ(labels(client), std::vector<std::string>{"A"});
  }
  token.serve({"B"});
  ScopedEnv env(token.environment());
  P11Client client(token.modulePath());
  EXPECT_EQ(labels(client), std::vector<std::string>{"B"});
}

TEST(SoftHsmTokenTest, ClientCanFinalizeAndInitializeAgain) {
  SoftHsmToken token;
  ScopedEnv env(token.environment());
  P11Client client(token.modulePath());
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(client.slots(true).size(), 1u);
    client.finalize();
    client.initialize();
  }
  // A second load of the module in the same process works as well.
  P11Client again(token.modulePath());
  EXPECT_EQ(again.slots(true).size(), 1u);
}

TEST(SoftHsmTokenTest, ChildProcessSeesTheToken) {
  SoftHsmToken token({TokenConfig{"ChildToken"}});
  RunOptions options;
  options.env = token.environment();
  RunResult r = runProcess(TESTTOKEN_PROBE, {token.modulePath()}, options);
  EXPECT_TRUE(r.exited) << r.err;
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.out, "slots=1\nlabel=ChildToken\n");
}

TEST(SoftHsmTokenTest, SeedSignAndReadBackDirectly) {
  SoftHsmToken token;
  CertAuthority ca = CertAuthority::create(simpleName({{"CN", "Seed CA"}}));
  Key key = Key::rsa(2048);
  CertParams params;
  params.subject = simpleName({{"C", "JP", StringType::Printable}, {"CN", "Seed User"}});
  Certificate cert = ca.issue(params, key);
  Bytes id = toBytes("20240101120000");
  {
    ScopedEnv env(token.environment());
    P11Client client(token.modulePath());
    P11Session session = client.openSession(client.onlySlot());
    session.login(token.token().userPin);
    session.createPrivateKey(key.get(), id, "key", cert.subjectDer());
    session.createPublicKey(key.get(), id, "pub", cert.subjectDer());
    session.createCertificate(cert.der(), id, "cert");
    session.createCertificate(ca.cert.der(), toBytes("ca"), "ca cert");

    Bytes data = toBytes("to be signed");
    Bytes signature = session.sign(id, data);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key.get()), 1);
    EXPECT_EQ(EVP_DigestVerify(ctx, signature.data(), signature.size(), data.data(), data.size()), 1);
    EVP_MD_CTX_free(ctx);
  }
  // The same objects, seen through SoftHSM itself (which also shows its
  // spare uninitialised token).
  ScopedEnv env(token.hsm().environment());
  P11Client direct(token.softhsmModulePath());
  P11Session session = direct.openSession(direct.slotByLabel("TestToken"));
  session.login(token.token().userPin);
  auto objects = session.objects();
  ASSERT_EQ(objects.size(), 4u);
  int certs = 0, privs = 0, pubs = 0;
  for (const auto& o : objects) {
    if (o.objectClass == CKO_CERTIFICATE) {
      ++certs;
      if (o.id == id) {
        EXPECT_EQ(o.value, cert.der());
        EXPECT_EQ(o.subject, cert.subjectDer());
        EXPECT_EQ(o.issuer, ca.cert.subjectDer());
        EXPECT_EQ(o.serialNumber, cert.serialDer());
        EXPECT_EQ(o.label, "cert");
      }
    } else if (o.objectClass == CKO_PRIVATE_KEY) {
      ++privs;
      EXPECT_EQ(o.id, id);
      EXPECT_EQ(session.attribute(o.handle, CKA_MODULUS), key.modulus());
    } else if (o.objectClass == CKO_PUBLIC_KEY) {
      ++pubs;
    }
  }
  EXPECT_EQ(certs, 2);
  EXPECT_EQ(privs, 1);
  EXPECT_EQ(pubs, 1);
  session.destroy(objects[0].handle);
  EXPECT_EQ(session.findAll().size(), 3u);
}

TEST(SoftHsmTokenTest, WrongPinIsReported) {
  SoftHsmToken token;
  ScopedEnv env(token.environment());
  P11Client client(token.modulePath());
  P11Session session = client.openSession(client.onlySlot());
  EXPECT_EQ(session.tryLogin("9999"), static_cast<CK_RV>(CKR_PIN_INCORRECT));
  EXPECT_EQ(session.tryLogin(token.token().userPin), static_cast<CK_RV>(CKR_OK));
}
