// Velkor's entry with PKCS#12 files it cannot read, overwrite or delete, and
// with a log that cannot be written. The tests run as root, so permission
// bits stop nothing: a path through a regular file, a directory, a running
// executable and the immutable attribute make the failures real.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>

#include <gtest/gtest.h>

#include "release_support.h"

namespace release_test {
namespace {

using namespace testtoken;

// Sets the immutable attribute on a file or folder for its lifetime.
class Immutable {
 public:
  explicit Immutable(const fs::path &path) : path_(path) { ok_ = Change(true); }
  ~Immutable() {
    if (ok_) Change(false);
  }
  Immutable(const Immutable &) = delete;
  Immutable &operator=(const Immutable &) = delete;
  bool ok() const { return ok_; }

 private:
  bool Change(bool on) {
    int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
  }
  fs::path path_;
  bool ok_ = false;
};

class VelkorFiles : public ::testing::Test {
 protected:
  // The token is not touched before the file is consumed: a module that
  // does not exist would turn up as -8.
  std::vector<std::string> Args(const fs::path &p12, const std::string &module = "/nonexistent/pkcs11-module.so",
                                const std::string &pin = "1234") const {
    return {p12.string(), pin, pki_.password, module, "SUBDN", "ISCHKOFF", "ADDOFF"};
  }
  void ExpectLog(const std::string &message, int code) const {
    EXPECT_EQ(FileBytes(velkor_.logPath()), ResultFile(message, code));
  }
  // A run that would block or read forever is ended by the guard and shows
  // as not exited.
  RunResult RunWithGuard(const std::vector<std::string> &args) const {
    RunOptions options;
    options.env = {{"LC_ALL", "C.UTF-8"}};
    options.timeout = std::chrono::seconds(10);
    return runProcess(velkor_.program().string(), args, options);
  }
  static std::string OpenMessage(const fs::path &p12) {
    return "error:PKCS#12ファイル\n" + p12.string() + "\nを開けませんでした。";
  }

  const Pki &pki_ = SharedPki();
  VelkorCopy velkor_;
};

TEST_F(VelkorFiles, PathThroughARegularFileCannotBeOpened) {
  fs::path plain = velkor_.folder() / "plain";
  writeFile(plain, toBytes("a file, not a folder"));
  fs::path p12 = plain / "renewal.p12";
  RunResult r = velkor_.Run(Args(p12), {});
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), -1);
  ExpectLog(OpenMessage(p12), -1);
  EXPECT_EQ(readTextFile(plain), "a file, not a folder");
}

TEST_F(VelkorFiles, DanglingLinkCannotBeOpened) {
  fs::path p12 = velkor_.folder() / "gone.p12";
  fs::create_symlink(velkor_.folder() / "vanished.p12", p12);
  RunResult r = velkor_.Run(Args(p12), {});
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), -1);
  ExpectLog(OpenMessage(p12), -1);
  EXPECT_TRUE(fs::is_symlink(p12));
  EXPECT_FALSE(fs::exists(velkor_.folder() / "vanished.p12"));
}

