// The program's entry: arguments, its two files beside it, the result line
// and the console cases.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "sarnet_support.h"

namespace sarnet_test {
namespace {

using namespace testtoken;

constexpr char kArgMessage[] = "error:コマンドライン引数が2以外である。";

TEST(SarnetEntry, WrongArgumentCountFailsBeforeAnyModuleIsLoaded) {
  ProgramCopy app;
  const std::string client = p11KitClientModulePath();
  for (const std::vector<std::string> &args : {std::vector<std::string>{}, std::vector<std::string>{client, "x"}}) {
    SCOPED_TRACE(args.size());
    writeFile(app.certFile(), toBytes("old entry\n"));
    // The loader reports every file it maps: the module must not be one.
    RunResult r = app.Run(args, {{"LD_DEBUG", "files"}});
    EXPECT_EQ(r.signedExitCode(), -1);
    EXPECT_EQ(readTextFile(app.errorFile()), ErrorFileText(kArgMessage, -1));
    EXPECT_FALSE(fs::exists(app.certFile()));
    EXPECT_EQ(r.err.find("p11-kit-client.so"), std::string::npos);
    EXPECT_EQ(r.out, "");
  }
}

// Also under the users' Japanese locale, where the loader's own messages
// are Japanese, and for a bare name that no folder holds.
TEST(SarnetEntry, MissingModuleGivesMinus8AndNoCertificateFile) {
  ProgramCopy app;
  for (const char *locale : {"C.UTF-8", "ja_JP.UTF-8"}) {
    locale_t installed = newlocale(LC_ALL_MASK, locale, nullptr);
    if (installed == nullptr) GTEST_SKIP() << locale << " is not installed (scripts/install-deps generates it)";
    freelocale(installed);
    for (const char *module : {"/nonexistent/libnothing-pkcs11.so", "tkvault11.dll"}) {
      SCOPED_TRACE(std::string(locale) + " " + module);
      writeFile(app.certFile(), toBytes("old entry\n"));
      RunResult r = app.Run({module}, {{"LANG", locale}, {"LC_ALL", locale}});
      EXPECT_EQ(r.signedExitCode(), -8);
      EXPECT_EQ(readTextFile(app.errorFile()),
                ErrorFileText("error:PKCS#11モジュールがロードに失敗しました。 code = 0x0000007E", -8));
      EXPECT_FALSE(fs::exists(app.certFile()));
      EXPECT_EQ(r.out, "");
    }
  }
}

TEST(SarnetEntry, FileThatIsNoModuleGivesMinus1) {
  ProgramCopy app;
  fs::path notModule = app.binDir() / "notamodule.so";
  writeFile(notModule, toBytes("not an ELF file"));
  RunResult r = app.Run({notModule.string()});
  EXPECT_EQ(r.signedExitCode(), -1);
  EXPECT_EQ(readTextFile(app.errorFile()),
            ErrorFileText("error:PKCS#11モジュールがロードに失敗しました。 code = 0x000000C1", -1));
}

TEST(SarnetEntry, NoTokenAndTwoTokens) {
  SoftHsmToken token({TokenConfig{"One"}, TokenConfig{"Two"}}, std::vector<std::string>{});
  ProgramCopy app;
  RunResult none = app.Run({token.modulePath()}, token.environment());
  EXPECT_EQ(none.signedExitCode(), -9);
  EXPECT_EQ(readTextFile(app.errorFile()), ErrorFileText("error:USBトークンが挿入されていません。", -9));
  EXPECT_FALSE(fs::exists(app.certFile()));

  token.serve({"One", "Two"});
  RunResult two = app.Run({token.modulePath()}, token.environment());
  EXPECT_EQ(two.signedExitCode(), -10);
  EXPECT_EQ(readTextFile(app.errorFile()), ErrorFileText("error:複数のUSBトークンが挿入されています。", -10));
  EXPECT_FALSE(fs::exists(app.certFile()));
}

TEST(SarnetEntry, EmptyTokenGivesMinus13) {
  SoftHsmToken token;
  ProgramCopy app;
  RunResult r = app.Run({token.modulePath()}, token.environment());
  EXPECT_EQ(r.signedExitCode(), -13);
  EXPECT_EQ(readTextFile(app.errorFile()), ErrorFileText("error:USB内のオブジェクトが空", -13));
  EXPECT_FALSE(fs::exists(app.certFile()));
}

TEST(SarnetEntry, SuccessfulRunLeavesTheOldErrorFileUnchanged) {
  SoftHsmToken token;
  Seed(token, [](P11Session &s) {
    s.createCertificate(EndEntity(simpleName({{"CN", "Taro"}})).der(), toBytes("01"), "ee");
  });
  ProgramCopy app;
  ASSERT_EQ(app.Run({}).signedExitCode(), -1);
  const Bytes before = readFile(app.errorFile());
  RunResult r = app.Run({token.modulePath()}, token.environment());
  EXPECT_EQ(r.signedExitCode(), 0);
  EXPECT_EQ(readFile(app.errorFile()), before);
  EXPECT_EQ(Lines(readTextFile(app.certFile())).size(), 4u);
}

// Root may write into any folder, so the folder is made unusable by
// taking both file names with folders of the same names.
TEST(SarnetEntry, UnwritableProgramFolderReportsOnTheConsole) {
  SoftHsmToken token;
  Seed(token, [](P11Session &s) {
    s.createCertificate(EndEntity(simpleName({{"CN", "Taro"}})).der(), toBytes("01"), "ee");
  });
  ProgramCopy app;
  fs::create_directory(app.errorFile());
  fs::create_directory(app.certFile());
  RunResult r = app.Run({token.modulePath()}, token.environment());
  EXPECT_EQ(r.signedExitCode(), -2);
  EXPECT_EQ(r.out,
            "error: エラー情報ファイルへの書き込みに失敗しました。\n"
            "error:証明書情報ファイルのオープンに失敗しました。\nerrNo=0x00000015"
            "\nツールの戻り値 = -1");
  EXPECT_TRUE(fs::is_directory(app.errorFile()));
  EXPECT_TRUE(fs::is_empty(app.errorFile()));
}

// A certificate file left behind that cannot be deleted (here a folder of
// that name, since root deletes read-only files): the deletion fails
// unnoticed and the open after the token was listed fails.
TEST(SarnetEntry, CertificateFileThatCannotBeReplacedGivesMinus1) {
  SoftHsmToken token;
  Seed(token, [](P11Session &s) {
    s.createCertificate(EndEntity(simpleName({{"CN", "Taro"}})).der(), toBytes("01"), "ee");
  });
  ProgramCopy app;
  fs::create_directory(app.certFile());
  writeFile(app.certFile() / "kept", toBytes("x"));
  RunResult r = app.Run({token.modulePath()}, token.environment());
  EXPECT_EQ(r.signedExitCode(), -1);
  EXPECT_EQ(readTextFile(app.errorFile()),
            ErrorFileText("error:証明書情報ファイルのオープンに失敗しました。\nerrNo=0x00000015", -1));
  EXPECT_TRUE(fs::exists(app.certFile() / "kept"));
  EXPECT_EQ(r.out, "");
}

// A folder, or a FIFO that nobody reads (whose open must not hold the
// run), in the error file's place.
TEST(SarnetEntry, ArgumentFailureInUnwritableFolderShowsItsOwnCode) {
  for (bool fifo : {false, true}) {
    SCOPED_TRACE(fifo ? "FIFO" : "folder");
    ProgramCopy app;
    if (fifo) {
      ASSERT_EQ(mkfifo(app.errorFile().c_str(), 0600), 0);
    } else {
      fs::create_directory(app.errorFile());
    }
    RunResult r = app.Run({});
    ASSERT_TRUE(r.exited) << (r.timedOut ? "timed out" : "signal");
    EXPECT_EQ(r.signedExitCode(), -2);
    EXPECT_EQ(r.out, std::string("error: エラー情報ファイルへの書き込みに失敗しました。\n") + kArgMessage +
                         "\nツールの戻り値 = -1");
  }
}

TEST(SarnetEntry, ConsoleLinesFollowTheLocaleCharacterSet) {
  ProgramCopy app;
  fs::create_directory(app.errorFile());
  // The C locale has no Japanese characters: each becomes "?".
  RunResult r = app.Run({}, {{"LC_ALL", "C"}});
  EXPECT_EQ(r.signedExitCode(), -2);
  EXPECT_EQ(r.out.rfind("error: ", 0), 0u);
  EXPECT_NE(r.out.find("\n??????? = -1"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\xE3"), std::string::npos);
}

// "<base>/ddd.../bin" of exactly `length` characters.
fs::path ProgramFolderOfLength(const fs::path &base, size_t length) {
  const size_t tail = std::string("/bin").size();
  fs::path folder = base;
  for (;;) {
    size_t rest = length - tail - folder.string().size();
    if (rest <= 201) {
      folder /= std::string(rest - 1, 'd');
      break;
    }
    folder /= std::string(150, 'd');
  }
  return folder / "bin";
}

// Every file, link and folder under `base`, relative to it.
std::vector<std::string> Tree(const fs::path &base) {
  std::vector<std::string> entries;
  for (const auto &e : fs::recursive_directory_iterator(base)) {
    if (!e.is_directory() || e.is_symlink()) entries.push_back(e.path().lexically_relative(base).string());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// Program folders around and beyond 512 bytes: both files are used under
// their whole paths (a cut path would name another file) and nothing else
// is created anywhere.
TEST(SarnetEntry, DeepProgramFolderUsesTheWholePaths) {
  SoftHsmToken token;
  Seed(token, [](P11Session &s) {
    s.createCertificate(EndEntity(simpleName({{"CN", "Taro"}})).der(), toBytes("01"), "ee");
  });
  for (size_t length : {500u, 505u, 513u, 600u}) {
    SCOPED_TRACE(length);
    TempDir base("sarnet-long");
    const fs::path bin = ProgramFolderOfLength(base.path(), length);
    ASSERT_EQ(bin.string().size(), length);
    ProgramCopy app(bin);
    const std::string folder = bin.lexically_relative(base.path()).string();
    const std::string lib = (bin.parent_path() / "lib").lexically_relative(base.path()).string();

    RunResult listed = app.Run({token.modulePath()}, token.environment());
    EXPECT_EQ(listed.signedExitCode(), 0) << listed.out;
    EXPECT_EQ(Lines(readTextFile(app.certFile())).size(), 4u);
    EXPECT_EQ(Tree(base.path()), (std::vector<std::string>{folder + "/Sarnet", folder + "/certRead.txt", lib}));

    RunResult failed = app.Run({});
    EXPECT_EQ(failed.signedExitCode(), -1);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(readTextFile(app.errorFile()), ErrorFileText(kArgMessage, -1));
    EXPECT_EQ(Tree(base.path()), (std::vector<std::string>{folder + "/Morva.txt", folder + "/Sarnet", lib}));
  }
}

}  // namespace
}  // namespace sarnet_test
