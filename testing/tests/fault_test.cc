// libfaultp11.so in front of SoftHSM2: forwarding, slot filtering, rules and
// the call log.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "testtoken/testtoken.h"

using namespace testtoken;

namespace {

struct FaultRun {
  SoftHsm hsm;
  FaultSetup fault;
  explicit FaultRun(const std::string& rules, std::vector<TokenConfig> tokens = {TokenConfig{}})
      : hsm(tokens), fault(rules, softhsmModulePath(), hsm.environment()) {}
};

// A logged-in session through the fault module holding a CA's private key
// under CKA_ID "1" (the fault environment must be applied first).
struct KeyOnToken {
  CertAuthority ca = CertAuthority::create(simpleName({{"CN", "Fault CA"}}), 1024);
  P11Client client{faultModulePath()};
  P11Session session = client.openSession(client.onlySlot());
  KeyOnToken() {
    session.login("1234");
    session.createPrivateKey(ca.key.get(), toBytes("1"), "key");
  }
};

}  // namespace

TEST(FaultModuleTest, ForwardsAndShowsOnlyInitialisedTokens) {
  FaultRun run("");
  ScopedEnv env(run.fault.environment());
  std::size_t direct = 0;
  {
    P11Client softhsm(softhsmModulePath());
    direct = softhsm.slots(true).size();  // the token and SoftHSM's spare one
  }
  EXPECT_EQ(direct, 2u);
  P11Client client(faultModulePath());
  auto slots = client.slots(true);
  ASSERT_EQ(slots.size(), 1u);
  EXPECT_EQ(client.tokenLabel(slots[0]), "TestToken");
  EXPECT_EQ(client.slots(false).size(), 1u);

  P11Session session = client.openSession(slots[0]);
  session.login("1234");
  EXPECT_TRUE(session.objects().empty());
}

TEST(FaultModuleTest, NoInitialisedTokenGivesNoSlot) {
  FaultRun run("", {});
  ScopedEnv env(run.fault.environment());
  P11Client client(faultModulePath());
  EXPECT_TRUE(client.slots(true).empty());
}

TEST(FaultModuleTest, TwoTokensGiveTwoSlots) {
  FaultRun run("", {TokenConfig{"One"}, TokenConfig{"Two"}});
  ScopedEnv env(run.fault.environment());
  P11Client client(faultModulePath());
  EXPECT_EQ(client.slots(true).size(), 2u);
}

TEST(FaultModuleTest, LoginRuleAndFinalTryFlag) {
  FaultRun run("C_Login=0xA0; C_GetTokenInfo.flags|=0x20000");
  ScopedEnv env(run.fault.environment());
  P11Client client(faultModulePath());
  CK_SLOT_ID slot = client.onlySlot();
  P11Session session = client.openSession(slot);
  EXPECT_EQ(session.tryLogin("1234"), static_cast<CK_RV>(CKR_PIN_INCORRECT));
  EXPECT_NE(client.tokenInfo(slot).flags & CKF_USER_PIN_FINAL_TRY, 0u);
  EXPECT_NE(client.tokenInfo(slot).flags & CKF_TOKEN_INITIALIZED, 0u);

  auto calls = run.fault.calls();
  auto login = std::find_if(calls.begin(), calls.end(), [](auto& c) { return c.function == "C_Login"; });
  ASSERT_NE(login, calls.end());
  EXPECT_EQ(login->rv, static_cast<CK_RV>(CKR_PIN_INCORRECT));
  EXPECT_TRUE(login->injected);
}

TEST(FaultModuleTest, NthCallRule) {
  FaultRun run("C_GetTokenInfo#2=0x30;C_GetSlotInfo#2+=CKR_DEVICE_REMOVED");
  ScopedEnv env(run.fault.environment());
  P11Client client(faultModulePath());
  CK_SLOT_ID slot = client.onlySlot();
  EXPECT_NO_THROW(client.tokenInfo(slot));
  try {
    client.tokenInfo(slot);
    ADD_FAILURE() << "second C_GetTokenInfo should fail";
  } catch (const P11Error& e) {
    EXPECT_EQ(e.rv(), static_cast<CK_RV>(CKR_DEVICE_ERROR));
  }
  EXPECT_NO_THROW(client.tokenInfo(slot));

  CK_SLOT_INFO info;
  EXPECT_EQ(client.functions()->C_GetSlotInfo(slot, &info), static_cast<CK_RV>(CKR_OK));
  EXPECT_EQ(client.functions()->C_GetSlotInfo(slot, &info), static_cast<CK_RV>(CKR_DEVICE_REMOVED));
  EXPECT_EQ(client.functions()->C_GetSlotInfo(slot, &info), static_cast<CK_RV>(CKR_DEVICE_REMOVED));
}