// Only a regular file is read: a folder, a FIFO (which would block the
// open forever) or a device (which would stream forever) is refused as a
// file that cannot be opened, left as it is, and the token is never
// reached (a module that does not exist would turn up as -8).
TEST_F(VelkorFiles, OnlyARegularFileIsRead) {
  struct Case {
    const char *what;
    std::function<void(const fs::path &)> make;
    fs::file_type kind;
  };
  const std::vector<Case> cases = {
      {"folder", [](const fs::path &p) { fs::create_directory(p); }, fs::file_type::directory},
      {"FIFO", [](const fs::path &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, fs::file_type::fifo},
      {"link to /dev/zero", [](const fs::path &p) { fs::create_symlink("/dev/zero", p); },
       fs::file_type::character},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE(c.what);
    fs::path p12 = velkor_.folder() / ("input" + std::to_string(i) + ".p12");
    c.make(p12);
    RunResult r = RunWithGuard(Args(p12));
    ASSERT_TRUE(r.exited) << "signal " << r.signal << (r.timedOut ? ", timed out" : "");
    EXPECT_EQ(r.signedExitCode(), -1);
    ExpectLog(OpenMessage(p12), -1);
    EXPECT_EQ(fs::status(p12).type(), c.kind);
  }
}

// The file is overwritten only when it is still the one that was read: a
// file renamed into its place between the read and the overwrite is left
// as it is, and the message says that the file changed.
TEST_F(VelkorFiles, FileSwappedInAfterTheReadIsNotOverwritten) {
  fs::path p12 = velkor_.folder() / "renewal.p12";
  fs::path other = velkor_.folder() / "other.bin";
  writeFile(p12, pki_.Renewal());
  const Bytes otherBytes = toBytes("someone else's file, put in place after the read");
  writeFile(other, otherBytes);
  RunOptions options;
  options.env = {{"LC_ALL", "C.UTF-8"},
                 {"LD_PRELOAD", RELEASE_SWAPOPEN},
                 {"SWAPOPEN_TARGET", p12.string()},
                 {"SWAPOPEN_SOURCE", other.string()},
                 // The preloaded library comes before a sanitizer's runtime.
                 {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=1"}};
  RunResult r = runProcess(velkor_.program().string(), Args(p12), options);
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), -1);
  ExpectLog("error:PKCS#12ファイル\n" + p12.string() + "\nが読み込み中に変更されました。", -1);
  EXPECT_FALSE(fs::exists(other)) << "the swap did not happen";
  EXPECT_EQ(readFile(p12), otherBytes);
}

// A file larger than half of the memory the program may have: it is read
// once, overwritten in place and deleted without a second copy, and what
// cannot be had later is a message, never an abort.
TEST_F(VelkorFiles, LargeFileUnderAMemoryLimitIsConsumedWithoutAnAbort) {
  if (SanitizedBuild()) GTEST_SKIP() << "sanitizer runtimes cannot run under a virtual memory limit";
  const fs::path p12 = velkor_.p12Path();
  constexpr uintmax_t kSize = 1200ull * 1024 * 1024;
  {
    std::ofstream create(p12, std::ios::binary);
  }
  fs::resize_file(p12, kSize);  // sparse: reads as zero bytes
  auto runLimited = [&](const std::string &kibibytes) {
    std::vector<std::string> args = {"-c", "ulimit -v " + kibibytes + " && exec \"$0\" \"$@\"",
                                     velkor_.program().string()};
    for (const std::string &a : Args(p12)) args.push_back(a);
    RunOptions options;
    options.env = {{"LC_ALL", "C.UTF-8"}};
    return runProcess("/bin/sh", args, options);
  };
  // Under 1 GiB the file cannot even be read: it stays as it was.
  RunResult r = runLimited("1048576");
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), -1);
  ExpectLog("error:PKCS#12ファイルの読込バッファが確保できませんでした。", -1);
  EXPECT_EQ(fs::file_size(p12), kSize);
  // Under 2 GiB it is read once, consumed, and the run ends with a message.
  r = runLimited("2097152");
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), -1);
  std::optional<std::string> log = FileBytes(velkor_.logPath());
  ASSERT_TRUE(log.has_value());
  EXPECT_EQ(log->rfind("error:", 0), 0u) << *log;
  EXPECT_NE(log->find(Cp932("\nツールの戻り値 = -1")), std::string::npos) << *log;
  EXPECT_FALSE(fs::exists(p12));
}

TEST_F(VelkorFiles, RunningProgramCannotBeOverwritten) {
  // The program's own file is readable but busy (ETXTBSY) for writing.
  Bytes before = readFile(velkor_.program());
  RunResult r = velkor_.Run(Args(velkor_.program()), {});
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), -1);
  ExpectLog(OpenMessage(velkor_.program()), -1);
  EXPECT_EQ(readFile(velkor_.program()), before);
}

TEST_F(VelkorFiles, ImmutableFileIsReadButNotOverwritten) {
  Bytes p12 = pki_.Renewal();
  writeFile(velkor_.p12Path(), p12);
  RunResult r;
  {
    Immutable guard(velkor_.p12Path());
    if (!guard.ok()) GTEST_SKIP() << "the immutable attribute cannot be set here";
    r = velkor_.Run(Args(velkor_.p12Path()), {});
  }
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), -1);
  ExpectLog(OpenMessage(velkor_.p12Path()), -1);
  EXPECT_EQ(readFile(velkor_.p12Path()), p12);
}

