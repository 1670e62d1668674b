// The program's entry: arguments, its two files beside it, the result line
// and the console cases.
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <sstream>

#include <gtest/gtest.h>

#include "sarnet_support.h"
#include "testtoken/locales.h"

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
    if (installed == nullptr) TESTTOKEN_LOCALE_MISSING(locale);
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

// The first glibc-hwcaps subfolder the loader searches on this machine, as
// the loader itself lists them; empty when it does not say.
std::string SearchedHwcapsFolder() {
  for (const char *loader : {"/lib64/ld-linux-x86-64.so.2", "/lib/ld-linux-aarch64.so.1"}) {
    if (!fs::exists(loader)) continue;
    RunResult help = runProcess(loader, {"--help"});
    size_t section = help.out.find("Subdirectories of glibc-hwcaps directories");
    if (section == std::string::npos) return {};
    std::istringstream lines(help.out.substr(section));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line) && !line.empty()) {
      if (line.find("(supported, searched)") == std::string::npos) continue;
      size_t begin = line.find_first_not_of(' ');
      return line.substr(begin, line.find(' ', begin) - begin);
    }
  }
  return {};
}

// Root can give a child its own view of the file system: there the
// loader's cache is a private one that names a folder of the test.
bool PrivateMountsPossible() {
  if (geteuid() != 0) return false;
  RunResult probe = runProcess("/usr/bin/unshare", {"-m", "--", "/bin/sh", "-c", "mount -t tmpfs none /var/cache/ldconfig"});
  return probe.exited && probe.exitCode == 0;
}

// A bare module name is looked for where the loader looks, as the loader
// sees it when the program starts: LD_LIBRARY_PATH of the program's
// environment (set but empty, it names no folder, not the working one),
// the glibc-hwcaps subfolders of a searched folder, the loader's cache.
// The first folder with an entry of that name decides, and an entry that
// is no regular file is never handed to the loader.  A module bound finds
// the served token empty (-13).
TEST(SarnetEntry, BareModuleNameIsLookedForWhereTheLoaderLooks) {
  SoftHsmToken token;
  ProgramCopy app;
  const fs::path client = token.modulePath();
  TempDir first("search-first"), second("search-second"), work("working-folder"), cached("cached");
  ASSERT_EQ(mkfifo((first / "libprobe-fifo.so").c_str(), 0600), 0);
  fs::create_directory(first / "libprobe-dir.so");
  for (const char *name : {"libprobe-fifo.so", "libprobe-dir.so", "libprobe-module.so"})
    fs::create_symlink(client, second / name);
  fs::copy_file(client, work / "libprobe-module.so");
  const std::string hwcaps = SearchedHwcapsFolder();
  if (!hwcaps.empty()) {
    fs::create_directories(first / "glibc-hwcaps" / hwcaps);
    fs::copy_file(client, first / "glibc-hwcaps" / hwcaps / "libprobe-hwcaps.so");
    // The loader would open this one and wait there for a writer.
    ASSERT_EQ(mkfifo((first / "glibc-hwcaps" / hwcaps / "libprobe-hwfifo.so").c_str(), 0600), 0);
  }
  // A cache made by ldconfig (links left alone) for a folder that holds
  // the client module under its own soname; the child mounts it over the
  // system's cache (and a scratch folder over ldconfig's own) in a mount
  // namespace of its own, so nothing outside it changes.
  fs::copy_file(client, cached / "libprobe-cached.so");
  fs::create_symlink("libprobe-cached.so", cached.path() / client.filename());
  writeFile(cached / "ld.so.conf", toBytes("include /etc/ld.so.conf\n" + cached.path().string() + "\n"));
  const std::vector<std::string> privateCache = {
      "/usr/bin/unshare", "-m", "--", "/bin/sh", "-c",
      "mount -t tmpfs none /var/cache/ldconfig && /sbin/ldconfig -X -C \"$1\" -f \"$0\" && "
      "mount --bind \"$1\" /etc/ld.so.cache && shift && exec \"$@\"",
      (cached / "ld.so.conf").string(), (cached / "ld.so.cache").string()};

  const std::string both = first.path().string() + ":" + second.path().string();
  const std::string notFound = "error:PKCS#11モジュールがロードに失敗しました。 code = 0x0000007E";
  const std::string notLoadable = "error:PKCS#11モジュールがロードに失敗しました。 code = 0x000000C1";
  const std::string bound = "error:USB内のオブジェクトが空";
  struct Row {
    const char *what;
    std::string module;
    std::string libraryPath;
    bool inWorkingFolder;
    bool cache;
    int32_t result;
    const std::string &message;
  };
  const Row rows[] = {
      {"FIFO in the first folder", "libprobe-fifo.so", both, false, false, -1, notLoadable},
      {"folder in the first folder", "libprobe-dir.so", both, false, false, -1, notLoadable},
      {"module in the second folder", "libprobe-module.so", both, false, false, -13, bound},
      {"search path set but empty, module in the working folder", "libprobe-module.so", "", true, false, -8,
       notFound},
      {"module only in a glibc-hwcaps subfolder", "libprobe-hwcaps.so", first.path().string(), false, false, -13,
       bound},
      {"FIFO in a glibc-hwcaps subfolder", "libprobe-hwfifo.so", first.path().string(), false, false, -1,
       notLoadable},
      {"that name where no folder holds it", "libprobe-hwcaps.so", second.path().string(), false, false, -8,
       notFound},
      {"module only in the loader's cache", client.filename().string(), second.path().string(), false, true, -13,
       bound},
      {"that name without the private cache", client.filename().string(), second.path().string(), false, false, -8,
       notFound},
  };
  const bool privateMounts = PrivateMountsPossible();
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    if (((row.module == "libprobe-hwcaps.so" && row.result == -13) || row.module == "libprobe-hwfifo.so") &&
        hwcaps.empty()) {
      std::cout << "[ SKIPPED  ] " << row.what << ": the loader names no glibc-hwcaps folder it searches\n";
      continue;
    }
    if (row.cache && !privateMounts) {
      std::cout << "[ SKIPPED  ] " << row.what << ": needs root and mount namespaces for a private cache\n";
      continue;
    }
    EnvMap env = token.environment();
    env["LD_LIBRARY_PATH"] = row.libraryPath;
    fs::remove(app.errorFile());
    RunResult r = app.Run({row.module}, env, row.cache ? privateCache : std::vector<std::string>{},
                          row.inWorkingFolder ? work.path() : fs::path());
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.signedExitCode(), row.result) << r.err;
    EXPECT_EQ(readTextFile(app.errorFile()), ErrorFileText(row.message, row.result));
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

