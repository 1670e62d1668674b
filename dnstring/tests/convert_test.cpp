// The seven converters: UTF-8 targets (plain and DN-escaped) and local
// multibyte targets in a UTF-8 locale, the C locale and Shift-JIS.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "support.h"

namespace parvox_test {
namespace {

struct ConvCase {
  const char *what;
  Converter fn;
  Bytes in;
  Bytes expected;
};

struct ConvReject {
  const char *why;
  Converter fn;
  Bytes in;
  uint32_t code;
};

// ---- UTF-8 targets ----------------------------------------------------------

const ConvCase kUtf8Cases[] = {
    {"ASCII", PARVOX_ucs2toutf8, ucs2({'T', 'a', 'r', 'o'}), bytes("Taro")},
    {"two-byte form", PARVOX_ucs2toutf8, ucs2({0xE9}), {0xC3, 0xA9}},
    {"hiragana a", PARVOX_ucs2toutf8, ucs2({0x3042}), {0xE3, 0x81, 0x82}},
    {"U+FFFF still three bytes", PARVOX_ucs2toutf8, ucs2({0xFFFF}), {0xEF, 0xBF, 0xBF}},
    {"surrogates encoded one by one", PARVOX_ucs2toutf8, ucs2({0xD83D, 0xDE00}),
     {0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}},
    {"no escaping in plain UTF-8", PARVOX_ucs2toutf8, ucs2({'#', 'a', ',', ' '}), bytes("#a, ")},
    {"UCS-4 ASCII", PARVOX_ucs4toutf8, ucs4({'O', 'k'}), bytes("Ok")},
    {"U+10000", PARVOX_ucs4toutf8, ucs4({0x10000}), {0xF0, 0x90, 0x80, 0x80}},
    {"five-byte form", PARVOX_ucs4toutf8, ucs4({0x200000}), {0xF8, 0x88, 0x80, 0x80, 0x80}},
    {"six-byte form of 0x7FFFFFFF", PARVOX_ucs4toutf8, ucs4({0x7FFFFFFF}), {0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}},
    {"A,B escaped", PARVOX_ucs2toutf8DnString, ucs2({'A', ',', 'B'}), bytes("A\\,B")},
    {"all seven specials", PARVOX_ucs2toutf8DnString, ucs2({'x', ',', '+', '"', '\\', '<', '>', ';', 'y'}),
     bytes("x\\,\\+\\\"\\\\\\<\\>\\;y")},
    {"leading and trailing space", PARVOX_ucs2toutf8DnString, ucs2({' ', 'x', ' '}), bytes("\\ x\\ ")},
    {"leading number sign", PARVOX_ucs2toutf8DnString, ucs2({'#', '1'}), bytes("\\#1")},
    {"inner number sign and space stay", PARVOX_ucs2toutf8DnString, ucs2({'a', '#', ' ', 'b'}), bytes("a# b")},
    {"single space: one backslash", PARVOX_ucs2toutf8DnString, ucs2({' '}), bytes("\\ ")},
    {"non-ASCII is not escaped", PARVOX_ucs2toutf8DnString, ucs2({0x3042, ','}), {0xE3, 0x81, 0x82, '\\', ','}},
    {"UCS-4 escaped", PARVOX_ucs4toutf8DnString, ucs4({' ', 0x1F600, ';'}),
     {'\\', ' ', 0xF0, 0x9F, 0x98, 0x80, '\\', ';'}},
    {"control bytes unchanged", PARVOX_ucs4toutf8DnString, ucs4({0x01, 0x0A}), {0x01, 0x0A}},
};

const ConvReject kUtf8Rejects[] = {
    {"UCS-2 empty", PARVOX_ucs2toutf8, {}, PARVOX_ERR_UCS2TOUTF8_LENGTH},
    {"UCS-2 odd length", PARVOX_ucs2toutf8, {0x00, 0x41, 0x00}, PARVOX_ERR_UCS2TOUTF8_LENGTH},
    {"UCS-4 empty", PARVOX_ucs4toutf8, {}, PARVOX_ERR_UCS4TOUTF8_LENGTH},
    {"UCS-4 length 6", PARVOX_ucs4toutf8, {0, 0, 0, 0x41, 0, 0}, PARVOX_ERR_UCS4TOUTF8_LENGTH},
    {"UCS-4 top bit set", PARVOX_ucs4toutf8, ucs4({0x80000000}), PARVOX_ERR_UCS4TOUTF8_RANGE},
    {"UCS-4 top bit set after a good value", PARVOX_ucs4toutf8, ucs4({'a', 0xFFFFFFFF}),
     PARVOX_ERR_UCS4TOUTF8_RANGE},
    {"escaped UCS-2 odd", PARVOX_ucs2toutf8DnString, {0x00}, PARVOX_ERR_UCS2TOUTF8DN_LENGTH},
    {"escaped UCS-4 length 3", PARVOX_ucs4toutf8DnString, {0, 0, 0x41}, PARVOX_ERR_UCS4TOUTF8DN_LENGTH},
    {"escaped UCS-4 top bit", PARVOX_ucs4toutf8DnString, ucs4({0x80000001}), PARVOX_ERR_UCS4TOUTF8DN_RANGE},
};

TEST(Utf8Converters, Table) {
  for (const ConvCase &c : kUtf8Cases) {
    Call r = convert(c.fn, c.in);
    ASSERT_EQ(r.status, 0) << c.what << " " << hexCode(r.err);
    EXPECT_EQ(r.out, c.expected) << c.what;
    EXPECT_EQ(r.size, static_cast<int32_t>(c.expected.size())) << c.what << ": size query is exact";
  }
}

TEST(Utf8Converters, Rejected) {
  for (const ConvReject &c : kUtf8Rejects) {
    int32_t room = 77;
    uint32_t err = 0;
    // Size query and write fail alike; the count is left alone.
    EXPECT_EQ(c.fn(c.in.data(), nullptr, static_cast<int32_t>(c.in.size()), &room, &err), -1) << c.why;
    EXPECT_EQ(err, c.code) << c.why << " got " << hexCode(err);
    EXPECT_EQ(room, 77) << c.why;
    Bytes buf(64);
    unsigned char *dst = buf.data();
    room = 64;
    err = 0;
    EXPECT_EQ(c.fn(c.in.data(), &dst, static_cast<int32_t>(c.in.size()), &room, &err), -1) << c.why;
    EXPECT_EQ(err, c.code) << c.why;
    EXPECT_EQ(room, 64) << c.why;
  }
}

TEST(Utf8Converters, StopAtCapacityWithoutSplittingACharacter) {
  const Bytes in = ucs2({'a', 0x3042, 'b'});
  Bytes buf(8, 0xEE);
  unsigned char *dst = buf.data();
  int32_t room = 3;  // 'a' fits, the three bytes of U+3042 do not
  uint32_t err = 0;
  ASSERT_EQ(PARVOX_ucs2toutf8(in.data(), &dst, static_cast<int32_t>(in.size()), &room, &err), 0);
  EXPECT_EQ(room, 1);
  EXPECT_EQ(buf[0], 'a');
  EXPECT_EQ(buf[1], 0xEE) << "nothing behind the cut, and no NUL from the UTF-8 converters";
}

TEST(Utf8Converters, EscapeAndCharacterAreNotSeparated) {
  const Bytes in = ucs2({'a', ','});
  Bytes buf(4, 0xEE);
  unsigned char *dst = buf.data();
  int32_t room = 2;
  uint32_t err = 0;
  ASSERT_EQ(PARVOX_ucs2toutf8DnString(in.data(), &dst, static_cast<int32_t>(in.size()), &room, &err), 0);
  EXPECT_EQ(room, 1);
  EXPECT_EQ(buf[1], 0xEE);
}

TEST(Converters, ArgumentChecks) {
  const Bytes in = ucs2({'a'});
  int32_t room = 0;
  uint32_t err = 0;
  EXPECT_EQ(PARVOX_ucs2toutf8(in.data(), nullptr, 2, nullptr, &err), -1);
  EXPECT_EQ(err, PARVOX_ERR_ARGUMENT);
  EXPECT_EQ(PARVOX_ucs2toutf8(nullptr, nullptr, 2, &room, &err), -1);
  EXPECT_EQ(err, PARVOX_ERR_ARGUMENT);
  err = 0;
  EXPECT_EQ(PARVOX_ucs2toutf8(in.data(), nullptr, -2, &room, &err), -1);
  EXPECT_EQ(err, PARVOX_ERR_UCS2TOUTF8_LENGTH) << "a negative length breaks the length rule";
  EXPECT_EQ(PARVOX_ucs2toutf8(in.data(), nullptr, 2, &room, nullptr), -1) << "no error code pointer";
  unsigned char *nothing = nullptr;
  room = 4;
  EXPECT_EQ(PARVOX_ucs2toutf8(in.data(), &nothing, 2, &room, &err), -1);
  EXPECT_EQ(err, PARVOX_ERR_ARGUMENT);
}

// ---- local multibyte targets -----------------------------------------------

class LocalConverters : public ::testing::Test {
 protected:
  // False when the machine lacks the locale.
  bool useLocale(const std::string &name) {
    if (name.empty()) return false;
    env_ = std::make_unique<LocaleEnv>(name.c_str());
    return env_->available();
  }
  void TearDown() override { env_.reset(); }
  std::unique_ptr<LocaleEnv> env_;
};

TEST_F(LocalConverters, Utf8LocaleTable) {
  if (!useLocale(utf8Locale())) TESTTOKEN_LOCALE_MISSING("the locale");
  const ConvCase cases[] = {
      {"UCS-2 ASCII", PARVOX_ucs2tombs, ucs2({'T', 'a', 'r', 'o'}), bytes("Taro")},
      {"UCS-2 Japanese", PARVOX_ucs2tombs, ucs2({0x65E5, 0x672C}), bytes("\xE6\x97\xA5\xE6\x9C\xAC")},
      {"UCS-4 above the BMP kept whole", PARVOX_ucs4tombs, ucs4({0x1F600}), {0xF0, 0x9F, 0x98, 0x80}},
      {"UCS-4 would be A if narrowed", PARVOX_ucs4tombs, ucs4({0x10041}), {0xF0, 0x90, 0x81, 0x81}},
      {"UTF-8 through the wide form", PARVOX_utf8tombs, bytes("\xE3\x81\x82x"), bytes("\xE3\x81\x82x")},
      {"UTF-8 U+FFFE accepted", PARVOX_utf8tombs, {0xEF, 0xBF, 0xBE}, {0xEF, 0xBF, 0xBE}},
      {"UTF-8 overlong slash taken as slash", PARVOX_utf8tombs, {0xC0, 0xAF}, bytes("/")},
      {"UTF-8 U+10000 kept whole", PARVOX_utf8tombs, {0xF0, 0x90, 0x80, 0x80}, {0xF0, 0x90, 0x80, 0x80}},
      {"UTF-8 U+10FFFF kept whole", PARVOX_utf8tombs, {0xF4, 0x8F, 0xBF, 0xBF}, {0xF4, 0x8F, 0xBF, 0xBF}},
      {"UTF-8 plane-2 kanji between others", PARVOX_utf8tombs, bytes("\xF0\xA0\xAE\xB7\xE7\x94\xB0"),
       bytes("\xF0\xA0\xAE\xB7\xE7\x94\xB0")},
  };
  for (const ConvCase &c : cases) {
    Call r = convert(c.fn, c.in);
    ASSERT_EQ(r.status, 0) << c.what << " " << hexCode(r.err);
    EXPECT_EQ(r.out, c.expected) << c.what;
    EXPECT_GE(r.size, static_cast<int32_t>(c.expected.size()) + 1) << c.what << ": bound with the NUL";
  }
}

TEST_F(LocalConverters, SizeQueryIsATrueBoundInUtf8) {
  if (!useLocale(utf8Locale())) TESTTOKEN_LOCALE_MISSING("the locale");
  // Three characters of three bytes each need 9 bytes plus the NUL; the
  // two-bytes-a-character rule of a cp932 system would answer 8.
  const Bytes in = ucs2({0x3042, 0x3044, 0x3046});
  Call r = convert(PARVOX_ucs2tombs, in);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 9u);
  EXPECT_GE(r.size, 10);
  const Bytes u = bytes("\xE3\x81\x82\xE3\x81\x84\xE3\x81\x86");
  Call r8 = convert(PARVOX_utf8tombs, u);
  ASSERT_EQ(r8.status, 0);
  EXPECT_EQ(r8.out, u);
  EXPECT_GE(r8.size, 10);
}

TEST_F(LocalConverters, NulStoredBehindTheTextWhenItFits) {
  if (!useLocale(utf8Locale())) TESTTOKEN_LOCALE_MISSING("the locale");
  const Bytes in = ucs2({'a', 'b'});
  Bytes buf(6, 0xEE);
  unsigned char *dst = buf.data();
  int32_t room = 6;
  uint32_t err = 0;
  ASSERT_EQ(PARVOX_ucs2tombs(in.data(), &dst, 4, &room, &err), 0);
  EXPECT_EQ(room, 2);
  EXPECT_EQ(buf[2], 0);
  EXPECT_EQ(buf[3], 0xEE);
  // Exactly the text's size: no NUL written.
  Bytes tight(3, 0xEE);
  dst = tight.data();
  room = 2;
  ASSERT_EQ(PARVOX_ucs2tombs(in.data(), &dst, 4, &room, &err), 0);
  EXPECT_EQ(room, 2);
  EXPECT_EQ(tight[2], 0xEE);
}

TEST_F(LocalConverters, CLocaleTable) {
  if (!useLocale("C")) TESTTOKEN_LOCALE_MISSING("the locale");
  Call ascii = convert(PARVOX_ucs2tombs, ucs2({'O', 'k'}));
  ASSERT_EQ(ascii.status, 0);
  EXPECT_EQ(ascii.out, bytes("Ok"));
  EXPECT_EQ(ascii.size, 6) << "two characters: 2 x 2 + 2";
  const ConvReject rejects[] = {
      {"Japanese has no C-locale form", PARVOX_ucs2tombs, ucs2({0x3042}), PARVOX_ERR_UCS2TOMBS_CONVERT},
      {"UCS-4 likewise", PARVOX_ucs4tombs, ucs4({0x3042}), PARVOX_ERR_UCS4TOMBS_CONVERT},
      {"UTF-8 likewise", PARVOX_utf8tombs, bytes("\xE3\x81\x82"), PARVOX_ERR_UTF8TOMBS_CONVERT},
      {"UTF-8 U+10000 has no C-locale form", PARVOX_utf8tombs, {0xF0, 0x90, 0x80, 0x80}, PARVOX_ERR_UTF8TOMBS_CONVERT},
      {"UTF-8 U+10FFFF likewise", PARVOX_utf8tombs, {0xF4, 0x8F, 0xBF, 0xBF}, PARVOX_ERR_UTF8TOMBS_CONVERT},
  };
  for (const ConvReject &c : rejects) {
    Call r = convert(c.fn, c.in);
    EXPECT_EQ(r.status, -1) << c.why;
    EXPECT_EQ(r.err, c.code) << c.why << " got " << hexCode(r.err);
  }
}

TEST_F(LocalConverters, RejectedInAnyLocale) {
  if (!useLocale(utf8Locale())) TESTTOKEN_LOCALE_MISSING("the locale");
  const ConvReject rejects[] = {
      {"UCS-2 of three bytes, even in a size query", PARVOX_ucs2tombs, {0, 0x41, 0}, PARVOX_ERR_UCS2TOMBS_LENGTH},
      {"UCS-2 empty", PARVOX_ucs2tombs, {}, PARVOX_ERR_UCS2TOMBS_LENGTH},
      {"UCS-4 empty", PARVOX_ucs4tombs, {}, PARVOX_ERR_UCS4TOMBS_LENGTH},
      {"UCS-4 length 5", PARVOX_ucs4tombs, {0, 0, 0, 0x41, 0}, PARVOX_ERR_UCS4TOMBS_LENGTH},
      {"UCS-4 top bit set", PARVOX_ucs4tombs, ucs4({0x80000000}), PARVOX_ERR_UCS4TOMBS_CONVERT},
      {"UCS-2 lone surrogate", PARVOX_ucs2tombs, ucs2({0xD800}), PARVOX_ERR_UCS2TOMBS_CONVERT},
      {"UTF-8 empty", PARVOX_utf8tombs, {}, PARVOX_ERR_UTF8TOMBS_LENGTH},
      {"UTF-8 lone continuation byte", PARVOX_utf8tombs, {0x80}, PARVOX_ERR_UTF8SCAN_LEAD},
      {"UTF-8 0xFE", PARVOX_utf8tombs, {'a', 0xFE}, PARVOX_ERR_UTF8SCAN_LEAD},
      {"UTF-8 0xFF", PARVOX_utf8tombs, {0xFF}, PARVOX_ERR_UTF8SCAN_LEAD},
      {"UTF-8 E3 81 cut short at the end", PARVOX_utf8tombs, {'a', 0xE3, 0x81}, PARVOX_ERR_UTF8TOMBS_SEQUENCE},
      {"UTF-8 bad continuation", PARVOX_utf8tombs, {0xE3, 0x41, 0x82}, PARVOX_ERR_UTF8TOMBS_SEQUENCE},
      {"UTF-8 U+FFFF refused", PARVOX_utf8tombs, {0xEF, 0xBF, 0xBF}, PARVOX_ERR_UTF8TOMBS_RANGE},
      {"UTF-8 U+110000 beyond the last plane", PARVOX_utf8tombs, {0xF4, 0x90, 0x80, 0x80}, PARVOX_ERR_UTF8TOMBS_RANGE},
      {"UTF-8 five-byte form beyond the last plane", PARVOX_utf8tombs, {0xF8, 0x88, 0x80, 0x80, 0x80},
       PARVOX_ERR_UTF8TOMBS_RANGE},
      {"UTF-8 U+110000 after a good plane-2 character", PARVOX_utf8tombs,
       {0xF0, 0xA0, 0xAE, 0xB7, 0xF4, 0x90, 0x80, 0x80}, PARVOX_ERR_UTF8TOMBS_RANGE},
      {"UTF-8 encoded surrogate", PARVOX_utf8tombs, {0xED, 0xA0, 0x80}, PARVOX_ERR_UTF8TOMBS_CONVERT},
  };
  for (const ConvReject &c : rejects) {
    Call r = convert(c.fn, c.in);
    EXPECT_EQ(r.status, -1) << c.why;
    EXPECT_EQ(r.err, c.code) << c.why << " got " << hexCode(r.err);
  }
  // The length rule holds for size queries as well.
  int32_t room = 5;
  uint32_t err = 0;
  const Bytes three = {0, 0x41, 0};
  EXPECT_EQ(PARVOX_ucs2tombs(three.data(), nullptr, 3, &room, &err), -1);
  EXPECT_EQ(err, PARVOX_ERR_UCS2TOMBS_LENGTH);
  EXPECT_EQ(room, 5);
}

TEST_F(LocalConverters, LocaleFollowsTheEnvironmentOnEveryCall) {
  const std::string utf8 = utf8Locale();
  if (!useLocale(utf8)) TESTTOKEN_LOCALE_MISSING("the locale");
  const Bytes jp = ucs2({0x3042});
  // Someone set the process locale back to C: the next call sets it again.
  std::setlocale(LC_CTYPE, "C");
  Call r = convert(PARVOX_ucs2tombs, jp);
  ASSERT_EQ(r.status, 0) << hexCode(r.err);
  EXPECT_EQ(r.out, bytes("\xE3\x81\x82"));
  // The environment changed between calls: the new setting holds.
  {
    LocaleEnv c("C");
    Call rc = convert(PARVOX_ucs2tombs, jp);
    EXPECT_EQ(rc.status, -1);
    EXPECT_EQ(rc.err, PARVOX_ERR_UCS2TOMBS_CONVERT);
  }
  LocaleEnv again(utf8.c_str());
  EXPECT_EQ(convert(PARVOX_ucs2tombs, jp).status, 0);
}

TEST_F(LocalConverters, ShiftJisLocale) {
  if (!useLocale(sjisLocale())) TESTTOKEN_LOCALE_MISSING("the locale");
  // U+65E5 U+672C (Japanese "nihon") is 93 FA 96 7B in Shift-JIS.
  const Bytes sjis = {0x93, 0xFA, 0x96, 0x7B};
  Call r2 = convert(PARVOX_ucs2tombs, ucs2({0x65E5, 0x672C}));
  ASSERT_EQ(r2.status, 0) << hexCode(r2.err);
  EXPECT_EQ(r2.out, sjis);
  EXPECT_EQ(r2.size, 6) << "2 characters x 2 bytes + 2, as on a cp932 system";
  Call r4 = convert(PARVOX_ucs4tombs, ucs4({0x65E5, 0x672C}));
  ASSERT_EQ(r4.status, 0);
  EXPECT_EQ(r4.out, sjis);
  Call r8 = convert(PARVOX_utf8tombs, bytes("\xE6\x97\xA5\xE6\x9C\xAC"));
  ASSERT_EQ(r8.status, 0);
  EXPECT_EQ(r8.out, sjis);
}

}  // namespace
}  // namespace parvox_test
