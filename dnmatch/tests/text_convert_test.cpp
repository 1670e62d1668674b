// UTF-8 conversions of directory-string contents and the space and case
// normalisation, on their own.
#include "text_convert.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace mirrel {
namespace {

using Bytes = std::vector<unsigned char>;

std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }
ByteSpan span(const Bytes &b) { return ByteSpan(b.data(), b.size()); }

// ------------------------------------------------------- Status and Result

// Code 0 is success; a failure keeps its code and the text naming what
// failed, a success keeps no text; a bare number is no status.
static_assert(Status().ok() && Status::success().ok() && Status(Code::kOk, "value").ok());
static_assert(!Status(Code::kArgument).ok() && Status(Code::kArgument) == Code::kArgument);
static_assert(std::string_view(Status(Code::kArgument, "value").what()) == "value");
static_assert(std::string_view(Status(Code::kOk, "value").what()).empty());
static_assert(!std::is_convertible_v<uint32_t, Status>);
static_assert(sizeof(Status) <= 2 * sizeof(void *));

TEST(SharedResult, HandsOutItsValueOrItsFailure) {
  Result<std::string> made(std::string("text"));
  ASSERT_TRUE(made.ok());
  EXPECT_EQ(std::move(made).value(), "text");
  const Result<std::string> failed(Status(Code::kArgument, "value"));
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.code(), Code::kArgument);
  EXPECT_STREQ(failed.status().what(), "value");
}

// --------------------------------------------------------------- UTF-8 form

TEST(AppendUtf8, EveryLengthAtItsBoundaries) {
  const struct {
    uint32_t value;
    Bytes utf8;
  } cases[] = {
      {0x00, {0x00}},
      {0x7F, {0x7F}},
      {0x80, {0xC2, 0x80}},
      {0x7FF, {0xDF, 0xBF}},
      {0x800, {0xE0, 0xA0, 0x80}},
      {0xFFFF, {0xEF, 0xBF, 0xBF}},
      {0x10000, {0xF0, 0x90, 0x80, 0x80}},
      {0x1F600, {0xF0, 0x9F, 0x98, 0x80}},
      {0x1FFFFF, {0xF7, 0xBF, 0xBF, 0xBF}},
      {0x200000, {0xF8, 0x88, 0x80, 0x80, 0x80}},
      {0x3FFFFFF, {0xFB, 0xBF, 0xBF, 0xBF, 0xBF}},
      {0x4000000, {0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}},
      {0x7FFFFFFF, {0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}},
  };
  for (const auto &c : cases) {
    std::string out;
    appendUtf8(c.value, out);
    EXPECT_EQ(out, str(c.utf8)) << std::hex << c.value;
  }
}

// ------------------------------------------------------------------- UCS-2

TEST(Ucs2ToUtf8, Accepted) {
  const struct {
    Bytes ucs2;
    Bytes utf8;
  } cases[] = {
      {{0x00, 0x41}, {0x41}},
      {{0x00, 0xE9}, {0xC3, 0xA9}},
      {{0x65, 0xE5, 0x67, 0x2C}, {0xE6, 0x97, 0xA5, 0xE6, 0x9C, 0xAC}},  // 日本
      {{0xD8, 0x3D, 0xDE, 0x00}, {0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}},  // surrogates one by one
      {{0x00, 0x00}, {0x00}},
  };
  for (const auto &c : cases) {
    std::string out = "stale";
    ASSERT_TRUE(ucs2ToUtf8(span(c.ucs2), out).ok());
    EXPECT_EQ(out, str(c.utf8));
  }
}

TEST(Ucs2ToUtf8, Rejected) {
  const struct {
    Bytes ucs2;
    const char *reason;
  } cases[] = {
      {{}, "empty"},
      {{0x00}, "one byte"},
      {{0x00, 0x41, 0x00}, "odd length"},
  };
  for (const auto &c : cases) {
    std::string out;
    const Status s = ucs2ToUtf8(span(c.ucs2), out);
    EXPECT_FALSE(s.ok()) << c.reason;
    EXPECT_EQ(s.code(), Code::kArgument) << c.reason;
  }
}

// ------------------------------------------------------------------- UCS-4

TEST(Ucs4ToUtf8, Accepted) {
  const struct {
    Bytes ucs4;
    Bytes utf8;
  } cases[] = {
      {{0, 0, 0, 0x41}, {0x41}},
      {{0, 0x01, 0xF6, 0x00}, {0xF0, 0x9F, 0x98, 0x80}},
      {{0, 0, 0x65, 0xE5, 0, 0, 0, 0x20}, {0xE6, 0x97, 0xA5, 0x20}},
      {{0x7F, 0xFF, 0xFF, 0xFF}, {0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}},
  };
  for (const auto &c : cases) {
    std::string out;
    ASSERT_TRUE(ucs4ToUtf8(span(c.ucs4), out).ok());
    EXPECT_EQ(out, str(c.utf8));
  }
}

