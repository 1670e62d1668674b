// The child-process runner and the environment helpers.
#include <gtest/gtest.h>

#include <cstdlib>

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
