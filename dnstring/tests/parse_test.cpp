// The two parsers: accepted texts against names built by OpenSSL (DER
// compared byte for byte, so string types are checked too), rejected texts
// with their codes, and round trips through the formatters judged by
// CompareDN.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support.h"

#ifdef PARVOX_TEST_WITH_MIRREL
#include <mirrel/mirrel.h>
#endif

namespace parvox_test {
namespace {

const int P = V_ASN1_PRINTABLESTRING;
const int U = V_ASN1_UTF8STRING;
const int I = V_ASN1_IA5STRING;

Bytes built(const std::vector<Ava> &avas) {
  OsslName n = opensslName(avas);
  return opensslDer(n.get());
}

uint32_t rdnCount(X509NameHandle name) {
  uint32_t n = 0;
  uint32_t err = 0;
  EXPECT_EQ(X509NameObjectCalRDN(name, &n, &err), 0);
  return n;
}

class Parsers : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string loc = utf8Locale();
    if (loc.empty()) TESTTOKEN_LOCALE_MISSING("a UTF-8 locale");
    env_ = std::make_unique<LocaleEnv>(loc.c_str());
  }
  std::unique_ptr<LocaleEnv> env_;
};

struct ParseCase {
  const char *text;
  std::vector<Ava> expected;  // in the order of the name
};

struct ParseReject {
  const char *text;
  uint32_t code;
  const char *why;
};

// ---- LDAP form --------------------------------------------------------------

TEST_F(Parsers, LdapAccepted) {
  const ParseCase cases[] = {
      {"CN=Taro,O=Org,C=JP", {{"C", P, bytes("JP")}, {"O", P, bytes("Org")}, {"CN", P, bytes("Taro")}}},
      {"CN=a\\,b,C=JP", {{"C", P, bytes("JP")}, {"CN", U, bytes("a\\,b")}}},
      {"CN=\"Doe, John\",C=JP", {{"C", P, bytes("JP")}, {"CN", U, bytes("\"Doe, John\"")}}},
      {"CN=a, O=b", {{"O", P, bytes("b")}, {"CN", P, bytes("a")}}},
      {"CN=a ,O=b", {{"O", P, bytes("b")}, {"CN", P, bytes("a ")}}},
      {"CN=a;O=b", {{"O", P, bytes("b")}, {"CN", P, bytes("a")}}},
      {"DC=x", {{"C", P, bytes("x")}}},
      {"CN  =x", {{"CN", P, bytes("x")}}},
      {"L=Chiyoda,OU=Dev", {{"OU", P, bytes("Dev")}, {"L", P, bytes("Chiyoda")}}},
      {"ST=Tokyo", {{"ST", P, bytes("Tokyo")}}},
      {"STREET=1-1 Main", {{"street", P, bytes("1-1 Main")}}},
      {"EM=taro@example.jp", {{"emailAddress", I, bytes("taro@example.jp")}}},
      {"1.2.3=x", {{"1.2.3", P, bytes("x")}}},
      {" 2.5.4.5 =#13023132", {{"serialNumber", P, bytes("12")}}},
      {"1.2.3.4=#0C0178", {{"1.2.3.4", U, bytes("x")}}},
      {"CN=\xE6\x97\xA5\xE6\x9C\xAC", {{"CN", U, bytes("\xE6\x97\xA5\xE6\x9C\xAC")}}},
      {"CN=a_b@c", {{"CN", U, bytes("a_b@c")}}},
      {"CN=a=b", {{"CN", P, bytes("a=b")}}},
  };
  for (const ParseCase &c : cases) {
    Name name = emptyName();
    uint32_t err = 0;
    ASSERT_EQ(PARVOX_NameStringToObjLDAP(c.text, nullptr, name.get(), &err), 0) << c.text << " " << hexCode(err);
    EXPECT_EQ(derOf(name.get()), built(c.expected)) << c.text;
  }
  // Megabyte values full of quotes, escaped separators and quoted
  // separators: the text is read in one pass (a rescan per quote or per
  // escape would take minutes here).
  auto repeat = [](const std::string &piece, size_t n) {
    std::string r;
    r.reserve(piece.size() * n);
    for (size_t i = 0; i < n; ++i) r += piece;
    return r;
  };
  const std::string longValues[] = {
      "\"" + repeat("\\\"", 512 * 1024) + "\"",
      repeat("a\\,", 384 * 1024),
      repeat("\",;\"", 256 * 1024),
  };
  for (const std::string &value : longValues) {
    const std::string text = "CN=" + value + ",C=JP";
    Name name = emptyName();
    uint32_t err = 0;
    ASSERT_EQ(PARVOX_NameStringToObjLDAP(text.c_str(), nullptr, name.get(), &err), 0) << hexCode(err);
    EXPECT_EQ(derOf(name.get()), built({{"C", P, bytes("JP")}, {"CN", U, bytes(value)}})) << value.substr(0, 16);
  }
}