TEST(FaultModuleTest, ClassRules) {
  FaultRun run("C_CreateObject:cert=0x31;C_DestroyObject:privkey=0x30");
  ScopedEnv env(run.fault.environment());
  CertAuthority ca = CertAuthority::create(simpleName({{"CN", "Fault CA"}}), 1024);
  P11Client client(faultModulePath());
  P11Session session = client.openSession(client.onlySlot());
  session.login("1234");
  try {
    session.createCertificate(ca.cert.der(), toBytes("1"), "ca");
    ADD_FAILURE() << "certificate creation should fail";
  } catch (const P11Error& e) {
    EXPECT_EQ(e.rv(), static_cast<CK_RV>(CKR_DEVICE_MEMORY));
  }
  CK_OBJECT_HANDLE priv = session.createPrivateKey(ca.key.get(), toBytes("1"), "key");
  CK_OBJECT_HANDLE pub = session.createPublicKey(ca.key.get(), toBytes("1"), "pub");
  EXPECT_EQ(session.findAll().size(), 2u);
  EXPECT_THROW(session.destroy(priv), P11Error);
  EXPECT_NO_THROW(session.destroy(pub));
  EXPECT_EQ(session.findAll().size(), 1u);  // the private key stayed
}

TEST(FaultModuleTest, FailCallCountsEveryCall) {
  FaultRun run("FAIL_CALL=3");
  ScopedEnv env(run.fault.environment());
  P11Client client(faultModulePath());  // C_Initialize is call 1
  CK_ULONG count = 0;
  EXPECT_EQ(client.functions()->C_GetSlotList(CK_TRUE, nullptr, &count), static_cast<CK_RV>(CKR_OK));
  EXPECT_EQ(client.functions()->C_GetSlotList(CK_TRUE, nullptr, &count), static_cast<CK_RV>(CKR_DEVICE_ERROR));
  EXPECT_EQ(client.functions()->C_GetSlotList(CK_TRUE, nullptr, &count), static_cast<CK_RV>(CKR_OK));
  auto calls = run.fault.calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].function, "C_GetFunctionList");
  EXPECT_EQ(calls[1].function, "C_Initialize");
  EXPECT_TRUE(calls[3].injected);
  EXPECT_EQ(calls[3].rv, static_cast<CK_RV>(CKR_DEVICE_ERROR));
}

TEST(FaultModuleTest, KillCallEndsTheProcessAtTheNthCallOfAnyFunction) {
  // The probe's calls: C_Initialize (1), then C_GetSlotList (2).
  for (const char* rule : {"KILL_CALL=2", "KILL_AFTER_CALL=2"}) {
    SCOPED_TRACE(rule);
    FaultRun run(rule);
    RunOptions options;
    options.env = run.fault.environment();
    RunResult r = runProcess(TESTTOKEN_PROBE, {faultModulePath()}, options);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGKILL);
    auto calls = run.fault.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].function, "C_GetSlotList");
    EXPECT_TRUE(calls[2].killed);
    // Killed before, the caller would have seen a pulled token; after, the
    // real answer.
    EXPECT_EQ(calls[2].rv, std::string(rule).starts_with("KILL_CALL") ? static_cast<CK_RV>(CKR_DEVICE_REMOVED)
                                                                      : static_cast<CK_RV>(CKR_OK));
  }
}

TEST(FaultModuleTest, LogKeepsTheOrder) {
  FaultRun run("C_FindObjectsFinal=0x5");
  ScopedEnv env(run.fault.environment());
  {
    P11Client client(faultModulePath());
    P11Session session = client.openSession(client.onlySlot());
    EXPECT_THROW(session.findAll(), P11Error);
  }
  EXPECT_EQ(run.fault.functions(),
            (std::vector<std::string>{"C_GetFunctionList", "C_Initialize", "C_GetSlotList", "C_GetSlotList",
                                      "C_OpenSession", "C_FindObjectsInit", "C_FindObjects",
                                      "C_FindObjectsFinal", "C_CloseSession", "C_Finalize"}));
  EXPECT_EQ(run.fault.count("C_FindObjectsFinal"), 1u);
  // The real search was ended all the same: a new one can start.
}

