// The password as the PKCS#12 key derivation takes it: the locale's text
// read as wide characters and written again as UTF-8.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "pkcs12/password.h"

namespace {

TEST(PasswordConversion, KeepsWholeCodePointsAndEndsInUtf8) {
  const char *saved = std::setlocale(LC_ALL, nullptr);
  std::string restore = saved ? saved : "C";
  ASSERT_NE(std::setlocale(LC_ALL, "ja_JP.UTF-8"), nullptr) << "ja_JP.UTF-8 locale needed";
  platform::SecureBuffer wide, utf8;
  const char *password = "パス\xF0\x9F\x94\x91";  // includes a character beyond 16 bits
  ASSERT_EQ(velkor::ConvertPassword(password, &wide, &utf8), velkor::PasswordConversion::kOk);
  EXPECT_STREQ(reinterpret_cast<const char *>(utf8.data()), password);
  ASSERT_EQ(velkor::ConvertPassword("", &wide, &utf8), velkor::PasswordConversion::kOk);
  EXPECT_EQ(utf8.data()[0], 0);
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  EXPECT_EQ(velkor::ConvertPassword("\xE3\x83\x91", &wide, &utf8), velkor::PasswordConversion::kConvertFailed);
  std::setlocale(LC_ALL, restore.c_str());
}

TEST(PasswordConversion, RefusesValuesThatAreNoCharacters) {
  unsigned char out[16];
  size_t written = 0;
  const wchar_t surrogate[] = {static_cast<wchar_t>(0xD800)};
  EXPECT_FALSE(velkor::WideToUtf8(surrogate, 1, out, sizeof out, &written));
  const wchar_t tooBig[] = {static_cast<wchar_t>(0x110000)};
  EXPECT_FALSE(velkor::WideToUtf8(tooBig, 1, out, sizeof out, &written));
  const wchar_t ok[] = {L'a', static_cast<wchar_t>(0x3042)};
  ASSERT_TRUE(velkor::WideToUtf8(ok, 2, out, sizeof out, &written));
  EXPECT_EQ(written, 4u);
  EXPECT_FALSE(velkor::WideToUtf8(ok, 2, out, 4, &written));  // no room for the terminator
}

}  // namespace
