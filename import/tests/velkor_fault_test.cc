// Velkor through the fault-injecting module in front of SoftHSM: failing
// writes are rolled back, failing deletions are reported, and a renewal
// that fails at any single PKCS#11 call leaves a complete, usable set.
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "velkor_fixture.h"

namespace velkor_test {
namespace {

using testtoken::FaultSetup;
using testtoken::SoftHsm;

testtoken::Key Generated(const char *type, int bits, int primes = 2) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr),
                                                                  EVP_PKEY_CTX_free);
  EVP_PKEY *key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1) throw testtoken::Error(std::string("keygen ") + type);
  if (bits > 0 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1) throw testtoken::Error("bits");
  if (primes != 2 && EVP_PKEY_CTX_set_rsa_keygen_primes(ctx.get(), primes) != 1) throw testtoken::Error("primes");
  if (bits == 0 && EVP_PKEY_CTX_set_group_name(ctx.get(), "P-256") != 1) throw testtoken::Error("group");
  if (EVP_PKEY_generate(ctx.get(), &key) != 1) throw testtoken::Error(std::string("keygen ") + type);
  return testtoken::Key::adopt(key);
}

using Bn = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;

Bn ToBn(const Bytes &bytes) {
  return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr), BN_clear_free);
}

Bytes FromBn(const BIGNUM *bn) {
  Bytes out(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, out.data());
  return out.empty() ? Bytes{0} : out;
}

// The components with the public exponent e and the private exponent d
// replaced, and the CRT exponents worked out from that d: only what e and d
// say of each other can be wrong.
testtoken::Key WithExponents(std::array<Bytes, 8> c, const Bytes &e, const Bytes &d) {
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
  Bn dBn = ToBn(d), r = ToBn({0});
  for (size_t prime : {3u, 4u}) {
    Bn pMinus1 = ToBn(c[prime]);
    if (!ctx || !dBn || !r || !pMinus1 || BN_sub_word(pMinus1.get(), 1) != 1 ||
        BN_nnmod(r.get(), dBn.get(), pMinus1.get(), ctx.get()) != 1) {
      throw testtoken::Error("CRT exponent");
    }
    c[prime + 2] = FromBn(r.get());
  }
  c[1] = e;
  c[2] = d;
  return testtoken::Key::fromPrivateKeyInfo(RsaPrivateKeyInfo(c));
}

testtoken::Key RsaWithExponent(unsigned long e) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr),
                                                                  EVP_PKEY_CTX_free);
  Bn exponent(BN_new(), BN_clear_free);
  EVP_PKEY *key = nullptr;
  if (!ctx || !exponent || BN_set_word(exponent.get(), e) != 1 || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) != 1 || EVP_PKEY_generate(ctx.get(), &key) != 1) {
    throw testtoken::Error("RSA keygen with exponent");
  }
  return testtoken::Key::adopt(key);
}

struct TokenState {
  SetCheck sets;
  std::vector<std::vector<Bytes>> snapshot;
};

class VelkorFaults : public ::testing::Test {
 protected:
  const Pki &pki_ = SharedPki();
  VelkorApp app_;

  static std::unique_ptr<SoftHsm> SeededStore(const Pki &pki) {
    auto hsm = std::make_unique<SoftHsm>(std::vector<testtoken::TokenConfig>{testtoken::TokenConfig{}});
    testtoken::ScopedEnv env(hsm->environment());
    testtoken::P11Client client(testtoken::softhsmModulePath());
    testtoken::P11Session session = client.openSession(client.slotByLabel("TestToken"));
    session.login("1234");
    SeedOldSet(session, pki);
    return hsm;
  }
  TokenState ReadState(const SoftHsm &hsm) const {
    testtoken::ScopedEnv env(hsm.environment());
    testtoken::P11Client client(testtoken::softhsmModulePath());
    testtoken::P11Session session = client.openSession(client.slotByLabel("TestToken"));
    session.login("1234");
    return TokenState{CheckSets(session, pki_), Snapshot(session)};
  }
  testtoken::RunResult Run(const SoftHsm &hsm, const FaultSetup &fault) const {
    (void)hsm;
    return app_.Import(pki_.Renewal(), "1234", pki_.password, fault.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF",
                       fault.environment());
  }
  void ExpectLog(const std::string &message, int code) {
    ASSERT_TRUE(app_.Log().has_value());
    EXPECT_EQ(*app_.Log(), Cp932(LogText(message, code)));
  }
};