TEST(FaultModuleTest, StampFileAndTimeOnEveryLine) {
  FaultRun run("");
  TempDir dir("stamp");
  const std::filesystem::path counter = dir.path() / "apdus";
  writeFile(counter, toBytes("41\n"));
  run.fault.setStampFile(counter);
  {
    ScopedEnv env(run.fault.environment());
    P11Client client(faultModulePath());
    client.onlySlot();
    writeFile(counter, toBytes("57\n"));
    P11Session session = client.openSession(client.onlySlot());
  }
  std::vector<FaultCall> calls = run.fault.calls();
  ASSERT_GE(calls.size(), 5u);
  EXPECT_EQ(calls.front().stamp, "41");
  EXPECT_EQ(calls.back().stamp, "57");
  long long previous = 0;
  for (const FaultCall& c : calls) {
    EXPECT_GE(c.ns, previous) << c.function;
    previous = c.ns;
  }
  // Without a stamp file the lines carry neither.
  run.fault.setStampFile({});
  run.fault.clearLog();
  {
    ScopedEnv plain(run.fault.environment());
    P11Client client(faultModulePath());
  }
  ASSERT_FALSE(run.fault.calls().empty());
  EXPECT_EQ(run.fault.calls().front().ns, -1);
  EXPECT_TRUE(run.fault.calls().front().stamp.empty());
}

TEST(FaultModuleTest, RepeatedLoadsStartAfresh) {
  FaultRun run("C_GetTokenInfo#1=0x30");
  ScopedEnv env(run.fault.environment());
  for (int round = 0; round < 3; ++round) {
    P11Client client(faultModulePath());
    CK_SLOT_ID slot = client.onlySlot();
    EXPECT_THROW(client.tokenInfo(slot), P11Error) << "round " << round;
    EXPECT_NO_THROW(client.tokenInfo(slot));
    client.finalize();
    client.initialize();
    EXPECT_EQ(client.slots(true).size(), 1u);
  }
  EXPECT_EQ(run.fault.count("C_Initialize"), 6u);
  EXPECT_EQ(run.fault.count("C_Finalize"), 6u);
}

TEST(FaultModuleTest, BadRuleFailsTheFunctionList) {
  FaultRun run("C_Nothing=1");
  ScopedEnv env(run.fault.environment());
  EXPECT_THROW(P11Client client(faultModulePath()), P11Error);
}

TEST(FaultModuleTest, ChildProgramThroughTheFaultModule) {
  FaultRun run("C_GetSlotList#1=0x30");
  RunOptions options;
  options.env = run.fault.environment();
  RunResult r = runProcess(TESTTOKEN_PROBE, {faultModulePath()}, options);
  EXPECT_EQ(r.exitCode, 101) << r.out << r.err;
  run.fault.setRules("");
  run.fault.clearLog();
  options.env = run.fault.environment();
  r = runProcess(TESTTOKEN_PROBE, {faultModulePath()}, options);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_EQ(run.fault.count("C_GetFunctionList"), 1u);
  EXPECT_EQ(run.fault.count("C_Finalize"), 1u);
}

TEST(FaultModuleTest, CorruptSignatureAndPlaintext) {
  // Each helper call is a length query and the real call: #4 is the second
  // answer with a buffer.
  FaultRun run("C_Sign#4.corrupt;C_Decrypt#4.corrupt");
  ScopedEnv env(run.fault.environment());
  KeyOnToken token;
  P11Session& session = token.session;
  const Bytes data = toBytes("challenge");
  const Bytes good = session.sign(toBytes("1"), data, CKM_RSA_PKCS);
  const Bytes bad = session.sign(toBytes("1"), data, CKM_RSA_PKCS);
  ASSERT_EQ(good.size(), bad.size());
  Bytes flipped = good;
  flipped.back() ^= 0x01;
  EXPECT_EQ(bad, flipped);

  const Bytes secret = toBytes("a fresh challenge");
  const Bytes cipher = encryptFor(token.ca.cert, secret);
  EXPECT_EQ(session.decrypt(toBytes("1"), cipher), secret);
  Bytes wrong = secret;
  wrong.front() ^= 0x01;
  EXPECT_EQ(session.decrypt(toBytes("1"), cipher), wrong);

  std::size_t corrupted = 0;
  for (const FaultCall& c : run.fault.calls()) {
    if (c.corrupted) {
      ++corrupted;
      EXPECT_EQ(c.rv, static_cast<CK_RV>(CKR_OK));
      EXPECT_FALSE(c.injected);
    }
  }
  EXPECT_EQ(corrupted, 2u);
}

