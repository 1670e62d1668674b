// Both programs under valgrind's memcheck, end to end against the token:
// no invalid access, no use of undefined values, no definite or indirect
// leak, and the exit code the program has without valgrind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "release_support.h"

namespace release_test {
namespace {

using namespace testtoken;

constexpr int kValgrindError = 99;
int g_memcheckRuns = 0;

class Memcheck : public ::testing::Test {
 protected:
  void SetUp() override {
    if (SanitizedBuild()) GTEST_SKIP() << "sanitizer builds are not run under valgrind";
    if (ValgrindPath().empty()) GTEST_SKIP() << "valgrind was not found when the tests were configured";
  }
  static void TearDownTestSuite() { std::printf("[ memcheck ] %d valgrind runs\n", g_memcheckRuns); }

  std::vector<std::string> Wrapper(const std::string &name) {
    fs::path report = reports_ / (name + ".txt");
    reportPath_ = report;
    std::vector<std::string> w = {ValgrindPath(),
                                  "--tool=memcheck",
                                  "--error-exitcode=" + std::to_string(kValgrindError),
                                  "--leak-check=full",
                                  "--errors-for-leak-kinds=definite,indirect",
                                  "--show-leak-kinds=definite,indirect",
                                  "--num-callers=30",
                                  "--log-file=" + report.string()};
    return w;
  }
  std::string Report() const { return FileBytes(reportPath_).value_or("(no valgrind report)"); }

  // The run exited by itself with the expected code, and the report shows
  // no error at all.
  void ExpectClean(const RunResult &r, int expected) {
    ++g_memcheckRuns;
    ASSERT_TRUE(r.exited) << "signal " << r.signal << "\n" << Report();
    ASSERT_FALSE(r.timedOut);
    EXPECT_NE(r.exitCode, kValgrindError) << Report();
    EXPECT_EQ(r.signedExitCode(), expected) << Report();
    const std::string report = Report();
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
    // The leak check ran and found nothing that counts.
    const bool allFreed = report.find("All heap blocks were freed") != std::string::npos;
    EXPECT_TRUE(allFreed || (report.find("definitely lost: 0 bytes") != std::string::npos &&
                             report.find("indirectly lost: 0 bytes") != std::string::npos))
        << report;
    if (std::getenv("RELEASE_MEMCHECK_VERBOSE") != nullptr) std::printf("%s\n", report.c_str());
  }

