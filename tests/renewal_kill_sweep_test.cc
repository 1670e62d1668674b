// Velkor killed outright (SIGKILL through libfaultp11.so, as a pulled token
// or a power cut would end it) at each writing call of a renewal that also
// renews the CA, on either side of the call: the token always keeps one
// complete usable key set and a CA certificate, and the same import run
// again succeeds and leaves no key without a certificate carrying its
// CKA_ID. With a key of the renewed material left readable without the PIN
// on the token, a kill before and after each PKCS#11 call of the renewal is
// followed by a retry that leaves one set and nothing readable without the
// PIN.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "release_support.h"

namespace release_test {
namespace {

using namespace testtoken;

// A renewed CA (same name, new key and serial) and the user's renewed
// certificate issued by it, both replacing the ones SeedOldSet leaves.
struct RenewedCa {
  Key caKey = Key::pooledRsa(3);
  Certificate ca;
  Certificate user;
  RenewedCa() : ca(MakeCa(caKey)), user(MakeUser(caKey, ca)) {}

  static Certificate MakeCa(const Key &key) {
    CertParams params;
    params.subject = simpleName(
        {{"C", "JP", StringType::Printable}, {"O", "Release Test"}, {"CN", "Release Test CA"}});
    params.serial = serialFromNumber(2);
    params.basicConstraints = BasicConstraints::CaTrue;
    params.keyUsage = "critical,keyCertSign,cRLSign";
    return issueCertificate(params, key, key, nullptr);
  }
  static Certificate MakeUser(const Key &caKey, const Certificate &ca) {
    CertParams params;
    params.subject = simpleName({{"C", "JP", StringType::Printable}, {"O", "Release Test"}, {"CN", "Taro Yamada"}});
    params.serial = serialFromNumber(3002);
    params.basicConstraints = BasicConstraints::CaFalse;
    return issueCertificate(params, SharedPki().newKey, caKey, &ca);
  }
};

// What the token holds, in the terms the checks need.
struct TokenState {
  std::vector<Bytes> certificates;       // values
  std::vector<Bytes> certificateIds;
  std::vector<std::pair<Bytes, Bytes>> privateKeys;  // id, modulus
  std::vector<std::pair<Bytes, Bytes>> publicKeys;
  // CKA_IDs under which a certificate, its private key (which signs data
  // that the certificate verifies) and its public key all are.
  std::vector<Bytes> usableSets;
};

// Keys under a CKA_ID that no certificate carries.
std::size_t Orphans(const TokenState &s) {
  std::size_t orphans = 0;
  for (const auto &keys : {s.privateKeys, s.publicKeys}) {
    for (const auto &key : keys)
      orphans += std::count(s.certificateIds.begin(), s.certificateIds.end(), key.first) == 0 ? 1 : 0;
  }
  return orphans;
}

TokenState Inspect(const SoftHsm &hsm, const std::vector<std::pair<const Certificate *, const Key *>> &pairs) {
  ScopedEnv env(hsm.environment());
  P11Client client(softhsmModulePath());
  P11Session session = client.openSession(client.slotByLabel("TestToken"));
  session.login("1234");
  TokenState state;
  for (const TokenObject &o : session.objects()) {
    if (o.objectClass == CKO_CERTIFICATE) {
      state.certificates.push_back(o.value);
      state.certificateIds.push_back(o.id);
    } else if (o.objectClass == CKO_PRIVATE_KEY || o.objectClass == CKO_PUBLIC_KEY) {
      Bytes modulus = session.attribute(o.handle, CKA_MODULUS).value_or(Bytes{});
      (o.objectClass == CKO_PRIVATE_KEY ? state.privateKeys : state.publicKeys).emplace_back(o.id, modulus);
    }
  }
  const Bytes data = toBytes("renewal kill sweep");
  for (const auto &[cert, key] : pairs) {
    for (size_t i = 0; i < state.certificates.size(); ++i) {
      if (state.certificates[i] != cert->der()) continue;
      const std::pair<Bytes, Bytes> keyEntry(state.certificateIds[i], key->modulus());
      auto count = [&](const std::vector<std::pair<Bytes, Bytes>> &keys) {
        return std::count(keys.begin(), keys.end(), keyEntry);
      };
      if (count(state.privateKeys) != 1 || count(state.publicKeys) != 1) continue;
      try {
        if (signatureVerifies(*cert, data, session.sign(state.certificateIds[i], data)))
          state.usableSets.push_back(state.certificateIds[i]);
      } catch (const Error &) {
        // Another private key under the same CKA_ID: not a usable set.
      }
    }
  }
  return state;
}

// The failed checks of the running test so far: tells whether the checks of
// one step failed.
int FailureCount() { return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); }

// Private key objects that a session without login finds: keys anybody
// holding the token can read.
std::size_t KeysReadableWithoutLogin(const SoftHsm &hsm) {
  ScopedEnv env(hsm.environment());
  P11Client client(softhsmModulePath());
  P11Session session = client.openSession(client.slotByLabel("TestToken"));
  std::size_t keys = 0;
  for (const TokenObject &o : session.objects()) keys += o.objectClass == CKO_PRIVATE_KEY ? 1 : 0;
  return keys;
}

// The renewal every sweep here runs: the user's renewed certificate and the
// renewed CA over the old set that SeedOldSet leaves.
class Renewal {
 public:
  Renewal() {
    Pkcs12Params params;
    params.password = pki_.password;
    params.key = &pki_.newKey;
    params.certs = {&renewed_.user, &renewed_.ca};
    p12_ = makePkcs12(params);
  }

