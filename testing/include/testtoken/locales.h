// What a test does when a locale it switches into is not installed.
// scripts/install-deps generates every one of them, so under `make check` a
// missing locale is a failure: a test that skipped would pass without
// having tested anything.  On a machine that cannot have them, setting
// TOKENENROL_ALLOW_MISSING_LOCALES=1 turns the failure into a skip.
#ifndef TESTTOKEN_LOCALES_H_
#define TESTTOKEN_LOCALES_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace testtoken {

inline bool MissingLocalesAllowed() {
  const char *allow = std::getenv("TOKENENROL_ALLOW_MISSING_LOCALES");
  return allow != nullptr && std::string_view(allow) == "1";
}

}  // namespace testtoken

// Ends the test: skipped when missing locales are allowed, failed otherwise.
#define TESTTOKEN_LOCALE_MISSING(what)                                                                    \
  do {                                                                                                    \
    if (::testtoken::MissingLocalesAllowed()) GTEST_SKIP() << (what) << " is not installed";              \
    GTEST_FAIL() << (what) << " is not installed (scripts/install-deps generates it; "                   \
                 << "TOKENENROL_ALLOW_MISSING_LOCALES=1 skips instead)";                                  \
  } while (false)

#endif  // TESTTOKEN_LOCALES_H_
