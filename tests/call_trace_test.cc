// The PKCS#11 calls both programs make, as OpenSC's pkcs11-spy records them
// in front of the token's real module: the order of writes and deletions in
// a renewal, balanced object searches, a read program that never logs in or
// writes, and every run ending with C_Finalize.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "release_support.h"

namespace release_test {
namespace {

using namespace testtoken;

int g_traceChecks = 0;

std::string Describe(const std::vector<SpyCall> &calls) {
  std::string text;
  for (const SpyCall &c : calls) {
    text += std::to_string(c.index) + ": " + c.function;
    if (c.rv) text += " -> " + std::to_string(*c.rv);
    text += "\n";
  }
  return text;
}

std::vector<size_t> Positions(const std::vector<SpyCall> &calls, const std::string &function) {
  std::vector<size_t> at;
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i].function == function) at.push_back(i);
  return at;
}

// Checks that hold for every run of either program.
void ExpectCommonShape(const std::vector<SpyCall> &calls) {
  SCOPED_TRACE(Describe(calls));
  ASSERT_GE(calls.size(), 2u);

  // The spy numbers every call it forwards, from 0 in each process that
  // binds the module (a rollback's fresh start is a process of its own);
  // none is missing or unfinished.
  ++g_traceChecks;
  int expected = 0;
  for (const SpyCall &c : calls) {
    if (c.function == "C_GetFunctionList" && c.index == 0) expected = 0;
    EXPECT_EQ(c.index, expected++);
    EXPECT_TRUE(c.rv.has_value()) << c.function << " never returned";
  }

  // Bound, initialised first, every C_Initialize followed by its C_Finalize
  // before the next (a fresh start after a refused write is the only
  // second one), and C_Finalize is the last call.
  ++g_traceChecks;
  EXPECT_EQ(calls.front().function, "C_GetFunctionList");
  EXPECT_EQ(calls[1].function, "C_Initialize");
  const std::vector<size_t> initializes = Positions(calls, "C_Initialize");
  const std::vector<size_t> finalizes = Positions(calls, "C_Finalize");
  ASSERT_EQ(initializes.size(), finalizes.size());
  for (size_t i = 0; i < initializes.size(); ++i) {
    EXPECT_LT(initializes[i], finalizes[i]);
    if (i + 1 < initializes.size()) {
      EXPECT_LT(finalizes[i], initializes[i + 1]);
    }
  }
  EXPECT_EQ(calls.back().function, "C_Finalize");
  EXPECT_EQ(calls.back().rv, CKR_OK);

  // Every search is closed before the next one starts and before the end.
  ++g_traceChecks;
  bool open = false;
  for (const SpyCall &c : calls) {
    if (c.function == "C_FindObjectsInit") {
      EXPECT_FALSE(open) << "C_FindObjectsInit #" << c.index << " while a search is open";
      open = c.rv == CKR_OK;
    } else if (c.function == "C_FindObjects") {
      EXPECT_TRUE(open) << "C_FindObjects #" << c.index << " outside a search";
    } else if (c.function == "C_FindObjectsFinal") {
      EXPECT_TRUE(open) << "C_FindObjectsFinal #" << c.index << " without a search";
      open = false;
    }
  }
  EXPECT_FALSE(open) << "a search is still open at the end";

  // Every session opened is closed before C_Finalize.
  ++g_traceChecks;
  size_t opened = 0;
  size_t closed = 0;
  for (const SpyCall &c : calls) {
    if (c.function == "C_OpenSession" && c.rv == CKR_OK) ++opened;
    if (c.function == "C_CloseSession" && c.rv == CKR_OK) ++closed;
  }
  EXPECT_EQ(opened, closed);

  // A successful login is ended by C_Logout before the session closes.
  ++g_traceChecks;
  bool loggedIn = false;
  for (const SpyCall &c : calls) {
    if (c.function == "C_Login" && c.rv == CKR_OK) loggedIn = true;
    if (c.function == "C_Logout") loggedIn = false;
    if (c.function == "C_CloseSession") {
      EXPECT_FALSE(loggedIn) << "session closed while logged in";
    }
  }
  EXPECT_FALSE(loggedIn);
}

void ExpectNoWrites(const std::vector<SpyCall> &calls) {
  ++g_traceChecks;
  for (const SpyCall &c : calls) {
    EXPECT_FALSE(IsWritingCall(c.function)) << "#" << c.index << " " << c.function;
  }
}

class CallTrace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (SpyModulePath().empty()) GTEST_SKIP() << "pkcs11-spy.so was not found when the tests were configured";
  }
  static void TearDownTestSuite() {
    std::printf("[ call traces ] %d trace checks made\n", g_traceChecks);
  }

  const Pki &pki_ = SharedPki();
  SoftHsmToken token_;
  TempDir logs_{"spylog"};
};

