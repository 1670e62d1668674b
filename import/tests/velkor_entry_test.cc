// The command line and the consumption of the PKCS#12 file.
#include <algorithm>
#include <map>

#include "testtoken/locales.h"
#include "velkor_fixture.h"

namespace velkor_test {
namespace {

namespace fs = std::filesystem;

class VelkorEntry : public ::testing::Test {
 protected:
  const Pki &pki_ = SharedPki();
  VelkorApp app_;
  // No token is needed before the arguments are accepted: a module that
  // does not exist shows that none was loaded.
  const std::string module_ = "/nonexistent/module.so";

  void ExpectLog(const std::string &message, int code) {
    ASSERT_TRUE(app_.Log().has_value());
    EXPECT_EQ(*app_.Log(), Cp932(LogText(message, code)));
  }
  std::vector<std::string> Args(const std::string &a5, const std::string &a6, const std::string &a7) {
    return {app_.p12Path().string(), "1234", pki_.password, module_, a5, a6, a7};
  }
};

TEST_F(VelkorEntry, SevenOrNineArgumentsAreRefusedAndTheFileKept) {
  Bytes p12 = pki_.Renewal();
  testtoken::writeFile(app_.p12Path(), p12);
  std::vector<std::string> args = Args("SUBDN", "ISCHKOFF", "ADDOFF");
  std::vector<std::string> seven(args.begin(), args.end() - 1);
  EXPECT_EQ(app_.Run(seven, {}).signedExitCode(), -1);
  ExpectLog("error:コマンドライン引数が8以外である。", -1);
  args.push_back("extra");
  fs::remove(app_.logPath());
  EXPECT_EQ(app_.Run(args, {}).signedExitCode(), -1);
  ExpectLog("error:コマンドライン引数が8以外である。", -1);
  EXPECT_EQ(testtoken::readFile(app_.p12Path()), p12);
}

// A machine without the cp932 converter (its gconv configuration names a
// module that is not there): no log in another encoding under the cp932
// name, one stderr line instead, and the run's own exit code.
TEST_F(VelkorEntry, NoCp932ConverterLeavesNoLogAndSaysSoOnStderr) {
  const fs::path gconv = app_.binFolder().parent_path() / "gconv-without-modules";
  fs::create_directories(gconv);
  testtoken::writeFile(gconv / "gconv-modules",
                       testtoken::toBytes("module\tCP932//\tINTERNAL\tCP932\t1\nmodule\tINTERNAL\tCP932//\tCP932\t1\n"));
  testtoken::RunResult r = app_.Run({"only-one-argument"}, {{"GCONV_PATH", gconv.string()}, {"LC_ALL", "C.UTF-8"}});
  EXPECT_EQ(r.signedExitCode(), -1);
  EXPECT_FALSE(fs::exists(app_.logPath()));
  EXPECT_EQ(r.err, "error:ログファイルへの書き込みに失敗しました。\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(VelkorEntry, KeywordsAreExactAndTheFirstBadOneIsReported) {
  Bytes p12 = pki_.Renewal();
  testtoken::writeFile(app_.p12Path(), p12);
  EXPECT_EQ(app_.Run(Args("subdn", "ISCHKOFF", "ADDOFF"), {}).signedExitCode(), -1);
  ExpectLog("error:コマンドライン引数5番目のオプション文字列がサポート外である。", -1);
  EXPECT_EQ(app_.Run(Args("SUBDN", "ischkoff", "addoff"), {}).signedExitCode(), -1);
  ExpectLog("error:コマンドライン引数6番目のオプション文字列がサポート外である。", -1);
  EXPECT_EQ(app_.Run(Args("SUBCN", "ISCHKON", "ADD"), {}).signedExitCode(), -1);
  ExpectLog("error:コマンドライン引数7番目のオプション文字列がサポート外である。", -1);
  EXPECT_EQ(testtoken::readFile(app_.p12Path()), p12);
}

TEST_F(VelkorEntry, EmptyFileIsNotReadAndNotDeleted) {
  testtoken::writeFile(app_.p12Path(), {});
  EXPECT_EQ(app_.Run(Args("SUBDN", "ISCHKOFF", "ADDOFF"), {}).signedExitCode(), -1);
  ExpectLog("error:PKCS#12ファイルの読み込みに失敗しました。", -1);
  EXPECT_TRUE(fs::exists(app_.p12Path()));
}

TEST_F(VelkorEntry, MissingFileIsReportedWithItsPath) {
  EXPECT_EQ(app_.Run(Args("SUBDN", "ISCHKOFF", "ADDOFF"), {}).signedExitCode(), -1);
  ExpectLog("error:PKCS#12ファイル\n" + app_.p12Path().string() + "\nを開けませんでした。", -1);
}

TEST_F(VelkorEntry, WrongPasswordReportedAfterTheFileWasConsumed) {
  testtoken::writeFile(app_.p12Path(), pki_.Pkcs12(&pki_.newKey, {&pki_.newCert, &pki_.ca.cert}, "right"));
  EXPECT_EQ(app_.Run(Args("SUBDN", "ISCHKOFF", "ADDOFF"), {}).signedExitCode(), -1);
  ExpectLog("error:PKCS#12ファイルのパスワードが間違っています。", -1);
  EXPECT_FALSE(fs::exists(app_.p12Path()));
}

// Also under the users' Japanese locale, where the loader's own messages
// are Japanese, and for the built-in bare name.
TEST_F(VelkorEntry, ModuleThatCannotBeFoundGivesMinusEight) {
  for (const char *locale : {"C.UTF-8", "ja_JP.UTF-8"}) {
    locale_t installed = newlocale(LC_ALL_MASK, locale, nullptr);
    if (installed == nullptr) TESTTOKEN_LOCALE_MISSING(locale);
    freelocale(installed);
    for (const std::string &module : {module_, std::string("tkvault11.dll")}) {
      SCOPED_TRACE(std::string(locale) + " " + module);
      testtoken::writeFile(app_.p12Path(), pki_.Renewal());
      testtoken::RunResult r = app_.Run({app_.p12Path().string(), "1234", pki_.password, module, "SUBDN",
                                         "ISCHKOFF", "ADDOFF"},
                                        {{"LANG", locale}, {"LC_ALL", locale}});
      EXPECT_EQ(r.signedExitCode(), -8);
      ExpectLog("error:PKCS#11モジュールがロードに失敗しました。 code = 0x0000007E", -8);
    }
  }
}

// The module argument as a PKCS#11 URI, with SoftHSM loaded directly (its
// spare uninitialised token always beside the two initialised ones): the
// URI renews the token it names and leaves the other as it was; one that
// matches none or both is refused as no token or several.  The last row
// names no module and finds the token among the modules the system
// registers with p11-kit (SoftHSM as the softhsm2 package registers it,
// OpenSC without a reader, p11-kit-trust).
TEST_F(VelkorEntry, UriChoosesTheTokenToRenew) {
  const std::string japanese = "Taro's カード";
  const std::string so = testtoken::softhsmModulePath();
  struct Case {
    std::string module;
    int result;
    std::string message;
    std::string renewed;
  } cases[] = {
      {so, -10, "error:複数のUSBトークンが挿入されています。", ""},
      {"pkcs11:token=Alpha?module-path=" + so, 0, "", "Alpha"},
      {"pkcs11:token=Taro%27s%20%E3%82%AB%E3%83%BC%E3%83%89?module-path=" + so, 0, "", japanese},
      {"pkcs11:token=Nothing?module-path=" + so, -9, "error:USBトークンが挿入されていません。", ""},
      {"pkcs11:manufacturer=SoftHSM%20project?module-path=" + so, -10,
       "error:複数のUSBトークンが挿入されています。", ""},
      {"pkcs11:token=Alpha", 0, "", "Alpha"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.module);
    testtoken::SoftHsm hsm({testtoken::TokenConfig{"Alpha"}, testtoken::TokenConfig{japanese}});
    std::map<std::string, std::vector<std::vector<Bytes>>> before;
    {
      testtoken::ScopedEnv env(hsm.environment());
      testtoken::P11Client direct(so);
      for (const std::string &label : {std::string("Alpha"), japanese}) {
        testtoken::P11Session session = direct.openSession(direct.slotByLabel(label));
        session.login("1234");
        SeedOldSet(session, pki_);
        before[label] = Snapshot(session);
      }
    }
    fs::remove(app_.logPath());
    testtoken::RunResult r = app_.Import(pki_.Renewal(), "1234", pki_.password, c.module, "SUBDN", "ISCHKOFF",
                                         "ADDOFF", hsm.environment());
    EXPECT_EQ(r.signedExitCode(), c.result);
    if (c.result == 0) {
      EXPECT_FALSE(app_.Log().has_value());
    } else {
      ExpectLog(c.message, c.result);
    }
    testtoken::ScopedEnv env(hsm.environment());
    testtoken::P11Client direct(so);
    for (const auto &[label, snapshot] : before) {
      SCOPED_TRACE(label);
      testtoken::P11Session session = direct.openSession(direct.slotByLabel(label));
      session.login("1234");
      if (label == c.renewed) {
        SetCheck sets = CheckSets(session, pki_);
        EXPECT_EQ(sets.completeSets, 1);
        EXPECT_FALSE(sets.oldCertPresent);
      } else {
        EXPECT_EQ(Snapshot(session), snapshot);
      }
    }
  }
}

// A URI that cannot choose a token is refused before the PKCS#12 file is
// read: the file stays, no module is loaded (the loader reports every file
// it maps), and a PIN in the URI never reaches the log.
TEST_F(VelkorEntry, UnusableUriIsRefusedBeforeTheFileIsConsumed) {
  testtoken::SoftHsmToken token;
  const std::string at = "module-path=" + token.modulePath();
  const struct {
    std::string module;
    std::string message;
  } cases[] = {
      {"pkcs11:token=%ZZ?" + at, "error:PKCS#11 URIのパーセントエンコーディングが不正です。"},
      {"pkcs11:%ZZ?" + at, "error:PKCS#11 URIの形式が不正です。"},
      {"pkcs11:token=TestToken;object=key?" + at, "error:PKCS#11 URIにオブジェクトの属性(object, type, id)は指定できません。"},
      {"pkcs11:token=TestToken?pin-value=2468&" + at, "error:PKCS#11 URIにPIN(pin-value, pin-source)は指定できません。"},
  };
  std::vector<std::vector<Bytes>> before;
  {
    TokenView view(token);
    SeedOldSet(view.session, pki_);
    before = Snapshot(view.session);
  }
  const Bytes p12 = pki_.Renewal();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.module);
    testtoken::writeFile(app_.p12Path(), p12);
    testtoken::EnvMap env = token.environment();
    env["LD_DEBUG"] = "files";
    testtoken::RunResult r = app_.Run(
        {app_.p12Path().string(), "1234", pki_.password, c.module, "SUBDN", "ISCHKOFF", "ADDOFF"}, env);
    EXPECT_EQ(r.signedExitCode(), -1);
    ExpectLog(c.message, -1);
    EXPECT_EQ(app_.Log()->find("2468"), std::string::npos);
    EXPECT_EQ(testtoken::readFile(app_.p12Path()), p12);
    EXPECT_EQ(r.err.find("p11-kit-client.so"), std::string::npos);
  }
  TokenView view(token);
  EXPECT_EQ(Snapshot(view.session), before);
}

TEST_F(VelkorEntry, SuccessfulRunAfterAFailedOneLeavesTheOldLog) {
  testtoken::SoftHsmToken token;
  {
    TokenView view(token);
    SeedOldSet(view.session, pki_);
  }
  testtoken::RunResult r = app_.Import(pki_.Renewal(), "0000", pki_.password, token.modulePath(), "SUBDN",
                                       "ISCHKOFF", "ADDOFF", token.environment());
  EXPECT_EQ(r.signedExitCode(), -6);
  const std::string wrongPin =
      "error:PKCS#11トークンのログインに失敗しました。ユーザPINが間違っています。 code = 0x000000A0";
  ExpectLog(wrongPin, -6);
  const std::string failedLog = Cp932(LogText(wrongPin, -6));
  r = app_.Import(pki_.Renewal(), "1234", pki_.password, token.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF",
                  token.environment());
  EXPECT_EQ(r.signedExitCode(), 0);
  ASSERT_TRUE(app_.Log().has_value());
  EXPECT_EQ(*app_.Log(), failedLog);
}

}  // namespace
}  // namespace velkor_test