TEST_F(VelkorFaults, FullTokenWhenWritingTheCertificateRollsBackTheKeys) {
  auto hsm = SeededStore(pki_);
  TokenState before = ReadState(*hsm);
  FaultSetup fault("C_CreateObject:cert=0x31", testtoken::softhsmModulePath(), hsm->environment());
  testtoken::RunResult r = Run(*hsm, fault);
  EXPECT_EQ(r.signedExitCode(), -12);
  ExpectLog("error:証明書の書き込みに失敗。\ncode=0x00000031", -12);
  EXPECT_EQ(fault.count("C_DestroyObject"), 2u);  // both keys written in this run
  EXPECT_EQ(ReadState(*hsm).snapshot, before.snapshot);
}

// Runs that end with the token exactly as it was before: the new key
// failing its proof on the token (for the usages its certificate names),
// and a refused write after which the module's view of the token is stale
// until it is started afresh (as OpenSC's is after a full card).
struct PutBackRow {
  const char *name;
  const char *rules;
  const char *keyUsage;  // of the new certificate; empty: none
  int code;
  const char *message;
};

class VelkorPutBack : public VelkorFaults, public ::testing::WithParamInterface<PutBackRow> {};

TEST_P(VelkorPutBack, TokenAsBefore) {
  const PutBackRow &row = GetParam();
  auto hsm = SeededStore(pki_);
  const TokenState before = ReadState(*hsm);
  const testtoken::Certificate cert = pki_.Issue(pki_.eeName, 1002, pki_.newKey, row.keyUsage);
  FaultSetup fault(row.rules, testtoken::softhsmModulePath(), hsm->environment());
  testtoken::RunResult r = app_.Import(pki_.Pkcs12(&pki_.newKey, {&cert, &pki_.ca.cert}, pki_.password), "1234",
                                       pki_.password, fault.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF",
                                       fault.environment());
  EXPECT_EQ(r.signedExitCode(), row.code);
  if (row.code == 0) {
    EXPECT_EQ(ReadState(*hsm).sets.completeSets, 1);
    // The same file again finds everything in place: nothing is written,
    // so nothing is proven.
    FaultSetup again(row.rules, testtoken::softhsmModulePath(), hsm->environment());
    EXPECT_EQ(app_.Import(pki_.Pkcs12(&pki_.newKey, {&cert, &pki_.ca.cert}, pki_.password), "1234", pki_.password,
                          again.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF", again.environment())
                  .signedExitCode(),
              0);
    EXPECT_EQ(again.count("C_CreateObject") + again.count("C_SignInit") + again.count("C_DecryptInit"), 0u);
    return;
  }
  ExpectLog(row.message, row.code);
  EXPECT_EQ(ReadState(*hsm).snapshot, before.snapshot);
}

constexpr char kSignFailed[] = "error:書き込んだ秘密鍵で署名できませんでした。\ncode=0x00000068";
constexpr char kDecryptFailed[] = "error:書き込んだ秘密鍵で復号できませんでした。\ncode=0x00000068";
constexpr char kSignatureWrong[] = "error:書き込んだ秘密鍵の署名を証明書の公開鍵で検証できませんでした。";
constexpr char kDecryptionWrong[] =
    "error:書き込んだ秘密鍵で復号した値が証明書の公開鍵で暗号化した値と一致しませんでした。";

INSTANTIATE_TEST_SUITE_P(
    Rows, VelkorPutBack,
    ::testing::Values(
        PutBackRow{"SignatureTheCertificateDoesNotVerify", "C_Sign.corrupt", "", -1, kSignatureWrong},
        PutBackRow{"DecryptionComesBackWrong", "C_Decrypt.corrupt", "", -1, kDecryptionWrong},
        PutBackRow{"KeyMayNotSign", "C_SignInit=CKR_KEY_FUNCTION_NOT_PERMITTED", "", -1, kSignFailed},
        PutBackRow{"KeyMayNotDecrypt", "C_DecryptInit=CKR_KEY_FUNCTION_NOT_PERMITTED", "", -1, kDecryptFailed},
        PutBackRow{"NonRepudiationKeySignsWrong", "C_Sign.corrupt", "critical,nonRepudiation", -1, kSignatureWrong},
        PutBackRow{"EncipheringKeyDecryptsWrong", "C_Decrypt.corrupt", "critical,keyEncipherment", -1,
                   kDecryptionWrong},
        PutBackRow{"SigningOnlyKeyNeedNotDecrypt", "C_DecryptInit=CKR_KEY_FUNCTION_NOT_PERMITTED",
                   "critical,digitalSignature", 0, ""},
        PutBackRow{"EncipheringOnlyKeyNeedNotSign", "C_SignInit=CKR_KEY_FUNCTION_NOT_PERMITTED",
                   "critical,keyEncipherment", 0, ""},
        PutBackRow{"StaleModuleAfterAFullToken", "STALE_AFTER_REFUSED_CREATE;C_CreateObject:cert=0x31", "", -12,
                   "error:証明書の書き込みに失敗。\ncode=0x00000031"}),
    [](const ::testing::TestParamInfo<PutBackRow> &row) { return std::string(row.param.name); });

TEST_F(VelkorFaults, OtherRefusalOfTheCertificateIsMinusOne) {
  auto hsm = SeededStore(pki_);
  TokenState before = ReadState(*hsm);
  FaultSetup fault("C_CreateObject:cert=0x30", testtoken::softhsmModulePath(), hsm->environment());
  EXPECT_EQ(Run(*hsm, fault).signedExitCode(), -1);
  ExpectLog("error:証明書の書き込みに失敗。\ncode=0x00000030", -1);
  EXPECT_EQ(ReadState(*hsm).snapshot, before.snapshot);
}

TEST_F(VelkorFaults, FailingRollbackAddsALineAndKeepsTheCode) {
  auto hsm = SeededStore(pki_);
  FaultSetup fault("C_CreateObject:pubkey=0x31;C_DestroyObject#1=0x30", testtoken::softhsmModulePath(),
                   hsm->environment());
  EXPECT_EQ(Run(*hsm, fault).signedExitCode(), -1);
  ExpectLog("error:公開鍵の書き込みに失敗。\ncode=0x00000031\nerror:書き込み済みオブジェクトの削除に失敗。\ncode=0x00000030",
            -1);
}

TEST_F(VelkorFaults, FailingDeletionOfTheSecondKeyLeavesTheRestPlanned) {
  auto hsm = SeededStore(pki_);
  FaultSetup fault("C_DestroyObject#2=0x30", testtoken::softhsmModulePath(), hsm->environment());
  EXPECT_EQ(Run(*hsm, fault).signedExitCode(), -5);
  ExpectLog("error:Kivo内の公開鍵データ削除に失敗。\ncode=0x00000030", -5);
  TokenState after = ReadState(*hsm);
  EXPECT_EQ(after.sets.completeSets, 1);  // the new set; the old private key went first
  EXPECT_TRUE(after.sets.oldCertPresent);
  EXPECT_FALSE(after.sets.anyIncompleteNewObject);
}

TEST_F(VelkorFaults, FailingCertificateDeletion) {
  auto hsm = SeededStore(pki_);
  FaultSetup fault("C_DestroyObject:cert=0x30", testtoken::softhsmModulePath(), hsm->environment());
  EXPECT_EQ(Run(*hsm, fault).signedExitCode(), -5);
  ExpectLog("error:Kivo内のデータ削除に失敗。\ncode=0x00000030", -5);
}

// Every user of the machine can read a process's arguments: while Velkor
// waits inside C_Login, its command line shows neither the PIN nor the
// PKCS#12 password (their bytes are zero), and the run goes on to renew.
TEST_F(VelkorFaults, PinAndPasswordAreGoneFromTheCommandLineDuringTheImport) {
  auto hsm = SeededStore(pki_);
  FaultSetup fault("C_Login=SLEEP:3000", testtoken::softhsmModulePath(), hsm->environment());
  testtoken::writeFile(app_.p12Path(), pki_.Renewal());
  const std::string program = (app_.binFolder() / "Velkor").string();
  const std::vector<std::string> args = {app_.p12Path().string(), "1234", pki_.password, fault.modulePath(),
                                         "SUBDN", "ISCHKOFF", "ADDOFF"};
  testtoken::SpawnOptions options;
  options.envp = testtoken::buildEnvironment(fault.environment());
  testtoken::ChildProcess velkor(program, args, options);
  // The fault module logs a call when it returns: the session is open and
  // the login not yet answered.
  for (int polls = 0; polls < 6000 && fault.count("C_OpenSession") == 0 && velkor.running(); ++polls) {
    usleep(10000);
  }
  const std::string cmdline = testtoken::readTextFile("/proc/" + std::to_string(velkor.pid()) + "/cmdline");
  const bool insideLogin = fault.count("C_OpenSession") == 1 && fault.count("C_Login") == 0;
  ASSERT_TRUE(velkor.waitFor(std::chrono::seconds(120)));
  EXPECT_TRUE(WIFEXITED(velkor.waitStatus()) && WEXITSTATUS(velkor.waitStatus()) == 0);
  ASSERT_TRUE(insideLogin) << "the command line was not read inside C_Login";
  std::string expected = program + '\0' + args[0] + '\0';
  expected += std::string(args[1].size(), '\0') + '\0' + std::string(args[2].size(), '\0') + '\0';
  for (size_t i = 3; i < args.size(); ++i) expected += args[i] + '\0';
  EXPECT_EQ(cmdline, expected);
  EXPECT_EQ(cmdline.find(pki_.password), std::string::npos);
  EXPECT_EQ(ReadState(*hsm).sets.completeSets, 1);
}

// A file that cannot be imported is refused before the token is touched:
// a wrong PIN is never spent on it, and the file is consumed.  Among them
// private keys that would replace the working one without serving: damaged
// ones behind a valid MAC (each from the same hand-made PrivateKeyInfo as
// the undamaged key, which renews) and keys that are no two-prime RSA key.
TEST_F(VelkorFaults, UnusableFileNeverReachesTheLogin) {
  auto hsm = SeededStore(pki_);
  const TokenState before = ReadState(*hsm);
  testtoken::Certificate second = pki_.Issue(pki_.eeName, 1003, pki_.newKey);
  constexpr const char *kDamaged = "error:P12ファイルが不正である。秘密鍵が壊れている。";
  constexpr const char *kNotRsa = "error:P12ファイルが不正である。秘密鍵が2素数のRSA鍵ではない。";
  // The new key with one component changed.
  const std::array<Bytes, 8> good = RsaComponents(pki_.newKey);
  std::vector<testtoken::Key> damaged;  // d, p, q, dp, dq, qinv
  for (size_t component = 2; component < good.size(); ++component) {
    damaged.push_back(WithComponentChanged(pki_.newKey, component));
  }
  auto renewalWith = [&](const testtoken::Key &key) {
    return pki_.Pkcs12(&key, {&pki_.newCert, &pki_.ca.cert}, pki_.password);
  };
  // n kept, every private part taken from another key that holds together
  // in itself: only n = p·q fails.
  std::array<Bytes, 8> foreign = RsaComponents(pki_.oldKey);
  foreign[0] = good[0];
  const testtoken::Key otherPrimes = testtoken::Key::fromPrivateKeyInfo(RsaPrivateKeyInfo(foreign));
  const testtoken::Key ec = Generated("EC", 0);
  const testtoken::Key pss = Generated("RSA-PSS", 2048);
  const testtoken::Key threePrimes = Generated("RSA", 2048, 3);
  // A private exponent one step off, with the CRT exponents worked out from
  // it: only d·e ≡ 1 fails.
  Bn wrongD = ToBn(good[2]);
  if (!wrongD || BN_add_word(wrongD.get(), 2) != 1) throw testtoken::Error("d + 2");
  const testtoken::Key offD = WithExponents(good, good[1], FromBn(wrongD.get()));
  // Public exponents that are no RSA exponents: e = d = 1 holds together
  // (and leaves every message as it is), e = 2 and e = n − 1 are even.
  const testtoken::Key eOne = WithExponents(good, {1}, {1});
  const testtoken::Key eTwo = WithExponents(good, {2}, good[2]);
  Bytes nMinus1 = good[0];
  nMinus1.back() ^= 0x01;  // n is odd
  const testtoken::Key eNMinus1 = WithExponents(good, nMinus1, good[2]);
  // A modulus of 16,400 bits, just beyond the largest one taken; its other
  // parts are small and do not hold together.
  Bytes bigN(16400 / 8, 0xC3);
  const testtoken::Key tooLarge =
      testtoken::Key::fromPrivateKeyInfo(RsaPrivateKeyInfo({bigN, good[1], {3}, {5}, {7}, {1}, {1}, {1}}));
  // DSA keys with a p of this many bits (not even prime: decoding one
  // computes its public value modulo p all the same), in plain key bags
  // beside the renewal's key.
  auto withDsaBags = [&](size_t bags, size_t pBits) {
    Bytes p(pBits / 8, 0xC3), q(20, 0x9B), g(pBits / 8, 0x05), x(20, 0x17);
    const Bytes dsaOid = {0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x01};
    Bytes params = DerIntegers({p, q, g});
    Bytes algorithm = dsaOid;
    Bytes sequence = DerTlv(0x30, params);
    algorithm.insert(algorithm.end(), sequence.begin(), sequence.end());
    Bytes info = DerIntegers({{0}});
    Bytes wrapped = DerTlv(0x30, algorithm);
    info.insert(info.end(), wrapped.begin(), wrapped.end());
    Bytes key = DerTlv(0x04, DerIntegers({x}));
    info.insert(info.end(), key.begin(), key.end());
    testtoken::Pkcs12Params params12;
    params12.password = pki_.password;
    params12.key = &pki_.newKey;
    params12.certs = {&pki_.newCert, &pki_.ca.cert};
    params12.plainKeyInfos.assign(bags, DerTlv(0x30, info));
    return testtoken::makePkcs12(params12);
  };
  auto withCert = [&](const testtoken::Key &key, uint64_t serial) {
    testtoken::Certificate cert = pki_.Issue(pki_.eeName, serial, key);
    return pki_.Pkcs12(&key, {&cert, &pki_.ca.cert}, pki_.password);
  };
  struct Case {
    const char *what;
    Bytes p12;
    const char *message;
  };
  const Case cases[] = {
      {"two certificates with the key", pki_.Pkcs12(&pki_.newKey, {&pki_.newCert, &second}, pki_.password),
       "error:P12ファイルが不正である。P12ファイルに秘密鍵を持つ証明書が複数格納されている。"},
      {"two certificates without a key", pki_.Pkcs12(nullptr, {&pki_.oldCert, &pki_.ca.cert}, pki_.password),
       "error:P12ファイルが不正である。P12ファイルに秘密鍵を持つ証明書が存在しない。"},
      {"damaged private exponent", renewalWith(damaged[0]), kDamaged},
      {"damaged first prime", renewalWith(damaged[1]), kDamaged},
      {"damaged second prime", renewalWith(damaged[2]), kDamaged},
      {"damaged first CRT exponent", renewalWith(damaged[3]), kDamaged},
      {"damaged second CRT exponent", renewalWith(damaged[4]), kDamaged},
      {"damaged coefficient", renewalWith(damaged[5]), kDamaged},
      {"n is not p times q", renewalWith(otherPrimes), kDamaged},
      {"private exponent whose CRT exponents follow it", renewalWith(offD), kDamaged},
      {"public exponent 1", withCert(eOne, 1104), kDamaged},
      {"public exponent 2", withCert(eTwo, 1105), kDamaged},
      {"public exponent n - 1", withCert(eNMinus1, 1106), kDamaged},
      {"modulus of 16400 bits", withCert(tooLarge, 1107), kNotRsa},
      {"EC P-256 key", withCert(ec, 1101), kNotRsa},
      {"RSA-PSS key", withCert(pss, 1102), kNotRsa},
      {"RSA key of three primes", withCert(threePrimes, 1103), kNotRsa},
      {"60 DSA key bags of 16384 bits", withDsaBags(60, 16384), kNotRsa},
      {"a DSA key bag of 65536 bits", withDsaBags(1, 65536), kNotRsa},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FaultSetup fault("C_Login=CKR_PIN_INCORRECT", testtoken::softhsmModulePath(), hsm->environment());
    testtoken::RunResult r = app_.Import(c.p12, "1234", pki_.password, fault.modulePath(), "SUBDN", "ISCHKOFF",
                                         "ADDOFF", fault.environment());
    EXPECT_EQ(r.signedExitCode(), -1);
    ExpectLog(c.message, -1);
    EXPECT_TRUE(fault.functions().empty()) << "the module is not even loaded";
    EXPECT_FALSE(std::filesystem::exists(app_.p12Path()));
  }
  EXPECT_EQ(ReadState(*hsm).snapshot, before.snapshot);
  // The undamaged components, built the same way, renew.
  const testtoken::Key handMade = testtoken::Key::fromPrivateKeyInfo(RsaPrivateKeyInfo(good));
  FaultSetup plain("", testtoken::softhsmModulePath(), hsm->environment());
  testtoken::RunResult r = app_.Import(renewalWith(handMade), "1234", pki_.password, plain.modulePath(), "SUBDN",
                                       "ISCHKOFF", "ADDOFF", plain.environment());
  EXPECT_EQ(r.signedExitCode(), 0) << app_.Log().value_or("");
  EXPECT_EQ(ReadState(*hsm).sets.completeSets, 1);
  // So does a key with the smallest public exponent there is.
  const testtoken::Key eThree = RsaWithExponent(3);
  r = app_.Import(withCert(eThree, 1108), "1234", pki_.password, plain.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF",
                  plain.environment());
  EXPECT_EQ(r.signedExitCode(), 0) << app_.Log().value_or("");
}

// Three certificates are refused after the login, whatever the order of
// their bags and however many of them have the key: a wrong PIN still
// reads as one.
TEST_F(VelkorFaults, ThreeCertificatesAreRefusedAfterTheLogin) {
  auto hsm = SeededStore(pki_);
  const TokenState before = ReadState(*hsm);
  testtoken::Certificate second = pki_.Issue(pki_.eeName, 1003, pki_.newKey);
  const testtoken::Certificate &ee = pki_.newCert, &ca = pki_.ca.cert, &old = pki_.oldCert;
  const std::vector<std::pair<const char *, std::vector<const testtoken::Certificate *>>> orders = {
      {"end entity first", {&ee, &ca, &old}},
      {"end entity in the middle", {&old, &ee, &ca}},
      {"end entity last", {&old, &ca, &ee}},
      {"two with the key", {&ee, &second, &ca}},
  };
  for (const auto &[what, certs] : orders) {
    SCOPED_TRACE(what);
    const Bytes p12 = pki_.Pkcs12(&pki_.newKey, certs, pki_.password);
    FaultSetup plain("", testtoken::softhsmModulePath(), hsm->environment());
    EXPECT_EQ(app_.Import(p12, "1234", pki_.password, plain.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF",
                          plain.environment())
                  .signedExitCode(),
              -1);
    ExpectLog("error:P12ファイルが不正である。P12ファイルに証明書が複数格納されている。", -1);
    FaultSetup wrongPin("C_Login=CKR_PIN_INCORRECT", testtoken::softhsmModulePath(), hsm->environment());
    EXPECT_EQ(app_.Import(p12, "1234", pki_.password, wrongPin.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF",
                          wrongPin.environment())
                  .signedExitCode(),
              -6);
  }
  EXPECT_EQ(ReadState(*hsm).snapshot, before.snapshot);
}

// A module that claims a 4 GiB certificate value gets no buffer of that
// size; met before any certificate of the same subject, the failure reads
// as the subject mismatch, as every failure there does.  The token stays
// as it was.
TEST_F(VelkorFaults, AbsurdAttributeLengthIsRefused) {
  auto hsm = SeededStore(pki_);
  TokenState before = ReadState(*hsm);
  FaultSetup fault("C_GetAttributeValue:cert.length=0x100000000", testtoken::softhsmModulePath(), hsm->environment());
  EXPECT_EQ(Run(*hsm, fault).signedExitCode(), -3);
  ExpectLog("error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる", -3);
  EXPECT_EQ(fault.count("C_CreateObject"), 0u);
  EXPECT_EQ(ReadState(*hsm).snapshot, before.snapshot);
}

// The log of a failed run is written before the token is closed: a module
// that dies on the way out (a token pulled while the program logs out or
// finalizes) does not take the message with it.
TEST_F(VelkorFaults, ModuleDyingWhileTheTokenClosesLeavesTheLog) {
  for (const char *dying : {"C_Logout=KILL", "C_Finalize=KILL"}) {
    SCOPED_TRACE(dying);
    auto hsm = SeededStore(pki_);
    std::filesystem::remove(app_.logPath());
    FaultSetup fault(std::string("C_GetAttributeValue:cert.length=0x100000000;") + dying,
                     testtoken::softhsmModulePath(), hsm->environment());
    testtoken::RunResult r = Run(*hsm, fault);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGKILL);
    ExpectLog("error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる", -3);
  }
}