TEST_F(CallTrace, RenewalWritesEverythingBeforeItDeletesAnything) {
  Seed(token_, [](P11Session &s) { SeedOldSet(s); });
  VelkorCopy velkor;
  testtoken::writeFile(velkor.p12Path(), pki_.Renewal());
  fs::path log = logs_ / "renewal.log";
  RunResult r = velkor.Run({velkor.p12Path().string(), "1234", pki_.password, SpyModulePath(), "SUBDN", "ISCHKOFF",
                            "ADDOFF"},
                           SpyEnvironment(token_, log));
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  ASSERT_EQ(r.signedExitCode(), 0) << FileBytes(velkor.logPath()).value_or("");
  EXPECT_FALSE(fs::exists(velkor.logPath()));

  std::vector<SpyCall> calls = ReadSpyLog(log);
  ExpectCommonShape(calls);
  SCOPED_TRACE(Describe(calls));

  // Private key, public key and certificate of the renewal are written; the
  // CA certificate is on the token already. Then the old key pair and the
  // old certificate go.
  ++g_traceChecks;
  std::vector<size_t> creates = Positions(calls, "C_CreateObject");
  std::vector<size_t> destroys = Positions(calls, "C_DestroyObject");
  EXPECT_EQ(creates.size(), 3u);
  EXPECT_EQ(destroys.size(), 3u);
  ASSERT_FALSE(creates.empty());
  ASSERT_FALSE(destroys.empty());
  EXPECT_LT(creates.back(), destroys.front()) << "an object was deleted before the last write";
  for (size_t i : creates) EXPECT_EQ(calls[i].rv, CKR_OK);
  for (size_t i : destroys) EXPECT_EQ(calls[i].rv, CKR_OK);

  // It deletes none of the objects it has just written.
  ++g_traceChecks;
  for (size_t c : creates) {
    ASSERT_TRUE(calls[c].object.has_value()) << "no handle in the log for #" << calls[c].index;
    for (size_t d : destroys) {
      ASSERT_TRUE(calls[d].object.has_value()) << "no handle in the log for #" << calls[d].index;
      EXPECT_NE(calls[d].object, calls[c].object) << "#" << calls[d].index;
    }
  }

  // Writes and deletions happen while logged in.
  ++g_traceChecks;
  std::vector<size_t> logins = Positions(calls, "C_Login");
  std::vector<size_t> logouts = Positions(calls, "C_Logout");
  ASSERT_EQ(logins.size(), 1u);
  ASSERT_EQ(logouts.size(), 1u);
  EXPECT_LT(logins.front(), creates.front());
  EXPECT_GT(logouts.front(), destroys.back());
  EXPECT_EQ(Positions(calls, "C_SetAttributeValue").size(), 0u);
  EXPECT_EQ(Positions(calls, "C_CopyObject").size(), 0u);

  // What the trace says is what the token holds now.
  ++g_traceChecks;
  std::vector<std::vector<Bytes>> contents = TokenContents(token_);
  size_t newCerts = 0;
  size_t oldCerts = 0;
  for (const auto &o : contents) {
    if (o[4] == pki_.newCert.der()) ++newCerts;
    if (o[4] == pki_.oldCert.der()) ++oldCerts;
  }
  EXPECT_EQ(newCerts, 1u);
  EXPECT_EQ(oldCerts, 0u);
  EXPECT_EQ(contents.size(), 4u);
}

TEST_F(CallTrace, WrongPinEndsWithFinalizeAndWritesNothing) {
  Seed(token_, [](P11Session &s) { SeedOldSet(s); });
  std::vector<std::vector<Bytes>> before = TokenContents(token_);
  VelkorCopy velkor;
  testtoken::writeFile(velkor.p12Path(), pki_.Renewal());
  fs::path log = logs_ / "wrong-pin.log";
  RunResult r = velkor.Run({velkor.p12Path().string(), "9999", pki_.password, SpyModulePath(), "SUBDN", "ISCHKOFF",
                            "ADDOFF"},
                           SpyEnvironment(token_, log));
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), -6);
  EXPECT_EQ(FileBytes(velkor.logPath()),
            ResultFile("error:PKCS#11トークンのログインに失敗しました。ユーザPINが間違っています。 code = 0x000000A0", -6));

  std::vector<SpyCall> calls = ReadSpyLog(log);
  ExpectCommonShape(calls);
  ExpectNoWrites(calls);
  SCOPED_TRACE(Describe(calls));
  ++g_traceChecks;
  std::vector<size_t> logins = Positions(calls, "C_Login");
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(calls[logins.front()].rv, CKR_PIN_INCORRECT);
  EXPECT_EQ(Positions(calls, "C_Logout").size(), 0u);
  EXPECT_EQ(TokenContents(token_), before);
}