  // The import consumes its file: every run gets a fresh copy of the bytes.
  RunResult Run(const FaultSetup &fault) const {
    writeFile(velkor_.p12Path(), p12_);
    return velkor_.Run({velkor_.p12Path().string(), "1234", pki_.password, fault.modulePath(), "SUBDN", "ISCHKOFF",
                        "ADDOFF"},
                       fault.environment());
  }
  std::string Log() const { return FileBytes(velkor_.logPath()).value_or(""); }

  TokenState Inspect(const SoftHsm &hsm) const { return release_test::Inspect(hsm, pairs_); }
  bool CaLeft(const TokenState &s) const {
    return std::any_of(s.certificates.begin(), s.certificates.end(),
                       [&](const Bytes &v) { return v == pki_.ca.cert.der() || v == renewed_.ca.der(); });
  }

  // The renewal done: the new set and the new CA, nothing of the old ones,
  // no key without a certificate carrying its CKA_ID, no key readable
  // without the PIN.
  void ExpectRenewed(const SoftHsm &hsm) const {
    TokenState s = Inspect(hsm);
    std::vector<Bytes> certs = s.certificates, expected = {renewed_.user.der(), renewed_.ca.der()};
    std::sort(certs.begin(), certs.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(certs, expected);
    EXPECT_EQ(s.usableSets.size(), 1u);
    EXPECT_EQ(s.privateKeys.size(), 1u);
    EXPECT_EQ(s.publicKeys.size(), 1u);
    EXPECT_EQ(Orphans(s), 0u) << "keys without a certificate carrying their CKA_ID";
    EXPECT_EQ(KeysReadableWithoutLogin(hsm), 0u) << "a private key readable without the PIN";
  }

  // The token in a line: certificates and keys (new or old material, with
  // their CKA_ID in hex), for the message of a check that failed.
  std::string Describe(const SoftHsm &hsm) const {
    const TokenState s = Inspect(hsm);
    auto hex = [](const Bytes &b) {
      std::string text;
      for (unsigned char c : b) text += "0123456789abcdef"[c >> 4], text += "0123456789abcdef"[c & 15];
      return text.empty() ? std::string("(empty)") : text;
    };
    std::string text;
    for (size_t i = 0; i < s.certificates.size(); ++i) {
      const Bytes &v = s.certificates[i];
      text += v == renewed_.user.der() ? "cert:new" : v == renewed_.ca.der() ? "cert:newca"
              : v == pki_.oldCert.der() ? "cert:old" : v == pki_.ca.cert.der() ? "cert:oldca" : "cert:?";
      text += "@" + hex(s.certificateIds[i]) + " ";
    }
    for (const auto *keys : {&s.privateKeys, &s.publicKeys}) {
      for (const auto &[id, modulus] : *keys) {
        text += keys == &s.privateKeys ? "priv:" : "pub:";
        text += modulus == pki_.newKey.modulus() ? "new" : modulus == pki_.oldKey.modulus() ? "old" : "?";
        text += "@" + hex(id) + " ";
      }
    }
    return text + "readable-without-login:" + std::to_string(KeysReadableWithoutLogin(hsm));
  }

  // A private key of the renewed material left readable without login
  // (CKA_PRIVATE false) under `id`, as an earlier run or another tool may
  // have left it.
  void SeedExposedLeftover(const SoftHsm &hsm, const Bytes &id) const {
    SeedStore(hsm, [&](P11Session &session) {
      Template exposed;
      exposed.addBool(CKA_PRIVATE, false);
      session.createPrivateKey(pki_.newKey.get(), id, "leftover", renewed_.user.subjectDer(), &exposed);
    });
  }

 private:
  const Pki &pki_ = SharedPki();
  const RenewedCa renewed_;
  const std::vector<std::pair<const Certificate *, const Key *>> pairs_ = {{&pki_.oldCert, &pki_.oldKey},
                                                                           {&renewed_.user, &pki_.newKey}};
  Bytes p12_;
  VelkorCopy velkor_;
};

TEST(RenewalKillSweep, KilledAtEveryWritingCallKeepsAUsableSetAndTheRetryCompletes) {
  const Renewal renewal;

  // The clean renewal gives the number of writing calls.
  std::size_t creates = 0, destroys = 0;
  {
    SoftHsm hsm({TokenConfig{}});
    SeedStore(hsm, SeedOldSet);
    FaultSetup clean("", softhsmModulePath(), hsm.environment());
    RunResult r = renewal.Run(clean);
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    ASSERT_EQ(r.signedExitCode(), 0) << renewal.Log();
    for (const FaultCall &c : clean.calls()) {
      if (IsWritingCall(c.function)) {
        ASSERT_TRUE(c.function == "C_CreateObject" || c.function == "C_DestroyObject") << c.function;
      }
    }
    creates = clean.count("C_CreateObject");
    destroys = clean.count("C_DestroyObject");
    // Four objects written, four replaced.
    ASSERT_EQ(creates, 4u);
    ASSERT_EQ(destroys, 4u);
    renewal.ExpectRenewed(hsm);
  }

  int points = 0;
  int interrupted = 0;  // kills that left keys without their certificate
  for (const char *function : {"C_CreateObject", "C_DestroyObject"}) {
    const std::size_t calls = std::string(function) == "C_CreateObject" ? creates : destroys;
    for (std::size_t n = 1; n <= calls; ++n) {
      for (const char *side : {"KILL", "KILL_AFTER"}) {
        const std::string rule = std::string(function) + "#" + std::to_string(n) + "=" + side;
        SCOPED_TRACE(rule);
        ++points;
        SoftHsm hsm({TokenConfig{}});
        SeedStore(hsm, SeedOldSet);
        FaultSetup fault(rule, softhsmModulePath(), hsm.environment());
        RunResult killed = renewal.Run(fault);
        EXPECT_FALSE(killed.exited);
        EXPECT_EQ(killed.signal, SIGKILL);
        std::vector<FaultCall> log = fault.calls();
        ASSERT_FALSE(log.empty());
        EXPECT_TRUE(log.back().killed && log.back().function == function);

        TokenState after = renewal.Inspect(hsm);
        EXPECT_GE(after.usableSets.size(), 1u) << "no complete usable key set left";
        EXPECT_TRUE(renewal.CaLeft(after)) << "no CA certificate left";
        if (Orphans(after) > 0) ++interrupted;

        FaultSetup retry("", softhsmModulePath(), hsm.environment());
        RunResult again = renewal.Run(retry);
        ASSERT_TRUE(again.exited) << "signal " << again.signal;
        EXPECT_EQ(again.signedExitCode(), 0) << renewal.Log();
        renewal.ExpectRenewed(hsm);
      }
    }
  }
  // Some kills must have cut the writing of a set short, or the retries
  // proved nothing about keys left behind.
  EXPECT_GT(interrupted, 0);
  std::printf("[ renewal kill sweep ] %d kill points, %d left keys without their certificate\n", points,
              interrupted);
  RecordProperty("kill_points", points);
}

// Two runs killed at different points of the writing pass, then two
// complete runs of the same file: both complete runs succeed, the first
// leaves exactly one set of the renewed material (nothing under an orphan
// CKA_ID from the interrupted runs) and the second has nothing to write.
TEST(RenewalKillSweep, TwoInterruptedRunsThenTwoCompleteRunsLeaveOneSet) {
  const Renewal renewal;
  // The new keys written, the user's certificate not yet; then the keys
  // again and the user's certificate. The new keys written; then everything
  // written and proved, nothing deleted. Everything written and proved,
  // nothing deleted; then killed among the deletions.
  const std::pair<std::string, std::string> kills[] = {
      {"C_CreateObject#2=KILL_AFTER", "C_CreateObject#3=KILL_AFTER"},
      {"C_CreateObject#2=KILL_AFTER", "C_DestroyObject#1=KILL"},
      {"C_DestroyObject#1=KILL", "C_DestroyObject#2=KILL_AFTER"},
  };
  for (const auto &[first, second] : kills) {
    SCOPED_TRACE(first + " then " + second);
    SoftHsm hsm({TokenConfig{}});
    SeedStore(hsm, SeedOldSet);
    for (const std::string &rule : {first, second}) {
      FaultSetup fault(rule, softhsmModulePath(), hsm.environment());
      RunResult killed = renewal.Run(fault);
      EXPECT_EQ(killed.signal, SIGKILL) << rule << " did not end the run: " << renewal.Describe(hsm);
      TokenState after = renewal.Inspect(hsm);
      EXPECT_GE(after.usableSets.size(), 1u) << "no complete usable key set left";
      EXPECT_TRUE(renewal.CaLeft(after)) << "no CA certificate left";
    }
    for (int run = 1; run <= 2; ++run) {
      SCOPED_TRACE("complete run " + std::to_string(run));
      const int failedBefore = FailureCount();
      FaultSetup clean("", softhsmModulePath(), hsm.environment());
      RunResult r = renewal.Run(clean);
      ASSERT_TRUE(r.exited) << "signal " << r.signal;
      EXPECT_EQ(r.signedExitCode(), 0) << renewal.Log();
      renewal.ExpectRenewed(hsm);
      if (FailureCount() != failedBefore) ADD_FAILURE() << "token: " << renewal.Describe(hsm);
      if (run == 2) {
        EXPECT_EQ(clean.count("C_CreateObject"), 0u);
        EXPECT_EQ(clean.count("C_DestroyObject"), 0u);
      }
    }
  }
}

// A private key of the renewed material readable without the PIN under an
// orphan CKA_ID (or an empty one) before the renewal; Velkor killed before
// and after each PKCS#11 call of that renewal, then the same import run
// again: the retry succeeds and the token converges to one set of the
// renewed material, the CA, no key readable without the PIN and no key
// without a certificate carrying its CKA_ID.
class ExposedLeftoverKillSweep : public testing::TestWithParam<Bytes> {};

TEST_P(ExposedLeftoverKillSweep, KilledAtEveryCallTheRetryConverges) {
  const Renewal renewal;
  const Bytes leftoverId = GetParam();
  auto seed = [&](const SoftHsm &hsm) {
    SeedStore(hsm, SeedOldSet);
    renewal.SeedExposedLeftover(hsm, leftoverId);
  };

  // The undisturbed run: its calls (C_GetFunctionList aside, as KILL_CALL
  // counts them) and where its writing starts.
  std::vector<std::string> calls;
  {
    SoftHsm hsm({TokenConfig{}});
    seed(hsm);
    ASSERT_EQ(KeysReadableWithoutLogin(hsm), 1u);
    FaultSetup clean("", softhsmModulePath(), hsm.environment());
    RunResult r = renewal.Run(clean);
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    ASSERT_EQ(r.signedExitCode(), 0) << renewal.Log();
    renewal.ExpectRenewed(hsm);
    for (const FaultCall &c : clean.calls()) {
      if (c.function != "C_GetFunctionList") calls.push_back(c.function);
    }
  }
  const auto firstWrite = std::find_if(calls.begin(), calls.end(), IsWritingCall);
  ASSERT_NE(firstWrite, calls.end());
  const std::size_t writingFrom = static_cast<std::size_t>(firstWrite - calls.begin()) + 1;

  // Every call from the first write on (writing, proof, deleting); every
  // second one before it, where the run only reads: the sweep stays within
  // about a minute and a half per leftover.
  int points = 0;
  std::vector<std::string> diverged;
  for (std::size_t n = 1; n <= calls.size(); ++n) {
    if (n < writingFrom && n % 2 == 0) continue;
    for (const char *side : {"KILL_CALL", "KILL_AFTER_CALL"}) {
      const std::string rule = std::string(side) + "=" + std::to_string(n);
      SCOPED_TRACE(rule);
      ++points;
      const int failedBefore = FailureCount();
      SoftHsm hsm({TokenConfig{}});
      seed(hsm);
      FaultSetup fault(rule, softhsmModulePath(), hsm.environment());
      RunResult killed = renewal.Run(fault);
      EXPECT_EQ(killed.signal, SIGKILL);
      std::vector<FaultCall> log = fault.calls();
      ASSERT_FALSE(log.empty());
      // Tokens list their objects in no fixed order: the call killed may be
      // another one than the undisturbed run made at that place.
      const std::string point = rule + " (" + log.back().function + ")";
      EXPECT_TRUE(log.back().killed) << point;
      TokenState after = renewal.Inspect(hsm);
      EXPECT_GE(after.usableSets.size(), 1u) << "no complete usable key set left";
      EXPECT_TRUE(renewal.CaLeft(after)) << "no CA certificate left";

      FaultSetup retry("", softhsmModulePath(), hsm.environment());
      RunResult again = renewal.Run(retry);
      ASSERT_TRUE(again.exited) << "signal " << again.signal;
      EXPECT_EQ(again.signedExitCode(), 0) << renewal.Log();
      renewal.ExpectRenewed(hsm);
      if (FailureCount() != failedBefore) diverged.push_back(point + ": " + renewal.Describe(hsm));
    }
  }
  for (const std::string &d : diverged) ADD_FAILURE() << "did not converge: " << d;
  std::printf("[ exposed leftover kill sweep ] %d kill points over %zu calls (writing from call %zu), %zu diverged\n",
              points, calls.size(), writingFrom, diverged.size());
  RecordProperty("kill_points", points);
}

INSTANTIATE_TEST_SUITE_P(LeftoverId, ExposedLeftoverKillSweep, testing::Values(Bytes{0x4c, 0x4f}, Bytes{}),
                         [](const testing::TestParamInfo<Bytes> &param) {
                           return param.param.empty() ? std::string("EmptyId") : std::string("OrphanId");
                         });

}  // namespace
}  // namespace release_test