TEST_F(VelkorFaults, EveryFailingCallOfARenewalLeavesACompleteSet) {
  int calls = 0;
  {
    auto hsm = SeededStore(pki_);
    FaultSetup clean("", testtoken::softhsmModulePath(), hsm->environment());
    testtoken::RunResult r = Run(*hsm, clean);
    ASSERT_EQ(r.signedExitCode(), 0) << (app_.Log() ? *app_.Log() : "");
    calls = static_cast<int>(clean.calls().size());
  }
  ASSERT_GT(calls, 20);
  int survived = 0;
  int failedRuns = 0;
  for (int n = 1; n <= calls; ++n) {
    SCOPED_TRACE("FAIL_CALL=" + std::to_string(n));
    auto hsm = SeededStore(pki_);
    TokenState before = ReadState(*hsm);
    std::filesystem::remove(app_.logPath());
    FaultSetup fault("FAIL_CALL=" + std::to_string(n), testtoken::softhsmModulePath(), hsm->environment());
    testtoken::RunResult r = Run(*hsm, fault);
    ASSERT_TRUE(r.exited);
    int32_t code = r.signedExitCode();
    if (code != 0) ++failedRuns;
    TokenState after = ReadState(*hsm);
    bool ok = after.sets.completeSets >= 1 && !after.sets.anyIncompleteNewObject && after.sets.caPresent;
    if (code == 0) {
      ok = ok && !app_.Log().has_value();
    } else {
      // The log ends with the code the program returned.
      std::optional<std::string> log = app_.Log();
      std::string tail = Cp932("\nツールの戻り値 = " + std::to_string(code));
      ok = ok && log.has_value() && log->size() >= tail.size() &&
           log->compare(log->size() - tail.size(), tail.size(), tail) == 0;
      // Both sets remain only when a deletion failed; any earlier failure
      // leaves the token as it was.
      if (code != -5) ok = ok && after.snapshot == before.snapshot;
    }
    EXPECT_TRUE(ok) << "exit " << code << (app_.Log() ? "\n" + *app_.Log() : "");
    if (ok) ++survived;
  }
  EXPECT_EQ(survived, calls);
  // Teardown calls, quiet searches and reads of objects that are passed
  // over anyway fail without effect; the rest make the run fail.
  EXPECT_GT(failedRuns, 0);
  std::printf("[ fault sweep ] %d of %d failure points survived (%d runs failed)\n", survived, calls, failedRuns);
  RecordProperty("failure_points", calls);
  RecordProperty("survived", survived);
}

}  // namespace
}  // namespace velkor_test