TEST_F(CallTrace, RefusedCertificateWriteRemovesOnlyWhatTheRunWrote) {
  // pkcs11-spy in front of libfaultp11.so in front of SoftHSM: the token
  // refuses the certificate as full.
  SoftHsm hsm({TokenConfig{}});
  auto contents = [&hsm] {
    ScopedEnv env(hsm.environment());
    P11Client client(softhsmModulePath());
    P11Session session = client.openSession(client.slotByLabel("TestToken"));
    session.login("1234");
    std::vector<std::vector<Bytes>> all;
    for (const TokenObject &o : session.objects()) all.push_back({toBytes(o.label), o.id, o.subject, o.value});
    std::sort(all.begin(), all.end());
    return all;
  };
  {
    ScopedEnv env(hsm.environment());
    P11Client client(softhsmModulePath());
    P11Session session = client.openSession(client.slotByLabel("TestToken"));
    session.login("1234");
    SeedOldSet(session);
  }
  const std::vector<std::vector<Bytes>> before = contents();
  FaultSetup fault("C_CreateObject:cert=CKR_DEVICE_MEMORY", softhsmModulePath(), hsm.environment());
  fs::path log = logs_ / "refused-write.log";
  EnvMap env = SpyEnvironment(fault.environment(), fault.modulePath(), log);

  VelkorCopy velkor;
  testtoken::writeFile(velkor.p12Path(), pki_.Renewal());
  RunResult r = velkor.Run({velkor.p12Path().string(), "1234", pki_.password, SpyModulePath(), "SUBDN", "ISCHKOFF",
                            "ADDOFF"},
                           env);
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), -12);
  EXPECT_EQ(FileBytes(velkor.logPath()), ResultFile("error:証明書の書き込みに失敗。\ncode=0x00000031", -12));

  std::vector<SpyCall> calls = ReadSpyLog(log);
  ExpectCommonShape(calls);
  SCOPED_TRACE(Describe(calls));

  // Private and public key written, the certificate refused; then the
  // module is started afresh and logged in again before exactly the two
  // keys of this run are removed (found again: the handles of before the
  // fresh start mean nothing after it).
  ++g_traceChecks;
  std::vector<size_t> creates = Positions(calls, "C_CreateObject");
  std::vector<size_t> destroys = Positions(calls, "C_DestroyObject");
  ASSERT_EQ(creates.size(), 3u);
  EXPECT_EQ(calls[creates[0]].rv, CKR_OK);
  EXPECT_EQ(calls[creates[1]].rv, CKR_OK);
  EXPECT_EQ(calls[creates[2]].rv, CKR_DEVICE_MEMORY);
  const std::vector<size_t> initializes = Positions(calls, "C_Initialize");
  const std::vector<size_t> logins = Positions(calls, "C_Login");
  ASSERT_EQ(initializes.size(), 2u);
  ASSERT_EQ(logins.size(), 2u);
  EXPECT_GT(initializes[1], creates.back());
  ASSERT_EQ(destroys.size(), 2u);
  EXPECT_GT(destroys.front(), logins[1]);
  for (size_t d : destroys) {
    EXPECT_TRUE(calls[d].object.has_value()) << "no handle in the log for #" << calls[d].index;
    EXPECT_EQ(calls[d].rv, CKR_OK);
  }

  ++g_traceChecks;
  EXPECT_EQ(contents(), before);
}

TEST_F(CallTrace, ListingNeverLogsInNorWrites) {
  Seed(token_, [](P11Session &s) { SeedListing(s); });
  std::vector<std::vector<Bytes>> before = TokenContents(token_);
  SarnetCopy sarnet;
  fs::path log = logs_ / "listing.log";
  RunResult r = sarnet.Run({SpyModulePath()}, SpyEnvironment(token_, log));
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  ASSERT_EQ(r.signedExitCode(), 0) << FileBytes(sarnet.errorPath()).value_or("");
  EXPECT_FALSE(fs::exists(sarnet.errorPath()));
  std::vector<std::string> lines = Lines(FileBytes(sarnet.certPath()).value_or(""));
  EXPECT_EQ(lines.size(), 8u);

  std::vector<SpyCall> calls = ReadSpyLog(log);
  ExpectCommonShape(calls);
  ExpectNoWrites(calls);
  SCOPED_TRACE(Describe(calls));
  ++g_traceChecks;
  EXPECT_EQ(Positions(calls, "C_Login").size(), 0u);
  EXPECT_EQ(Positions(calls, "C_Logout").size(), 0u);
  EXPECT_EQ(Positions(calls, "C_FindObjectsInit").size(), 1u);
  EXPECT_EQ(TokenContents(token_), before);
}

TEST_F(CallTrace, ListingOfAnEmptyTokenStillFinalizes) {
  SarnetCopy sarnet;
  fs::path log = logs_ / "empty.log";
  RunResult r = sarnet.Run({SpyModulePath()}, SpyEnvironment(token_, log));
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), -13);
  EXPECT_EQ(FileBytes(sarnet.errorPath()), ResultFile("error:USB内のオブジェクトが空", -13));
  EXPECT_FALSE(fs::exists(sarnet.certPath()));

  std::vector<SpyCall> calls = ReadSpyLog(log);
  ExpectCommonShape(calls);
  ExpectNoWrites(calls);
  ++g_traceChecks;
  EXPECT_EQ(Positions(calls, "C_Login").size(), 0u);
}

}  // namespace
}  // namespace release_test
