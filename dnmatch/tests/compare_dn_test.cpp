// CompareDN through the exported interface.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "mirrel/mirrel.h"
#include "name_builder.h"

namespace mirrel_test {
namespace {

constexpr int32_t kUnset = 0x5A5A5A5A;

struct Comparison {
  int32_t rc;
  int32_t result;
  uint32_t err;
};

Comparison compare(X509NameHandle a, X509NameHandle b) {
  Comparison c{0, kUnset, 0};
  c.rc = CompareDN(a, b, &c.result, &c.err);
  return c;
}

Ava cn(StringType type, std::string text) { return {NID_commonName, type, std::move(text)}; }
Ava o(StringType type, std::string text) { return {NID_organizationName, type, std::move(text)}; }
Ava c(std::string text) { return {NID_countryName, StringType::printable, std::move(text)}; }

class CompareDnTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("LC_ALL", "C", 1); }
  void TearDown() override {
    unsetenv("LC_ALL");
    std::setlocale(LC_CTYPE, "C");
  }
};

TEST_F(CompareDnTest, PairsTable) {
  using S = StringType;
  const struct {
    NameSpec a;
    NameSpec b;
    int32_t result;
    const char *why;
  } cases[] = {
      {{{cn(S::printable, "John Smith")}}, {{cn(S::utf8, "John Smith")}}, 0, "string type only"},
      {{{cn(S::utf8, "john smith")}}, {{cn(S::utf8, "JOHN SMITH")}}, 0, "letter case only"},
      {{{cn(S::printable, "  john   smith ")}}, {{cn(S::bmp, "JOHN SMITH")}}, 0, "spaces, case and type"},
      {{{c("JP")}, {o(S::utf8, "Acme"), cn(S::utf8, "x")}},
       {{c("JP")}, {cn(S::printable, "X"), o(S::bmp, "ACME")}}, 0, "AVA order inside one RDN"},
      {{{c("JP")}, {o(S::utf8, "Acme")}}, {{o(S::utf8, "Acme")}, {c("JP")}}, -1, "RDN order"},
      {{{c("JP")}, {o(S::utf8, "Acme")}}, {{c("JP")}, {o(S::utf8, "Acme")}, {cn(S::utf8, "x")}}, -1,
       "one RDN more"},
      {{{c("JP")}, {o(S::utf8, "Acme"), cn(S::utf8, "x")}}, {{c("JP")}, {o(S::utf8, "Acme")}, {cn(S::utf8, "x")}},
       -1, "two AVAs in one RDN against two RDNs"},
      {{{cn(S::utf8, "John Smith")}}, {{cn(S::utf8, "John Smyth")}}, -1, "different value"},
      {{{cn(S::utf8, "John Smith")}}, {{o(S::utf8, "John Smith")}}, -1, "different attribute"},
      {{{cn(S::utf8, "JohnSmith")}}, {{cn(S::utf8, "John Smith")}}, -1, "a space is not nothing"},
      {{{cn(S::utf8, "a\tb")}}, {{cn(S::utf8, "a b")}}, -1, "a tab is not a space"},
      {{{cn(S::utf8, "\xEF\xBC\xA1")}}, {{cn(S::utf8, "\xEF\xBD\x81")}}, -1, "full-width case is not folded"},
      {{{cn(S::utf8, "\xC3\xA9")}}, {{cn(S::utf8, "\xC3\x89")}}, -1, "non-ASCII case is not folded"},
      {{{cn(S::utf8, "\xE5\xB1\xB1\xE7\x94\xB0")}}, {{cn(S::bmp, "\xE5\xB1\xB1\xE7\x94\xB0")}}, 0, "Japanese, utf8 vs bmp"},
      {{{cn(S::universal, "\xE5\xB1\xB1\xE7\x94\xB0")}}, {{cn(S::bmp, "\xE5\xB1\xB1\xE7\x94\xB0")}}, 0,
       "Japanese, universal vs bmp"},
      {{}, {}, 0, "two empty names"},
      {{}, {{cn(S::utf8, "x")}}, -1, "empty against one RDN"},
      {{{cn(S::utf8, "   ")}}, {{cn(S::utf8, "")}}, 0, "spaces only against empty"},
  };
  for (const auto &t : cases) {
    const Name a(t.a);
    const Name b(t.b);
    const Comparison ab = compare(a.get(), b.get());
    ASSERT_EQ(ab.rc, 0) << t.why << " err " << std::hex << ab.err;
    EXPECT_EQ(ab.result, t.result) << t.why;
    const Comparison ba = compare(b.get(), a.get());
    ASSERT_EQ(ba.rc, 0) << t.why;
    EXPECT_EQ(ba.result, t.result) << t.why << " (swapped)";
  }
}

