// Velkor killed outright (SIGKILL through libfaultp11.so, as a pulled token
// or a power cut would end it) at each writing call of a renewal that also
// renews the CA, on either side of the call: the token always keeps one
// complete usable key set and a CA certificate, and the same import run
// again succeeds and leaves no key without a certificate carrying its
// CKA_ID.
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

TEST(RenewalKillSweep, KilledAtEveryWritingCallKeepsAUsableSetAndTheRetryCompletes) {
  const Pki &pki = SharedPki();
  const RenewedCa renewed;
  Pkcs12Params params;
  params.password = pki.password;
  params.key = &pki.newKey;
  params.certs = {&renewed.user, &renewed.ca};
  // The import consumes its file: every run gets a fresh copy of these bytes.
  const Bytes p12 = makePkcs12(params);
  const std::vector<std::pair<const Certificate *, const Key *>> pairs = {{&pki.oldCert, &pki.oldKey},
                                                                          {&renewed.user, &pki.newKey}};
  VelkorCopy velkor;
  auto runImport = [&](const FaultSetup &fault) {
    writeFile(velkor.p12Path(), p12);
    return velkor.Run({velkor.p12Path().string(), "1234", pki.password, fault.modulePath(), "SUBDN", "ISCHKOFF",
                       "ADDOFF"},
                      fault.environment());
  };
  // The renewal done: the new set and the new CA, nothing of the old ones,
  // no key without a certificate carrying its CKA_ID.
  auto expectRenewed = [&](const SoftHsm &hsm) {
    TokenState s = Inspect(hsm, pairs);
    std::vector<Bytes> certs = s.certificates, expected = {renewed.user.der(), renewed.ca.der()};
    std::sort(certs.begin(), certs.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(certs, expected);
    EXPECT_EQ(s.usableSets.size(), 1u);
    EXPECT_EQ(s.privateKeys.size(), 1u);
    EXPECT_EQ(s.publicKeys.size(), 1u);
    EXPECT_EQ(Orphans(s), 0u) << "keys without a certificate carrying their CKA_ID";
  };

  // The clean renewal gives the number of writing calls.
  std::size_t creates = 0, destroys = 0;
  {
    SoftHsm hsm({TokenConfig{}});
    SeedStore(hsm, SeedOldSet);
    FaultSetup clean("", softhsmModulePath(), hsm.environment());
    RunResult r = runImport(clean);
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    ASSERT_EQ(r.signedExitCode(), 0) << FileBytes(velkor.logPath()).value_or("");
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
    expectRenewed(hsm);
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
        RunResult killed = runImport(fault);
        EXPECT_FALSE(killed.exited);
        EXPECT_EQ(killed.signal, SIGKILL);
        std::vector<FaultCall> log = fault.calls();
        ASSERT_FALSE(log.empty());
        EXPECT_TRUE(log.back().killed && log.back().function == function);

        TokenState after = Inspect(hsm, pairs);
        EXPECT_GE(after.usableSets.size(), 1u) << "no complete usable key set left";
        const bool caLeft = std::any_of(after.certificates.begin(), after.certificates.end(), [&](const Bytes &v) {
          return v == pki.ca.cert.der() || v == renewed.ca.der();
        });
        EXPECT_TRUE(caLeft) << "no CA certificate left";
        if (Orphans(after) > 0) ++interrupted;

        FaultSetup retry("", softhsmModulePath(), hsm.environment());
        RunResult again = runImport(retry);
        ASSERT_TRUE(again.exited) << "signal " << again.signal;
        EXPECT_EQ(again.signedExitCode(), 0) << FileBytes(velkor.logPath()).value_or("");
        expectRenewed(hsm);
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

}  // namespace
}  // namespace release_test