// A file whose folder would not let it be deleted is left exactly as it
// was: destroying it with nothing imported would lose the new key.  The
// rows run as the unprivileged user "nobody" where permissions must stop
// the program (as root they stop nothing); the sticky folder whose file
// that user owns is the row that shows the rule is not stricter than the
// system's: that file is consumed and the run goes on to the module.
TEST_F(VelkorFiles, FileThatCannotBeDeletedIsLeftAsItWas) {
  const std::optional<std::pair<uid_t, gid_t>> other = testtoken::unprivilegedIds();
  struct Case {
    const char *what;
    bool asOtherUser;
    mode_t folderMode;
    bool fileOwnedByOtherUser;
    bool immutableFolder;
    bool consumed;
  };
  const Case cases[] = {
      {"immutable folder", false, 0755, false, true, false},
      {"folder without write permission", true, 0555, true, false, false},
      {"sticky folder, file of another user", true, 01777, false, false, false},
      {"sticky folder, own file", true, 01777, true, false, true},
  };
  size_t ran = 0;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE(c.what);
    if (c.asOtherUser && !other) {
      std::cout << "[ SKIPPED  ] " << c.what << ": needs root to run as another user\n";
      continue;
    }
    fs::path folder = velkor_.folder() / ("held" + std::to_string(i));
    fs::create_directory(folder);
    fs::path p12Path = folder / "renewal.p12";
    Bytes p12 = pki_.Renewal();
    writeFile(p12Path, p12);
    // The file itself is writable by everybody: only its folder decides.
    ASSERT_EQ(chmod(p12Path.c_str(), 0666), 0);
    if (c.asOtherUser) {
      velkor_.OpenTo(*other);
      if (c.fileOwnedByOtherUser) {
        ASSERT_EQ(lchown(p12Path.c_str(), other->first, other->second), 0);
      }
    }
    ASSERT_EQ(chmod(folder.c_str(), c.folderMode), 0);
    fs::remove(velkor_.logPath());
    RunResult r;
    {
      std::optional<Immutable> guard;
      if (c.immutableFolder) {
        guard.emplace(folder);
        if (!guard->ok()) {
          std::cout << "[ SKIPPED  ] " << c.what << ": the immutable attribute cannot be set here\n";
          continue;
        }
      }
      r = c.asOtherUser ? velkor_.RunAs(*other, Args(p12Path), {}) : velkor_.Run(Args(p12Path), {});
    }
    ++ran;
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    if (c.consumed) {
      // The module does not exist: the file was consumed and the run went on.
      EXPECT_EQ(r.signedExitCode(), -8);
      EXPECT_FALSE(fs::exists(p12Path));
      continue;
    }
    EXPECT_EQ(r.signedExitCode(), -1);
    ExpectLog("error:PKCS#12ファイルの削除に失敗しました。", -1);
    ASSERT_TRUE(fs::exists(p12Path));
    EXPECT_EQ(readFile(p12Path), p12);
  }
  if (ran == 0) GTEST_SKIP() << "no row could run here";
}

class VelkorLogFolder : public VelkorFiles {
 protected:
  void SetUp() override {
    // A folder where the log should be: the log cannot be opened.
    fs::create_directory(velkor_.logPath());
  }
  void ExpectLogFolderUntouched() const {
    EXPECT_TRUE(fs::is_directory(velkor_.logPath()));
    EXPECT_TRUE(fs::is_empty(velkor_.logPath()));
  }
};

// A FIFO that nobody reads in the log's place: its open must not hold the
// run; no log is written and the code stays.
TEST_F(VelkorFiles, FifoInTheLogsPlaceDoesNotHoldTheRun) {
  ASSERT_EQ(mkfifo(velkor_.logPath().c_str(), 0600), 0);
  RunResult r = RunWithGuard(Args(velkor_.p12Path()));
  ASSERT_TRUE(r.exited) << "signal " << r.signal << (r.timedOut ? ", timed out" : "");
  EXPECT_EQ(r.signedExitCode(), -1);
  EXPECT_EQ(fs::status(velkor_.logPath()).type(), fs::file_type::fifo);
}

TEST_F(VelkorLogFolder, EntryFailureKeepsItsCode) {
  RunResult r = velkor_.Run(Args(velkor_.p12Path()), {});
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), -1);
  EXPECT_EQ(r.out, "");
  ExpectLogFolderUntouched();
}

// A wrong PIN ends with -6 (exit status 250) whatever becomes of the line
// that says the log could not be written: read by the caller, or written
// into a pipe whose reader is gone (which must not kill the program).
TEST_F(VelkorLogFolder, TokenFailureKeepsItsCode) {
  SoftHsmToken token;
  Seed(token, [](P11Session &s) { SeedOldSet(s); });
  for (bool stderrClosed : {false, true}) {
    SCOPED_TRACE(stderrClosed ? "standard error closed by the caller" : "standard error read");
    writeFile(velkor_.p12Path(), pki_.Renewal());
    const std::vector<std::string> args = Args(velkor_.p12Path(), token.modulePath(), "0000");
    RunResult r = velkor_.Run(args, token.environment(), {}, stderrClosed);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, stderrClosed ? "" : "error:ログファイルへの書き込みに失敗しました。\n");
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.exitCode, 250);
    EXPECT_EQ(r.signedExitCode(), -6);
    EXPECT_FALSE(fs::exists(velkor_.p12Path()));
    ExpectLogFolderUntouched();
  }
}

TEST_F(VelkorLogFolder, RenewalSucceedsWithoutALog) {
  SoftHsmToken token;
  Seed(token, [](P11Session &s) { SeedOldSet(s); });
  writeFile(velkor_.p12Path(), pki_.Renewal());
  RunResult r = velkor_.Run(Args(velkor_.p12Path(), token.modulePath()), token.environment());
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.signedExitCode(), 0);
  EXPECT_EQ(r.out, "");
  ExpectLogFolderUntouched();
  size_t newCerts = 0;
  for (const auto &o : TokenContents(token))
    if (o[4] == pki_.newCert.der()) ++newCerts;
  EXPECT_EQ(newCerts, 1u);
}

}  // namespace
}  // namespace release_test