namespace velkor_test {
namespace {

TEST_F(VelkorEntry, VeryLongPathStillEndsTheLogWithTheResultLine) {
  std::string path = "/nonexistent";
  while (path.size() < 1500) path += "/ディレクトリ";
  testtoken::RunResult r = app_.Run({path + "/in.p12", "1234", "x", module_, "SUBDN", "ISCHKOFF", "ADDOFF"}, {});
  EXPECT_EQ(r.signedExitCode(), -1);
  ASSERT_TRUE(app_.Log().has_value());
  std::string head = Cp932("error:PKCS#12ファイル\n/nonexistent/");
  std::string tail = Cp932("\nを開けませんでした。\nツールの戻り値 = -1");
  const std::string log = app_.Log().value();
  ASSERT_GT(log.size(), head.size() + tail.size());
  EXPECT_EQ(log.substr(0, head.size()), head);
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  EXPECT_EQ(log.find('?'), std::string::npos);  // no character was cut in half
}

// Program folders around and beyond 512 bytes: the log is written under
// its whole path (a cut path would name another file, even one in the
// parent folder) and nothing else is created anywhere.
TEST_F(VelkorEntry, LogOfAProgramInADeepFolderIsWrittenWhole) {
  for (size_t length : {505u, 509u, 513u, 600u}) {
    SCOPED_TRACE(length);
    testtoken::TempDir base("velkor-deep");
    // "<base>/ddd.../bin" of exactly `length` characters.
    fs::path bin = base.path();
    for (size_t rest; (rest = length - 4 - bin.string().size()) > 0;) {
      bin /= std::string(rest <= 201 ? rest - 1 : 150, 'd');
    }
    bin /= "bin";
    ASSERT_EQ(bin.string().size(), length);
    fs::create_directories(bin);
    fs::copy_file(app_.binFolder() / "Velkor", bin / "Velkor");
    fs::create_directory_symlink(fs::read_symlink(app_.folder() / "lib"), bin.parent_path() / "lib");

    testtoken::RunResult r = testtoken::runProcess((bin / "Velkor").string(), {"too", "few"});
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.signedExitCode(), -1);
    ASSERT_TRUE(fs::exists(bin / "Tamrin.txt"));
    EXPECT_EQ(testtoken::readTextFile(bin / "Tamrin.txt"), Cp932(LogText("error:コマンドライン引数が8以外である。", -1)));
    std::vector<fs::path> created;
    for (const auto &e : fs::recursive_directory_iterator(base.path())) {
      if (!e.is_directory() || e.is_symlink()) created.push_back(e.path());
    }
    std::sort(created.begin(), created.end());
    EXPECT_EQ(created, (std::vector<fs::path>{bin / "Tamrin.txt", bin / "Velkor", bin.parent_path() / "lib"}));
  }
}

}  // namespace
}  // namespace velkor_test