TEST_F(Parsers, LdapRejected) {
  const ParseReject rejects[] = {
      {"cn=a", PARVOX_ERR_LDAPPARSE_NO_KEYWORD, "keywords are case-sensitive"},
      {"E=a@b", PARVOX_ERR_LDAPPARSE_BAD_KEYWORD, "the e-mail keyword is EM"},
      {"TITLE=x", PARVOX_ERR_LDAPPARSE_BAD_KEYWORD, "keyword starts at L: LE"},
      {"CX=", PARVOX_ERR_LDAPPARSE_BAD_KEYWORD, "a wrong keyword is reported before the empty value"},
      {"CN a=x", PARVOX_ERR_LDAPPARSE_BAD_KEYWORD, "more than spaces before the ="},
      {"XY=1", PARVOX_ERR_LDAPPARSE_NO_KEYWORD, "no keyword letter"},
      {"=x", PARVOX_ERR_LDAPPARSE_NO_KEYWORD, "nothing before the ="},
      {"x=C", PARVOX_ERR_LDAPPARSE_NO_KEYWORD, "the first keyword letter lies behind the ="},
      {"CN=,C=JP", PARVOX_ERR_LDAPPARSE_EMPTY_VALUE, "empty value"},
      {"CN=a,", PARVOX_ERR_LDAPPARSE_NO_EQUALS, "ends in a separator"},
      {"", PARVOX_ERR_LDAPPARSE_NO_EQUALS, "empty text"},
      {"CN", PARVOX_ERR_LDAPPARSE_NO_EQUALS, "no ="},
      {"CN=\"abc,O=x", PARVOX_ERR_LDAPPARSE_QUOTE, "quote without its partner"},
      {"1.2.x=y", PARVOX_ERR_LDAPPARSE_BAD_KEYWORD, "not an object identifier"},
      {"1.=y", PARVOX_ERR_LDAPPARSE_BAD_KEYWORD, "empty arc"},
      {"3.1=y", PARVOX_ERR_LDAPPARSE_BAD_KEYWORD, "first arc above 2"},
      {"1.2.99999999999=y", PARVOX_ERR_LDAPPARSE_BAD_KEYWORD, "arc beyond 32 bits"},
      {"1.2.3=", PARVOX_ERR_LDAPPARSE_EMPTY_VALUE, "dotted identifier without value"},
      {"1.2.3=#", PARVOX_ERR_LDAPPARSE_BAD_HEXVALUE, "no hex digits"},
      {"1.2.3=#0C0", PARVOX_ERR_LDAPPARSE_BAD_HEXVALUE, "odd number of hex digits"},
      {"1.2.3=#0CZZ", PARVOX_ERR_LDAPPARSE_BAD_HEXVALUE, "not hex"},
      {"1.2.3=#0C0278", PARVOX_ERR_LDAPPARSE_BAD_HEXVALUE, "length beyond the bytes"},
      {"1.2.3=#0C017878", PARVOX_ERR_LDAPPARSE_BAD_HEXVALUE, "bytes behind the value"},
      {"1.2.3=#0C8101", PARVOX_ERR_LDAPPARSE_BAD_HEXVALUE, "long form for a short length"},
      {"1.2.3=#0C80", PARVOX_ERR_LDAPPARSE_BAD_HEXVALUE, "indefinite length"},
      {"CN=a,cn=b", PARVOX_ERR_LDAPPARSE_NO_KEYWORD, "a bad later component"},
  };
  for (const ParseReject &c : rejects) {
    Name name = emptyName();
    uint32_t err = 0;
    EXPECT_EQ(PARVOX_NameStringToObjLDAP(c.text, nullptr, name.get(), &err), -1) << c.why;
    EXPECT_EQ(err, c.code) << c.why << ": " << c.text << " got " << hexCode(err);
    EXPECT_EQ(rdnCount(name.get()), 0u) << c.why << ": nothing is added before the whole text is read";
  }
  uint32_t err = 0;
  Name name = emptyName();
  EXPECT_EQ(PARVOX_NameStringToObjLDAP(nullptr, nullptr, name.get(), &err), -1);
  EXPECT_EQ(err, PARVOX_ERR_ARGUMENT);
  EXPECT_EQ(PARVOX_NameStringToObjLDAP("CN=a", nullptr, nullptr, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_ARGUMENT) << "the object library's code";
}

// ---- slash form -------------------------------------------------------------

TEST_F(Parsers, SlashAccepted) {
  const std::string longValue(300, 'x');
  const ParseCase cases[] = {
      {"/C=JP/O=Org/CN=Taro", {{"C", P, bytes("JP")}, {"O", P, bytes("Org")}, {"CN", P, bytes("Taro")}}},
      {"", {}},
      {"/CN=a/O=b/C=c", {{"CN", P, bytes("a")}, {"O", P, bytes("b")}, {"C", P, bytes("c")}}},
      {"/CN=Taro/E=taro@example.jp", {{"CN", P, bytes("Taro")}, {"emailAddress", I, bytes("taro@example.jp")}}},
      {"/STREET=1-1 Main/ST=Tokyo", {{"street", P, bytes("1-1 Main")}, {"ST", P, bytes("Tokyo")}}},
      {"/L=x/OU=y", {{"L", P, bytes("x")}, {"OU", P, bytes("y")}}},
      {"/CN=a/b/c", {{"CN", P, bytes("a/b/c")}}},
      {"/CN=a,CN=b", {{"CN", P, bytes("a,CN=b")}}},
      {"/CN=\xE6\x97\xA5", {{"CN", U, bytes("\xE6\x97\xA5")}}},
      {"/C=", {{"C", P, {}}}},
  };
  for (const ParseCase &c : cases) {
    Name name = emptyName();
    uint32_t err = 0;
    ASSERT_EQ(PARVOX_NameStringToObj(c.text, static_cast<int32_t>(std::strlen(c.text)), name.get(), &err), 0)
        << c.text << " " << hexCode(err);
    EXPECT_EQ(derOf(name.get()), built(c.expected)) << c.text;
  }
  // Values of any length.
  const std::string text = "/CN=" + longValue;
  Name name = emptyName();
  uint32_t err = 0;
  ASSERT_EQ(PARVOX_NameStringToObj(text.c_str(), static_cast<int32_t>(text.size()), name.get(), &err), 0);
  EXPECT_EQ(derOf(name.get()), built({{"CN", P, bytes(longValue)}}));
  // The text ends after textLength bytes, or at a NUL before that.
  Name cut = emptyName();
  ASSERT_EQ(PARVOX_NameStringToObj("/C=JPXX", 5, cut.get(), &err), 0);
  EXPECT_EQ(derOf(cut.get()), built({{"C", P, bytes("JP")}}));
  Name nul = emptyName();
  ASSERT_EQ(PARVOX_NameStringToObj("/C=JP\0/O=x", 10, nul.get(), &err), 0);
  EXPECT_EQ(derOf(nul.get()), built({{"C", P, bytes("JP")}}));
}

TEST_F(Parsers, SlashRejected) {
  const ParseReject rejects[] = {
      {"CN=a", PARVOX_ERR_SLASHPARSE_KEYWORD, "no leading slash"},
      {"/X=1", PARVOX_ERR_SLASHPARSE_KEYWORD, "unknown keyword"},
      {"/c=JP", PARVOX_ERR_SLASHPARSE_KEYWORD, "keywords are case-sensitive"},
      {"/EM=a@b", PARVOX_ERR_SLASHPARSE_KEYWORD, "EM is the LDAP keyword"},
  };
  for (const ParseReject &c : rejects) {
    Name name = emptyName();
    uint32_t err = 0;
    EXPECT_EQ(PARVOX_NameStringToObj(c.text, static_cast<int32_t>(std::strlen(c.text)), name.get(), &err), -1)
        << c.why;
    EXPECT_EQ(err, c.code) << c.why << " got " << hexCode(err);
  }
  uint32_t err = 0;
  Name name = emptyName();
  EXPECT_EQ(PARVOX_NameStringToObj(nullptr, 4, name.get(), &err), -1);
  EXPECT_EQ(err, PARVOX_ERR_ARGUMENT);
}

TEST(ParsersInLocales, SlashTextInShiftJisBecomesUtf8String) {
  const std::string loc = sjisLocale();
  if (loc.empty()) TESTTOKEN_LOCALE_MISSING("a Shift-JIS locale");
  LocaleEnv env(loc.c_str());
  const char sjis[] = "/CN=\x93\xFA\x96\x7B";
  Name name = emptyName();
  uint32_t err = 0;
  ASSERT_EQ(PARVOX_NameStringToObj(sjis, static_cast<int32_t>(sizeof sjis - 1), name.get(), &err), 0);
  EXPECT_EQ(derOf(name.get()), built({{"CN", U, bytes("\xE6\x97\xA5\xE6\x9C\xAC")}}));
}

// ---- round trips ------------------------------------------------------------

#ifdef PARVOX_TEST_WITH_MIRREL
int32_t compare(X509NameHandle a, X509NameHandle b) {
  int32_t result = 1;
  uint32_t err = 0;
  EXPECT_EQ(CompareDN(a, b, &result, &err), 0) << hexCode(err);
  return result;
}

// Names whose every attribute both text forms can carry.
const std::vector<std::vector<Ava>> kCarriedByBoth = {
    {{"C", P, bytes("JP")}, {"O", P, bytes("Org")}, {"CN", U, bytes("Taro")}},
    {{"C", P, bytes("JP")},
     {"ST", U, bytes("Tokyo")},
     {"L", V_ASN1_BMPSTRING, ucs2({'C', 'h', 'i', 'y', 'o', 'd', 'a'})},
     {"street", P, bytes("1-1 Marunouchi")},
     {"O", U, bytes("Example Corp.")},
     {"OU", V_ASN1_T61STRING, bytes("Dev")},
     {"CN", V_ASN1_BMPSTRING, ucs2({0x65E5, 0x672C, ' ', 0x592A, 0x90CE})}},
    {{"CN", V_ASN1_UNIVERSALSTRING, ucs4({'x', 0x3042})}},
    {{"O", U, bytes("a_b & c@d")}, {"CN", P, bytes("Taro (Dev) 2")}},
    {},
};

TEST_F(Parsers, LdapRoundTrip) {
  std::vector<std::vector<Ava>> names = kCarriedByBoth;
  // Only the LDAP form carries types outside the keyword table (hex form).
  names.push_back({{"C", P, bytes("JP")}, {"serialNumber", P, bytes("12345")}, {"1.2.3.4", U, bytes("x")}});
  for (const auto &avas : names) {
    Name original = nameOf(avas);
    Call text = ldap(original.get(), true);
    ASSERT_EQ(text.status, 0) << hexCode(text.err);
    const std::string s = parvox_test::text(text.out);
    Name parsed = emptyName();
    uint32_t err = 0;
    ASSERT_EQ(PARVOX_NameStringToObjLDAP(s.c_str(), nullptr, parsed.get(), &err), s.empty() ? -1 : 0)
        << s << " " << hexCode(err);
    if (s.empty()) continue;  // an empty LDAP text is no name (0x1E000353)
    EXPECT_EQ(compare(original.get(), parsed.get()), 0) << s;
  }
}

TEST_F(Parsers, SlashRoundTrip) {
  std::vector<std::vector<Ava>> names = kCarriedByBoth;
  // Only the slash form carries e-mail addresses ("E=" is no LDAP keyword here).
  names.push_back({{"CN", P, bytes("Taro")}, {"emailAddress", I, bytes("taro@example.jp")}});
  for (const auto &avas : names) {
    Name original = nameOf(avas);
    Call text = txt(original.get());
    ASSERT_EQ(text.status, 0) << hexCode(text.err);
    Name parsed = emptyName();
    uint32_t err = 0;
    ASSERT_EQ(PARVOX_NameStringToObj(reinterpret_cast<const char *>(text.out.data()),
                                     static_cast<int32_t>(text.out.size()), parsed.get(), &err),
              0)
        << parvox_test::text(text.out) << " " << hexCode(err);
    EXPECT_EQ(compare(original.get(), parsed.get()), 0) << parvox_test::text(text.out);
  }
}

// What the text forms cannot carry, shown so that a change is noticed.
TEST_F(Parsers, RoundTripLimits) {
  struct Limit {
    const char *why;
    std::vector<Ava> avas;
    bool ldap;
  };
  const Limit limits[] = {
      {"LDAP: E= is written but EM= is read", {{"emailAddress", I, bytes("a@b")}}, true},
      {"LDAP: TITLE is not a keyword of the parser", {{"title", P, bytes("Eng")}}, true},
      {"LDAP: escaped specials keep their backslash", {{"CN", U, bytes("Doe, John")}}, true},
      {"LDAP: + does not split an RDN", {{"CN", U, bytes("a")}, {"CN", U, bytes("b"), true}}, true},
      {"slash: TITLE is not a keyword", {{"title", P, bytes("Eng")}}, false},
      {"slash: no dotted identifiers", {{"serialNumber", P, bytes("1")}}, false},
      {"slash: a value holding a keyword", {{"CN", U, bytes("a/O=b")}}, false},
      {"slash: multi-valued RDN", {{"CN", U, bytes("a")}, {"CN", U, bytes("b"), true}}, false},
  };
  for (const Limit &l : limits) {
    Name original = nameOf(l.avas);
    Name parsed = emptyName();
    uint32_t err = 0;
    int32_t status;
    if (l.ldap) {
      const std::string s = text(ldap(original.get(), true).out);
      status = PARVOX_NameStringToObjLDAP(s.c_str(), nullptr, parsed.get(), &err);
    } else {
      const Bytes t = txt(original.get()).out;
      status = PARVOX_NameStringToObj(reinterpret_cast<const char *>(t.data()), static_cast<int32_t>(t.size()),
                                      parsed.get(), &err);
    }
    EXPECT_TRUE(status != 0 || compare(original.get(), parsed.get()) != 0) << l.why;
  }
}
#endif

}  // namespace
}  // namespace parvox_test