// SoftHSM loaded directly shows both initialised tokens and its spare
// one: a URI lists exactly the token it names (found also among the
// modules the system registers with p11-kit when it names no module); one
// that matches none or several is refused; one that cannot be used is
// refused before any module is loaded.
TEST(SarnetEntry, UriListsExactlyTheTokenItNames) {
  const std::string so = softhsmModulePath();
  SoftHsm hsm({TokenConfig{"Alpha"}, TokenConfig{"Beta"}});
  {
    ScopedEnv env(hsm.environment());
    P11Client direct(so);
    for (const char *label : {"Alpha", "Beta"}) {
      P11Session session = direct.openSession(direct.slotByLabel(label));
      session.login("1234");
      session.createCertificate(EndEntity(simpleName({{"CN", label}})).der(), toBytes("01"), label);
    }
  }
  struct Case {
    std::string module;
    int result;
    std::string message;
    std::string listed;  // the common name of the one entry
  } cases[] = {
      {so, -10, "error:複数のUSBトークンが挿入されています。", ""},
      {"pkcs11:token=Beta?module-path=" + so, 0, "", "Beta"},
      {"pkcs11:token=Alpha?module-path=" + so, 0, "", "Alpha"},
      {"pkcs11:token=Alpha", 0, "", "Alpha"},
      {"pkcs11:token=Gamma?module-path=" + so, -9, "error:USBトークンが挿入されていません。", ""},
      {"pkcs11:model=SoftHSM%20v2?module-path=" + so, -10, "error:複数のUSBトークンが挿入されています。", ""},
      {"pkcs11:token=%ZZ?module-path=" + so, -1, "error:PKCS#11 URIのパーセントエンコーディングが不正です。", ""},
      {"pkcs11:token=Beta;type=cert?module-path=" + so, -1,
       "error:PKCS#11 URIにオブジェクトの属性(object, type, id)は指定できません。", ""},
  };
  ProgramCopy app;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.module);
    EnvMap env = hsm.environment();
    env["LD_DEBUG"] = "files";
    RunResult r = app.Run({c.module}, env);
    EXPECT_EQ(r.signedExitCode(), c.result);
    if (c.result == 0) {
      const auto entries = Entries(readTextFile(app.certFile()));
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_EQ(entries[0][1], c.listed);
    } else {
      EXPECT_EQ(readTextFile(app.errorFile()), ErrorFileText(c.message, c.result));
      EXPECT_FALSE(fs::exists(app.certFile()));
    }
    // Nothing is loaded for a URI that is refused.
    if (c.result == -1) {
      EXPECT_EQ(r.err.find("libsofthsm2.so"), std::string::npos);
    }
  }
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
  // A caller that closed its end of the console: the same result, not a
  // death by SIGPIPE.
  RunOptions gone;
  gone.env = token.environment();
  gone.env.emplace("LC_ALL", "C.UTF-8");
  gone.outputReaderGone = true;
  RunResult closed = runProcess(app.program().string(), {token.modulePath()}, gone);
  ASSERT_TRUE(closed.exited) << "signal " << closed.signal;
  EXPECT_EQ(closed.signedExitCode(), -2);
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
