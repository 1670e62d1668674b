#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/clock_random.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/secure.h"
#include "platform/text.h"

namespace {

TEST(FormatBounded, CutsLongTextWithoutHalfCharacters) {
  char buf[8];
  // "あ" is three bytes in UTF-8: 7 usable bytes hold two of them, not 2⅓.
  EXPECT_EQ(platform::FormatBounded(buf, sizeof buf, "%s", "あいう"), 6u);
  EXPECT_STREQ(buf, "あい");
  EXPECT_EQ(platform::FormatBounded(buf, sizeof buf, "x=%d", 12), 4u);
  EXPECT_STREQ(buf, "x=12");
  EXPECT_EQ(platform::AppendBounded(buf, sizeof buf, "%s", "abcdef"), 7u);
  EXPECT_STREQ(buf, "x=12abc");
}

TEST(Cp932, ConvertsMessagesAndReplacesWhatItCannotHold) {
  // "エラー" in cp932.
  EXPECT_EQ(platform::Utf8ToCp932("エラー"), "\x83\x47\x83\x89\x81\x5B");
  EXPECT_EQ(platform::Utf8ToCp932("a\nb"), "a\nb");
  // An emoji has no cp932 form; a stray continuation byte is broken input.
  EXPECT_EQ(platform::Utf8ToCp932("a😀b"), "a?b");
  EXPECT_EQ(platform::Utf8ToCp932("a\x80z"), "a?z");
}

// A machine whose gconv configuration names the cp932 converter but lacks
// its module (as glibc without its gconv modules): GCONV_PATH points at a
// folder holding only that configuration.  glibc reads it once per process,
// so the checks run in a fresh child process.
TEST(Cp932, MissingConverterIsReportedAndNoFileIsWritten) {
  const std::string folder = ::testing::TempDir() + "/gconv-without-modules";
  const std::string target = ::testing::TempDir() + "/cp932-target.txt";
  std::remove(target.c_str());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::filesystem::create_directories(folder);
        std::FILE *config = std::fopen((folder + "/gconv-modules").c_str(), "w");
        if (config == nullptr) std::_Exit(10);
        std::fputs("module\tCP932//\tINTERNAL\tCP932\t1\nmodule\tINTERNAL\tCP932//\tCP932\t1\n", config);
        std::fclose(config);
        setenv("GCONV_PATH", folder.c_str(), 1);
        // The premise: iconv itself fails here.
        iconv_t cd = iconv_open("CP932", "UTF-8");
        if (cd != reinterpret_cast<iconv_t>(-1)) std::_Exit(11);
        if (platform::Utf8ToCp932("エラー").has_value()) std::_Exit(12);
        if (platform::Utf8ToCp932("ascii").has_value()) std::_Exit(13);
        if (platform::WriteCp932File(target, "error:x")) std::_Exit(14);
        if (std::filesystem::exists(target)) std::_Exit(15);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_FALSE(std::filesystem::exists(target));
  // With the machine's own converters the same file is written.
  ASSERT_TRUE(platform::WriteCp932File(target, "エラー"));
  std::FILE *f = std::fopen(target.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char buf[16] = {};
  const size_t n = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  EXPECT_EQ(std::string(buf, n), "\x83\x47\x83\x89\x81\x5B");
  std::remove(target.c_str());
}

// The numbers the linear congruential generator x = x * 214013 + 2531011
// draws after seeding: after seed 1 the well-known 41, 18467, 6334, 26500, 19169.
TEST(ClockRandom, DrawsTheRuntimeSequence) {
  struct Case {
    const char *name;
    std::time_t seed;
    unsigned draw;
    int expected;
  } cases[] = {
      {"first draw after seed 1", 1, 1, 41},
      {"second draw after seed 1", 1, 2, 18467},
      {"third draw after seed 1", 1, 3, 6334},
      {"fourth draw after seed 1", 1, 4, 26500},
      {"fifth draw after seed 1", 1, 5, 19169},
      {"draw 0 counts as the first", 1, 0, 41},
      {"first draw after seed 0", 0, 1, 38},
      {"only the low 32 bits of the seed count", (std::time_t{1} << 32) + 1, 1, 41},
  };
  for (const Case &c : cases) EXPECT_EQ(platform::ClockRandom(c.seed, c.draw), c.expected) << c.name;
}

TEST(Module, ReportsLoaderErrorNumbers) {
  platform::Module m;
  uint32_t err = 0;
  EXPECT_FALSE(m.Open("/nonexistent/dir/libnothing.so", &err));
  EXPECT_EQ(err, platform::kErrorModNotFound);
  EXPECT_FALSE(m.Open("libnothing-at-all.so", &err));
  EXPECT_EQ(err, platform::kErrorModNotFound);

  std::string junk = ::testing::TempDir() + "/not_a_module.so";
  std::FILE *f = std::fopen(junk.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("this is text, not ELF", f);
  std::fclose(f);
  EXPECT_FALSE(m.Open(junk, &err));
  EXPECT_EQ(err, platform::kErrorBadExeFormat);
  std::remove(junk.c_str());

  ASSERT_TRUE(m.Open("libc.so.6", &err));
  EXPECT_NE(m.Symbol("malloc", &err), nullptr);
  EXPECT_EQ(m.Symbol("C_GetFunctionList", &err), nullptr);
  EXPECT_EQ(err, platform::kErrorProcNotFound);
}

TEST(SecureBuffer, ZeroSizeIsEmptyNotAFailure) {
  platform::SecureBuffer b;
  ASSERT_TRUE(b.Allocate(0));
  EXPECT_EQ(b.size(), 0u);
  ASSERT_TRUE(b.Allocate(16));
  EXPECT_EQ(b.size(), 16u);
}

}  // namespace