  const Pki &pki_ = SharedPki();
  SoftHsmToken token_;
  TempDir reports_{"memcheck"};
  fs::path reportPath_;
};

TEST_F(Memcheck, Renewal) {
  Seed(token_, [](P11Session &s) { SeedOldSet(s); });
  VelkorCopy velkor;
  writeFile(velkor.p12Path(), pki_.Renewal());
  RunResult r = velkor.Run({velkor.p12Path().string(), "1234", pki_.password, token_.modulePath(), "SUBDN",
                            "ISCHKOFF", "ADDOFF"},
                           token_.environment(), Wrapper("renewal"));
  ExpectClean(r, 0);
  EXPECT_FALSE(fs::exists(velkor.logPath())) << FileBytes(velkor.logPath()).value_or("");
  EXPECT_FALSE(fs::exists(velkor.p12Path()));
  size_t newCerts = 0;
  for (const auto &o : TokenContents(token_))
    if (o[4] == pki_.newCert.der()) ++newCerts;
  EXPECT_EQ(newCerts, 1u);
}

TEST_F(Memcheck, RenewalWithWrongPin) {
  Seed(token_, [](P11Session &s) { SeedOldSet(s); });
  VelkorCopy velkor;
  writeFile(velkor.p12Path(), pki_.Renewal());
  RunResult r = velkor.Run({velkor.p12Path().string(), "9999", pki_.password, token_.modulePath(), "SUBDN",
                            "ISCHKOFF", "ADDOFF"},
                           token_.environment(), Wrapper("wrong-pin"));
  ExpectClean(r, -6);
  EXPECT_EQ(FileBytes(velkor.logPath()),
            ResultFile("error:PKCS#11トークンのログインに失敗しました。ユーザPINが間違っています。 code = 0x000000A0", -6));
}

TEST_F(Memcheck, RenewalWithWrongPassword) {
  // Fails inside the PKCS#12 decoding, after the file was consumed.
  VelkorCopy velkor;
  writeFile(velkor.p12Path(), pki_.Renewal());
  RunResult r = velkor.Run({velkor.p12Path().string(), "1234", "not-the-password", token_.modulePath(), "SUBDN",
                            "ISCHKOFF", "ADDOFF"},
                           token_.environment(), Wrapper("wrong-password"));
  ExpectClean(r, -1);
  EXPECT_EQ(FileBytes(velkor.logPath()), ResultFile("error:PKCS#12ファイルのパスワードが間違っています。", -1));
}

TEST_F(Memcheck, Listing) {
  Seed(token_, [](P11Session &s) { SeedListing(s); });
  SarnetCopy sarnet;
  RunResult r = sarnet.Run({token_.modulePath()}, token_.environment(), Wrapper("listing"));
  ExpectClean(r, 0);
  EXPECT_FALSE(fs::exists(sarnet.errorPath()));
  std::vector<std::string> lines = Lines(FileBytes(sarnet.certPath()).value_or(""));
  ASSERT_EQ(lines.size(), 8u);
  std::vector<std::vector<std::string>> entries = {{lines.begin(), lines.begin() + 4},
                                                   {lines.begin() + 4, lines.end()}};
  std::sort(entries.begin(), entries.end());
  std::vector<std::vector<std::string>> expected = {OldCertEntry(), OtherCertEntry()};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entries, expected);
}

TEST_F(Memcheck, ListingWithoutToken) {
  token_.serve({});
  SarnetCopy sarnet;
  RunResult r = sarnet.Run({token_.modulePath()}, token_.environment(), Wrapper("no-token"));
  ExpectClean(r, -9);
  EXPECT_EQ(FileBytes(sarnet.errorPath()), ResultFile("error:USBトークンが挿入されていません。", -9));
}

TEST_F(Memcheck, ListingOfObjectsWithoutCertificates) {
  Seed(token_, [](P11Session &s) {
    Template data;
    data.addUlong(CKA_CLASS, CKO_DATA)
        .addBool(CKA_TOKEN, true)
        .addBool(CKA_PRIVATE, false)
        .add(CKA_LABEL, "note")
        .add(CKA_VALUE, toBytes("x"));
    s.create(data);
  });
  SarnetCopy sarnet;
  RunResult r = sarnet.Run({token_.modulePath()}, token_.environment(), Wrapper("no-certificates"));
  ExpectClean(r, -13);
  EXPECT_EQ(FileBytes(sarnet.errorPath()),
            ResultFile("error:USBトークンに証明書が格納されていませんでした。\n", -13));
  EXPECT_EQ(FileBytes(sarnet.certPath()), std::string());
}

// Through libfaultp11.so in front of SoftHSM: the rollback of a refused
// certificate and a failing deletion.
TEST_F(Memcheck, RenewalWithRefusedCertificate) {
  SoftHsm hsm({TokenConfig{}});
  SeedStore(hsm, [](P11Session &s) { SeedOldSet(s); });
  FaultSetup fault("C_CreateObject:cert=CKR_DEVICE_MEMORY", softhsmModulePath(), hsm.environment());
  VelkorCopy velkor;
  writeFile(velkor.p12Path(), pki_.Renewal());
  RunResult r = velkor.Run({velkor.p12Path().string(), "1234", pki_.password, fault.modulePath(), "SUBDN",
                            "ISCHKOFF", "ADDOFF"},
                           fault.environment(), Wrapper("refused-certificate"));
  ExpectClean(r, -12);
  EXPECT_EQ(FileBytes(velkor.logPath()), ResultFile("error:証明書の書き込みに失敗。\ncode=0x00000031", -12));
  EXPECT_EQ(fault.count("C_DestroyObject"), 2u);
}

TEST_F(Memcheck, RenewalWithFailingDeletion) {
  SoftHsm hsm({TokenConfig{}});
  SeedStore(hsm, [](P11Session &s) { SeedOldSet(s); });
  FaultSetup fault("C_DestroyObject:cert=0x30", softhsmModulePath(), hsm.environment());
  VelkorCopy velkor;
  writeFile(velkor.p12Path(), pki_.Renewal());
  RunResult r = velkor.Run({velkor.p12Path().string(), "1234", pki_.password, fault.modulePath(), "SUBDN",
                            "ISCHKOFF", "ADDOFF"},
                           fault.environment(), Wrapper("failing-deletion"));
  ExpectClean(r, -5);
  EXPECT_EQ(FileBytes(velkor.logPath()), ResultFile("error:Kivo内のデータ削除に失敗。\ncode=0x00000030", -5));
}

// Every failure point of a listing, under memcheck.
TEST_F(Memcheck, ListingWithEachCallFailing) {
  SoftHsm hsm({TokenConfig{}});
  SeedStore(hsm, [](P11Session &s) { SeedListing(s); });
  SarnetCopy sarnet;
  FaultSetup clean("", softhsmModulePath(), hsm.environment());
  ASSERT_EQ(sarnet.Run({clean.modulePath()}, clean.environment()).signedExitCode(), 0);
  const std::vector<FaultCall> cleanLog = clean.calls();
  const size_t points = static_cast<size_t>(std::count_if(
      cleanLog.begin(), cleanLog.end(), [](const FaultCall &c) { return c.function != "C_GetFunctionList"; }));
  ASSERT_GT(points, 10u);
  const std::set<int32_t> allowed = {0, -1, -8, -9, -10, -13};
  for (size_t n = 1; n <= points; ++n) {
    SCOPED_TRACE("FAIL_CALL=" + std::to_string(n));
    FaultSetup fault("FAIL_CALL=" + std::to_string(n), softhsmModulePath(), hsm.environment());
    RunResult r = sarnet.Run({fault.modulePath()}, fault.environment(), Wrapper("listing-" + std::to_string(n)));
    ++g_memcheckRuns;
    ASSERT_TRUE(r.exited) << "signal " << r.signal << "\n" << Report();
    EXPECT_EQ(allowed.count(r.signedExitCode()), 1u) << r.signedExitCode() << "\n" << Report();
    const std::string report = Report();
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
  }
}

}  // namespace
}  // namespace release_test