TEST_F(CompareDnTest, NameAgainstItself) {
  const Name a(NameSpec{{c("JP")}, {o(StringType::printable, "x"), cn(StringType::utf8, "y")}});
  const Comparison r = compare(a.get(), a.get());
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.result, 0);
}

TEST_F(CompareDnTest, ArgumentChecksInTheirOrder) {
  const Name a(NameSpec{{c("JP")}});
  int32_t result = kUnset;
  EXPECT_EQ(CompareDN(a.get(), a.get(), &result, nullptr), -1);
  EXPECT_EQ(result, kUnset);
  const struct {
    X509NameHandle name1;
    X509NameHandle name2;
    bool withResult;
    uint32_t code;
    const char *reason;
  } cases[] = {
      {nullptr, a.get(), true, MIRREL_ERR_ARGUMENT, "name1 missing"},
      {a.get(), nullptr, true, MIRREL_ERR_ARGUMENT, "name2 missing"},
      {a.get(), a.get(), false, MIRREL_ERR_NO_RESULT, "result missing"},
      {a.get(), nullptr, false, MIRREL_ERR_ARGUMENT, "a missing name is reported before a missing result"},
  };
  for (const auto &t : cases) {
    uint32_t err = 0;
    result = kUnset;
    EXPECT_EQ(CompareDN(t.name1, t.name2, t.withResult ? &result : nullptr, &err), -1) << t.reason;
    EXPECT_EQ(err, t.code) << t.reason;
    EXPECT_EQ(result, kUnset) << t.reason;
  }
}

TEST_F(CompareDnTest, TypicalFormFailurePassesItsCodeOnAndLeavesResult) {
  const Name good(NameSpec{{cn(StringType::utf8, "x")}});
  const Name bad(rawValueNameDer(NID_commonName, 0x1E, std::string("\0x\0", 3)));  // odd-length BMPString
  for (const bool badFirst : {true, false}) {
    const Comparison r = badFirst ? compare(bad.get(), good.get()) : compare(good.get(), bad.get());
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, MIRREL_ERR_ARGUMENT);
    EXPECT_EQ(r.result, kUnset);
  }
}

TEST_F(CompareDnTest, NamesAreOnlyRead) {
  const NameSpec spec{{c("jp")}, {o(StringType::bmp, " a  b ")}};
  const Name a(spec);
  const Name b(NameSpec{{c("JP")}, {o(StringType::utf8, "A B")}});
  const Bytes before = a.der();
  EXPECT_EQ(compare(a.get(), b.get()).result, 0);
  EXPECT_EQ(a.der(), before);
  EXPECT_EQ(a.der(), derOf(spec));
}

TEST_F(CompareDnTest, NulInsideAValueMakesADifferentName) {
  const Name full(NameSpec{{{NID_commonName, StringType::printable, std::string("alice\0mallory", 13), true}}});
  const Name cut(NameSpec{{cn(StringType::printable, "alice")}});
  const Comparison r = compare(full.get(), cut.get());
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.result, -1);
}

}  // namespace
}  // namespace mirrel_test