TEST(FaultModuleTest, KeyFunctionNotPermittedParses) {
  FaultRun run("C_SignInit=CKR_KEY_FUNCTION_NOT_PERMITTED;C_DecryptInit=CKR_KEY_FUNCTION_NOT_PERMITTED;"
               "C_GetMechanismInfo=CKR_DEVICE_MEMORY");
  ScopedEnv env(run.fault.environment());
  KeyOnToken token;
  P11Session& session = token.session;
  try {
    session.sign(toBytes("1"), toBytes("x"), CKM_RSA_PKCS);
    ADD_FAILURE() << "C_SignInit should be refused";
  } catch (const P11Error& e) {
    EXPECT_EQ(e.rv(), static_cast<CK_RV>(CKR_KEY_FUNCTION_NOT_PERMITTED));
  }
  try {
    session.decrypt(toBytes("1"), encryptFor(token.ca.cert, toBytes("x")));
    ADD_FAILURE() << "C_DecryptInit should be refused";
  } catch (const P11Error& e) {
    EXPECT_EQ(e.rv(), static_cast<CK_RV>(CKR_KEY_FUNCTION_NOT_PERMITTED));
  }
}

TEST(FaultModuleTest, StaleAfterRefusedCreateUntilFinalized) {
  FaultRun run("C_CreateObject:cert#1=CKR_DEVICE_MEMORY;STALE_AFTER_REFUSED_CREATE");
  ScopedEnv env(run.fault.environment());
  CertAuthority ca = CertAuthority::create(simpleName({{"CN", "Fault CA"}}), 1024);
  P11Client client(faultModulePath());
  CK_SLOT_ID slot = client.onlySlot();
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  {
    P11Session session = client.openSession(slot);
    session.login("1234");
    key = session.createPrivateKey(ca.key.get(), toBytes("1"), "key");  // before the refusal: fine
    EXPECT_THROW(session.createCertificate(ca.cert.der(), toBytes("1"), "ca"), P11Error);
    CK_RV rv = client.functions()->C_DestroyObject(session.handle(), key);
    EXPECT_EQ(rv, static_cast<CK_RV>(CKR_USER_NOT_LOGGED_IN));
    EXPECT_EQ(session.tryLogin("1234"), static_cast<CK_RV>(CKR_USER_ALREADY_LOGGED_IN));
    session.logout();
    EXPECT_EQ(session.tryLogin("1234"), static_cast<CK_RV>(CKR_USER_ALREADY_LOGGED_IN));
  }
  {
    P11Session fresh = client.openSession(slot);
    EXPECT_EQ(fresh.tryLogin("1234"), static_cast<CK_RV>(CKR_USER_ALREADY_LOGGED_IN));
    EXPECT_EQ(client.functions()->C_DestroyObject(fresh.handle(), key), static_cast<CK_RV>(CKR_USER_NOT_LOGGED_IN));
  }
  client.finalize();
  client.initialize();
  {
    P11Session session = client.openSession(client.onlySlot());
    session.login("1234");
    ASSERT_EQ(session.findAll().size(), 1u);
    EXPECT_NO_THROW(session.destroy(session.findAll().front()));
    // #1 counts the calls of the loaded image: it does not fire again.
    EXPECT_NO_THROW(session.createCertificate(ca.cert.der(), toBytes("1"), "ca"));
    EXPECT_EQ(session.findAll().size(), 1u);
  }
  std::size_t injectedDestroys = 0;
  for (const FaultCall& c : run.fault.calls())
    if (c.function == "C_DestroyObject" && c.injected) ++injectedDestroys;
  EXPECT_EQ(injectedDestroys, 2u);
}