TEST(Ucs4ToUtf8, Rejected) {
  const struct {
    Bytes ucs4;
    const char *reason;
  } cases[] = {
      {{}, "empty"},
      {{0, 0, 0x41}, "three bytes"},
      {{0, 0, 0, 0x41, 0}, "five bytes"},
      {{0, 0, 0, 0x41, 0, 0}, "six bytes"},
  };
  for (const auto &c : cases) {
    std::string out;
    const Status s = ucs4ToUtf8(span(c.ucs4), out);
    EXPECT_FALSE(s.ok()) << c.reason;
    EXPECT_EQ(s.code(), Code::kArgument) << c.reason;
  }
}

// -------------------------------------------------------------- locale text

// Sets the system default locale the conversion will pick up.
class LocaleTextTest : public ::testing::Test {
 protected:
  void useSystemLocale(const char *name) { setenv("LC_ALL", name, 1); }
  void TearDown() override {
    unsetenv("LC_ALL");
    std::setlocale(LC_CTYPE, "C");
  }
};

TEST_F(LocaleTextTest, AsciiInTheCLocale) {
  useSystemLocale("C");
  LocaleText text;
  std::string out;
  ASSERT_TRUE(text.toUtf8(span(Bytes{'J', 'o', 'h', 'n', ' ', '1'}), out).ok());
  EXPECT_EQ(out, "John 1");
}

TEST_F(LocaleTextTest, Utf8LocaleKeepsWholeCodePoints) {
  useSystemLocale("C.UTF-8");
  LocaleText text;
  std::string out;
  const Bytes input{0x41, 0xC3, 0xA9, 0xE6, 0x97, 0xA5, 0xF0, 0x9F, 0x98, 0x80};
  ASSERT_TRUE(text.toUtf8(span(input), out).ok());
  EXPECT_EQ(out, str(input)) << "a character outside the BMP must survive whole";
}

// A NUL inside a value must not end it: "CN=Alice\0Mallory" and
// "CN=Alice" are different names.
TEST_F(LocaleTextTest, NulInsideTheValueIsKept) {
  for (const char *locale : {"C", "C.UTF-8"}) {
    useSystemLocale(locale);
    LocaleText text;
    std::string out;
    ASSERT_TRUE(text.toUtf8(span(Bytes{'A', 'B', 0x00, 'C', 'D'}), out).ok()) << locale;
    EXPECT_EQ(out, std::string("AB\0CD", 5)) << locale;
  }
}

TEST_F(LocaleTextTest, ValuesLongerThanAnyFixedBuffer) {
  useSystemLocale("C.UTF-8");
  Bytes input;
  for (int i = 0; i < 1500; ++i) {
    input.insert(input.end(), {0xE6, 0x97, 0xA5});  // 4500 bytes
  }
  LocaleText text;
  std::string out;
  ASSERT_TRUE(text.toUtf8(span(input), out).ok());
  EXPECT_EQ(out, str(input));
}

TEST_F(LocaleTextTest, Rejected) {
  const struct {
    const char *locale;
    Bytes input;
    const char *reason;
  } cases[] = {
      {"C", {}, "empty value"},
      {"C.UTF-8", {}, "empty value"},
      {"C", {'A', 0xE9}, "byte the C locale cannot convert"},
      {"C.UTF-8", {'A', 0xC3}, "multibyte sequence cut off at the end"},
      {"C.UTF-8", {0xFF, 'A'}, "byte that starts no UTF-8 sequence"},
      {"C.UTF-8", {0xE6, 0x41, 0xA5}, "broken sequence"},
  };
  for (const auto &c : cases) {
    useSystemLocale(c.locale);
    LocaleText text;
    std::string out;
    const Status s = text.toUtf8(span(c.input), out);
    EXPECT_FALSE(s.ok()) << c.reason << " (" << c.locale << ")";
    EXPECT_EQ(s.code(), Code::kArgument) << c.reason;
  }
}

TEST_F(LocaleTextTest, ShiftJisWhenTheSystemHasIt) {
  useSystemLocale("ja_JP.SJIS");
  if (std::setlocale(LC_CTYPE, "") == nullptr) {
    GTEST_SKIP() << "ja_JP.SJIS is not installed";
  }
  LocaleText text;
  std::string out;
  ASSERT_TRUE(text.toUtf8(span(Bytes{0x93, 0xFA, 0x96, 0x7B}), out).ok());
  EXPECT_EQ(out, "\xE6\x97\xA5\xE6\x9C\xAC");  // 日本
}

// ------------------------------------------------------------ spaces, case

TEST(NormaliseSpacesAndCase, Table) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"  john   smith ", "JOHN SMITH"},
      {"JOHN SMITH", "JOHN SMITH"},
      {"   ", ""},
      {"", ""},
      {"a", "A"},
      {" a ", "A"},
      {"azAZ09@`{", "AZAZ09@`{"},
      {"a\tb", "A\tB"},                                     // a tab is no space
      {"a \t b", "A \t B"},
      {"\xEF\xBD\x81 x", "\xEF\xBD\x81 X"},                 // full-width a stays
      {"a\xE3\x80\x80" "b", "A\xE3\x80\x80" "B"},           // ideographic space stays
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9T\xC3\xA9"},           // only ASCII is raised
      {std::string("a\0  b", 5), std::string("A\0 B", 4)},
  };
  for (const auto &c : cases) {
    std::string out = "stale";
    normaliseSpacesAndCase(c.in, out);
    EXPECT_EQ(out, c.out) << '"' << c.in << '"';
  }
}

}  // namespace
}  // namespace mirrel
