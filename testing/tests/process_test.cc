// The child-process runner and the environment helpers.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "testtoken/testtoken.h"

using namespace testtoken;

TEST(ProcessTest, OutputExitCodeAndEnvironment) {
  RunOptions options;
  options.env = {{"TESTTOKEN_SAMPLE", "value 1"}};
  RunResult r = runProcess("/bin/sh", {"-c", "echo \"$TESTTOKEN_SAMPLE\"; echo oops >&2; exit 247"}, options);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exitCode, 247);
  EXPECT_EQ(r.signedExitCode(), -9);
  EXPECT_EQ(r.out, "value 1\n");
  EXPECT_EQ(r.err, "oops\n");
}

TEST(ProcessTest, StdinWorkingDirAndArgv0) {
  TempDir dir("proctest");
  RunOptions options;
  options.stdinData = "line\n";
  options.workingDir = dir.path().string();
  options.argv0 = "renamed";
  RunResult r = runProcess("/bin/sh", {"-c", "read x; echo \"$x $(pwd) $0\""}, options);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "line " + dir.path().string() + " renamed\n");
}

TEST(ProcessTest, TimeoutKills) {
  RunOptions options;
  options.timeout = std::chrono::milliseconds(200);
  RunResult r = runProcess("/bin/sh", {"-c", "sleep 30"}, options);
  EXPECT_TRUE(r.timedOut);
  EXPECT_FALSE(r.exited);
}

TEST(ProcessTest, ScopedEnvRestores) {
  ::unsetenv("TESTTOKEN_SCOPED");
  {
    ScopedEnv env(EnvMap{{"TESTTOKEN_SCOPED", "1"}});
    EXPECT_STREQ(std::getenv("TESTTOKEN_SCOPED"), "1");
    auto envp = buildEnvironment({{"TESTTOKEN_SCOPED", "2"}});
    EXPECT_EQ(std::count(envp.begin(), envp.end(), std::string("TESTTOKEN_SCOPED=2")), 1);
    EXPECT_EQ(std::count(envp.begin(), envp.end(), std::string("TESTTOKEN_SCOPED=1")), 0);
  }
  EXPECT_EQ(std::getenv("TESTTOKEN_SCOPED"), nullptr);
}

TEST(ProcessTest, TempDirIsPrivateAndRemoved) {
  std::filesystem::path kept;
  {
    TempDir dir;
    kept = dir.path();
    writeFile(dir / "f", {1, 2});
    EXPECT_EQ(readFile(dir / "f"), (Bytes{1, 2}));
    auto perms = std::filesystem::status(kept).permissions();
    EXPECT_EQ(perms & std::filesystem::perms::group_all, std::filesystem::perms::none);
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
}

TEST(ProcessTest, MissingProgramThrows) {
  EXPECT_THROW(runProcess("/nonexistent/program", {}), Error);
}

namespace {
// Running and not a zombie.
bool alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}
}  // namespace

TEST(ProcessTest, ServerDiesWithAnAbruptlyEndingTest) {
  TempDir leftovers("abrupt");  // what the child leaves is removed here
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    ::setenv("TMPDIR", leftovers.path().c_str(), 1);
    SoftHsm hsm({TokenConfig{}});
    P11KitServer server(hsm, {"TestToken"});
    pid_t pid = server.pid();
    if (::write(fds[1], &pid, sizeof pid) != sizeof pid) ::_exit(2);
    ::_exit(0);  // no destructors: the server must still go away
  }
  ::close(fds[1]);
  pid_t server = -1;
  ASSERT_EQ(::read(fds[0], &server, sizeof server), static_cast<ssize_t>(sizeof server));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (alive(server) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(alive(server));
}
