// The four formatters on names made by OpenSSL: the worked examples, size
// queries against written lengths, capacity cuts, local text in Shift-JIS,
// and agreement with OpenSSL's RFC 2253 printing.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>

#include "support.h"

namespace parvox_test {
namespace {

const Ava kC{"C", V_ASN1_PRINTABLESTRING, bytes("JP")};
const Ava kO{"O", V_ASN1_PRINTABLESTRING, bytes("Org")};
const Ava kCN{"CN", V_ASN1_UTF8STRING, bytes("Taro")};

class Formatters : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string loc = utf8Locale();
    if (loc.empty()) TESTTOKEN_LOCALE_MISSING("a UTF-8 locale");
    env_ = std::make_unique<LocaleEnv>(loc.c_str());
  }
  std::unique_ptr<LocaleEnv> env_;
};

struct FormatCase {
  const char *what;
  std::vector<Ava> avas;
  std::string slash;     // PARVOX_NameObjToString and ...TXT
  std::string ldap;      // PARVOX_NameObjToStringLDAP
  std::string ldapUtf8;  // PARVOX_NameObjToStringLDAPUTF8
};

const FormatCase kFormatCases[] = {
    {"worked example", {kC, kO, kCN}, "/C=JP/O=Org/CN=Taro", "CN=Taro,O=Org,C=JP", "CN=Taro,O=Org,C=JP"},
    {"multi-valued RDN",
     {{"CN", V_ASN1_UTF8STRING, bytes("a")}, {"CN", V_ASN1_UTF8STRING, bytes("b"), true}},
     "/CN=a,CN=b",
     "CN=a+CN=b",
     "CN=a+CN=b"},
    {"comma in a common name", {kC, {"CN", V_ASN1_UTF8STRING, bytes("Doe, John")}}, "/C=JP/CN=Doe, John",
     "CN=Doe, John,C=JP", "CN=Doe\\, John,C=JP"},
    {"every keyword of the table",
     {{"C", V_ASN1_PRINTABLESTRING, bytes("JP")},
      {"ST", V_ASN1_UTF8STRING, bytes("Tokyo")},
      {"L", V_ASN1_UTF8STRING, bytes("Chiyoda")},
      {"street", V_ASN1_UTF8STRING, bytes("1-1 Marunouchi")},
      {"O", V_ASN1_PRINTABLESTRING, bytes("Org")},
      {"OU", V_ASN1_BMPSTRING, ucs2({'D', 'e', 'v'})},
      {"title", V_ASN1_PRINTABLESTRING, bytes("Eng")},
      {"CN", V_ASN1_UTF8STRING, bytes("Taro")},
      {"emailAddress", V_ASN1_IA5STRING, bytes("taro@example.jp")}},
     "/C=JP/ST=Tokyo/L=Chiyoda/STREET=1-1 Marunouchi/O=Org/OU=Dev/TITLE=Eng/CN=Taro/E=taro@example.jp",
     "E=taro@example.jp,CN=Taro,TITLE=Eng,OU=Dev,O=Org,STREET=1-1 Marunouchi,L=Chiyoda,ST=Tokyo,C=JP",
     "E=taro@example.jp,CN=Taro,TITLE=Eng,OU=Dev,O=Org,STREET=1-1 Marunouchi,L=Chiyoda,ST=Tokyo,C=JP"},
    {"serialNumber in hex form",
     {kC, {"serialNumber", V_ASN1_PRINTABLESTRING, bytes("12")}},
     "/C=JP/2.5.4.5=#13023132",
     "2.5.4.5=#13023132,C=JP",
     "2.5.4.5=#13023132,C=JP"},
    {"unregistered identifier", {{"1.2.3.4", V_ASN1_UTF8STRING, bytes("x")}}, "/1.2.3.4=#0C0178", "1.2.3.4=#0C0178",
     "1.2.3.4=#0C0178"},
    {"large arc", {{"2.999.2147483647", V_ASN1_UTF8STRING, bytes("x")}}, "/2.999.2147483647=#0C0178",
     "2.999.2147483647=#0C0178", "2.999.2147483647=#0C0178"},
    {"escapes only in the UTF-8 form",
     {{"O", V_ASN1_UTF8STRING, bytes("#1 <Corp>;")}, {"CN", V_ASN1_BMPSTRING, ucs2({' ', 'a', '+', 'b', ' '})}},
     "/O=#1 <Corp>;/CN= a+b ",
     "CN= a+b ,O=#1 <Corp>;",
     "CN=\\ a\\+b\\ ,O=\\#1 \\<Corp\\>\\;"},
    {"country escaped as one whole value", {{"C", V_ASN1_PRINTABLESTRING, bytes(" J")}}, "/C= J", "C= J", "C=\\ J"},
    {"e-mail escaped in the UTF-8 form", {{"emailAddress", V_ASN1_IA5STRING, bytes("a+b@x")}}, "/E=a+b@x",
     "E=a+b@x", "E=a\\+b@x"},
    {"Japanese common name",
     {kC, {"CN", V_ASN1_BMPSTRING, ucs2({0x65E5, 0x672C})}},
     "/C=JP/CN=\xE6\x97\xA5\xE6\x9C\xAC",
     "CN=\xE6\x97\xA5\xE6\x9C\xAC,C=JP",
     "CN=\xE6\x97\xA5\xE6\x9C\xAC,C=JP"},
    {"universalString", {{"CN", V_ASN1_UNIVERSALSTRING, ucs4({0x1F600})}}, "/CN=\xF0\x9F\x98\x80",
     "CN=\xF0\x9F\x98\x80", "CN=\xF0\x9F\x98\x80"},
};

TEST_F(Formatters, Table) {
  for (const FormatCase &c : kFormatCases) {
    Name name = nameOf(c.avas);
    Call s = slash(name.get());
    ASSERT_EQ(s.status, 0) << c.what << " " << hexCode(s.err);
    EXPECT_EQ(text(s.out), c.slash) << c.what;
    Call t = txt(name.get());
    ASSERT_EQ(t.status, 0) << c.what << " " << hexCode(t.err);
    EXPECT_EQ(text(t.out), c.slash) << c.what;
    Call l = ldap(name.get(), false);
    ASSERT_EQ(l.status, 0) << c.what << " " << hexCode(l.err);
    EXPECT_EQ(text(l.out), c.ldap) << c.what;
    EXPECT_GE(l.size, static_cast<int32_t>(c.ldap.size()) + 1) << c.what;
    Call u = ldap(name.get(), true);
    ASSERT_EQ(u.status, 0) << c.what << " " << hexCode(u.err);
    EXPECT_EQ(text(u.out), c.ldapUtf8) << c.what;
    EXPECT_EQ(u.size, static_cast<int32_t>(c.ldapUtf8.size()) + 1) << c.what << ": exact with the NUL";
  }
}

TEST_F(Formatters, EmptyName) {
  Name name = nameFromDer({0x30, 0x00});
  Call l = ldap(name.get(), false);
  ASSERT_EQ(l.status, 0);
  EXPECT_EQ(l.size, 1);
  EXPECT_EQ(text(l.out), "");
  Call u = ldap(name.get(), true);
  EXPECT_EQ(u.size, 1);
  Call t = txt(name.get());
  EXPECT_EQ(t.size, 0);
  EXPECT_EQ(text(slash(name.get()).out), "");
}

TEST_F(Formatters, TxtSizeEqualsWrittenLength) {
  // String types whose text needs no conversion, so the size is exact.
  const std::vector<std::vector<Ava>> names = {
      {kC, kO, {"CN", V_ASN1_PRINTABLESTRING, bytes("Taro")}},
      {kC, {"serialNumber", V_ASN1_PRINTABLESTRING, bytes("12345")}, {"1.2.3.4.5.6", V_ASN1_IA5STRING, bytes("x")}},
      {{"emailAddress", V_ASN1_IA5STRING, bytes("x@y")}, {"street", V_ASN1_PRINTABLESTRING, bytes("Main")},
       {"OU", V_ASN1_T61STRING, bytes("t61")}},
  };
  for (const auto &avas : names) {
    Name name = nameOf(avas);
    Call t = txt(name.get());
    ASSERT_EQ(t.status, 0) << hexCode(t.err);
    EXPECT_EQ(t.size, static_cast<int32_t>(t.out.size())) << text(t.out);
  }
}

TEST_F(Formatters, CutAtTheCapacity) {
  Name name = nameOf({kC, kO, kCN});
  // PARVOX_NameObjToString: capacity - 1 bytes and a NUL.
  std::vector<char> buf(16, 'x');
  uint32_t err = 0;
  ASSERT_EQ(PARVOX_NameObjToString(name.get(), buf.data(), 8, &err), 0);
  EXPECT_EQ(std::string(buf.data()), "/C=JP/O");
  EXPECT_EQ(buf[8], 'x') << "nothing past the capacity";
  // TXT: at most the capacity, count written back.
  std::vector<char> tb(16, 'x');
  int32_t length = 9;
  ASSERT_EQ(PARVOX_NameObjToStringTXT(name.get(), tb.data(), &length, &err), 0);
  EXPECT_EQ(length, 9);
  EXPECT_EQ(std::string(tb.data(), 9), "/C=JP/O=O");
  EXPECT_EQ(tb[9], 'x');
  // LDAP: size - 1 bytes and a NUL, count untouched.
  std::vector<char> lb(16, 'x');
  int32_t size = 6;
  ASSERT_EQ(PARVOX_NameObjToStringLDAP(name.get(), lb.data(), &size, &err), 0);
  EXPECT_EQ(size, 6);
  EXPECT_EQ(std::string(lb.data()), "CN=Ta");
  EXPECT_EQ(lb[6], 'x');
  // A character is never split: the cut text stays a prefix of whole characters.
  Name jp = nameOf({{"CN", V_ASN1_BMPSTRING, ucs2({0x65E5, 0x672C})}});
  std::vector<char> jb(16, 'x');
  size = 7;  // "CN=" and one three-byte character fit, the second does not
  ASSERT_EQ(PARVOX_NameObjToStringLDAPUTF8(jp.get(), jb.data(), &size, &err), 0);
  EXPECT_EQ(std::string(jb.data()), "CN=\xE6\x97\xA5");
  // Capacity 0 and below write nothing and succeed.
  EXPECT_EQ(PARVOX_NameObjToString(name.get(), buf.data(), 0, &err), 0);
  size = 0;
  EXPECT_EQ(PARVOX_NameObjToStringLDAP(name.get(), lb.data(), &size, &err), 0);
}

// The declared capacity is an upper bound, not a promise: a 64-byte buffer
// declared as INT32_MAX gets the text and its NUL and nothing more.  The
// guard bytes around it (and the buffer's own unused tail) must keep their
// pattern.
TEST_F(Formatters, OverDeclaredCapacityWritesOnlyTheText) {
  Name name = nameOf({kC, kO, kCN});
  struct Writer {
    const char *what;
    std::string text;
    int32_t (*write)(X509NameHandle, char *, uint32_t *);
  };
  const Writer writers[] = {
      {"NameObjToString", "/C=JP/O=Org/CN=Taro",
       [](X509NameHandle n, char *b, uint32_t *e) { return PARVOX_NameObjToString(n, b, INT32_MAX, e); }},
      {"NameObjToStringTXT", "/C=JP/O=Org/CN=Taro",
       [](X509NameHandle n, char *b, uint32_t *e) {
         int32_t length = INT32_MAX;
         const int32_t r = PARVOX_NameObjToStringTXT(n, b, &length, e);
         EXPECT_EQ(length, 19) << "TXT reports the bytes written";
         return r;
       }},
      {"NameObjToStringLDAP", "CN=Taro,O=Org,C=JP",
       [](X509NameHandle n, char *b, uint32_t *e) {
         int32_t size = INT32_MAX;
         return PARVOX_NameObjToStringLDAP(n, b, &size, e);
       }},
      {"NameObjToStringLDAPUTF8", "CN=Taro,O=Org,C=JP",
       [](X509NameHandle n, char *b, uint32_t *e) {
         int32_t size = INT32_MAX;
         return PARVOX_NameObjToStringLDAPUTF8(n, b, &size, e);
       }},
  };
  constexpr size_t kGuard = 4096;
  constexpr size_t kBuffer = 64;
  for (const Writer &w : writers) {
    std::vector<char> region(kGuard + kBuffer + kGuard, '\x5A');
    char *buffer = region.data() + kGuard;
    uint32_t err = 0;
    ASSERT_EQ(w.write(name.get(), buffer, &err), 0) << w.what << " " << hexCode(err);
    EXPECT_EQ(std::string(buffer, w.text.size()), w.text) << w.what;
    EXPECT_EQ(buffer[w.text.size()], '\0') << w.what;
    const size_t end = kGuard + w.text.size() + 1;
    EXPECT_EQ(std::count(region.begin(), region.begin() + kGuard, '\x5A'), static_cast<long>(kGuard)) << w.what;
    EXPECT_EQ(std::count(region.begin() + static_cast<long>(end), region.end(), '\x5A'),
              static_cast<long>(region.size() - end))
        << w.what << ": nothing written past the NUL";
  }
}

TEST_F(Formatters, FailuresPassTheirCodeOn) {
  uint32_t err = 0;
  int32_t size = 0;
  EXPECT_EQ(PARVOX_NameObjToStringLDAP(nullptr, nullptr, &size, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_ARGUMENT);
  EXPECT_EQ(PARVOX_NameObjToStringLDAP(nullptr, nullptr, nullptr, &err), -1);
  EXPECT_EQ(err, PARVOX_ERR_ARGUMENT);
  EXPECT_EQ(PARVOX_NameObjToString(nullptr, nullptr, 10, &err), -1);
  EXPECT_EQ(err, PARVOX_ERR_ARGUMENT);
  // A bmpString holding a lone surrogate has no local form: the
  // converter's code.  The UTF-8 form writes the unit on its own.
  // (OpenSSL will not encode it, so the DER is written out here.)
  Name bad = nameFromDer({0x30, 0x0F, 0x31, 0x0D, 0x30, 0x0B, 0x06, 0x03, 0x55, 0x04, 0x03,  //
                          0x1E, 0x04, 0x00, 0x61, 0xD8, 0x00});
  Call l = ldap(bad.get(), false);
  EXPECT_EQ(l.status, -1);
  EXPECT_EQ(l.err, PARVOX_ERR_UCS2TOMBS_CONVERT) << hexCode(l.err);
  Call u = ldap(bad.get(), true);
  EXPECT_EQ(u.status, 0);
  EXPECT_EQ(text(u.out), "CN=a\xED\xA0\x80");
  // An e-mail that is no IA5String: the object library's code.
  Name mail = nameOf({{"emailAddress", V_ASN1_UTF8STRING, bytes("a@b")}});
  Call m = ldap(mail.get(), false);
  EXPECT_EQ(m.status, -1);
  EXPECT_EQ(m.err >> 16, 0x0146u) << hexCode(m.err);
}

TEST(FormattersInLocales, BmpStringCommonNameInShiftJis) {
  const std::string loc = sjisLocale();
  if (loc.empty()) TESTTOKEN_LOCALE_MISSING("a Shift-JIS locale");
  LocaleEnv env(loc.c_str());
  Name name = nameOf({kC, {"CN", V_ASN1_BMPSTRING, ucs2({0x65E5, 0x672C, 'A'})}});
  Call l = ldap(name.get(), false);
  ASSERT_EQ(l.status, 0) << hexCode(l.err);
  EXPECT_EQ(l.out, (Bytes{'C', 'N', '=', 0x93, 0xFA, 0x96, 0x7B, 'A', ',', 'C', '=', 'J', 'P'}));
  Call s = slash(name.get());
  EXPECT_EQ(s.out, (Bytes{'/', 'C', '=', 'J', 'P', '/', 'C', 'N', '=', 0x93, 0xFA, 0x96, 0x7B, 'A'}));
  // The UTF-8 form does not depend on the locale.
  Call u = ldap(name.get(), true);
  EXPECT_EQ(text(u.out), "CN=\xE6\x97\xA5\xE6\x9C\xAC" "A,C=JP");
}

TEST(FormattersInLocales, CLocale) {
  LocaleEnv env("C");
  Name ascii = nameOf({kC, kO, kCN});
  Call l = ldap(ascii.get(), false);
  ASSERT_EQ(l.status, 0);
  EXPECT_EQ(text(l.out), "CN=Taro,O=Org,C=JP");
  Name jp = nameOf({{"CN", V_ASN1_BMPSTRING, ucs2({0x65E5})}});
  Call j = ldap(jp.get(), false);
  EXPECT_EQ(j.status, -1) << "no C-locale form of a Japanese character";
  EXPECT_EQ(j.err, PARVOX_ERR_UCS2TOMBS_CONVERT);
  Call u = ldap(jp.get(), true);
  EXPECT_EQ(u.status, 0) << "UTF-8 needs no locale";
}

// ---- agreement with OpenSSL's RFC 2253 printing ----------------------------

std::string opensslRfc2253(X509_NAME *name) {
  BIO *bio = BIO_new(BIO_s_mem());
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
  char *data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<size_t>(len));
  BIO_free(bio);
  return out;
}

TEST_F(Formatters, AgreeWithOpenSslOnCommonTypes) {
  const std::vector<std::vector<Ava>> names = {
      {kC, kO, kCN},
      {{"C", V_ASN1_PRINTABLESTRING, bytes("US")},
       {"ST", V_ASN1_UTF8STRING, bytes("California")},
       {"L", V_ASN1_PRINTABLESTRING, bytes("San Francisco")},
       {"O", V_ASN1_UTF8STRING, bytes("Example, Inc.")},
       {"OU", V_ASN1_BMPSTRING, ucs2({'R', '&', 'D'})},
       {"CN", V_ASN1_UTF8STRING, bytes("www.example.com")}},
      {{"O", V_ASN1_UTF8STRING, bytes("A+B")}, {"CN", V_ASN1_UTF8STRING, bytes("x"), true}},
      {{"CN", V_ASN1_UTF8STRING, bytes("\"quoted\" <tag>; back\\slash")}},
      {{"CN", V_ASN1_UTF8STRING, bytes("#hash and trailing space ")}},
      {{"1.2.3.4", V_ASN1_UTF8STRING, bytes("unregistered")}},
  };
  for (const auto &avas : names) {
    OsslName o = opensslName(avas);
    const std::string expected = opensslRfc2253(o.get());
    Name name = nameFromDer(opensslDer(o.get()));
    Call u = ldap(name.get(), true);
    ASSERT_EQ(u.status, 0) << expected;
    EXPECT_EQ(text(u.out), expected);
  }
  // Without special characters the unescaped local form agrees as well.
  Name plain = nameOf({kC, kO, kCN});
  EXPECT_EQ(text(ldap(plain.get(), false).out), "CN=Taro,O=Org,C=JP");
}

// Where this library deliberately prints otherwise than OpenSSL.
TEST_F(Formatters, DeliberateDifferencesFromOpenSsl) {
  struct Difference {
    const char *why;
    std::vector<Ava> avas;
    std::string ours;      // PARVOX_NameObjToStringLDAPUTF8
    std::string openssl;   // X509_NAME_print_ex, XN_FLAG_RFC2253
  };
  const Difference diffs[] = {
      {"keyword E= for emailAddress", {{"emailAddress", V_ASN1_IA5STRING, bytes("a@b.jp")}}, "E=a@b.jp",
       "emailAddress=a@b.jp"},
      {"keyword STREET= for streetAddress", {{"street", V_ASN1_UTF8STRING, bytes("Main")}}, "STREET=Main",
       "street=Main"},
      {"keyword TITLE= for title", {{"title", V_ASN1_UTF8STRING, bytes("Eng")}}, "TITLE=Eng", "title=Eng"},
      {"types outside our table in hex form", {{"serialNumber", V_ASN1_PRINTABLESTRING, bytes("12")}},
       "2.5.4.5=#13023132", "serialNumber=12"},
      {"no hex escapes of non-ASCII", {{"CN", V_ASN1_UTF8STRING, bytes("\xE6\x97\xA5")}}, "CN=\xE6\x97\xA5",
       "CN=\\E6\\97\\A5"},
      {"no escapes of control characters", {{"CN", V_ASN1_UTF8STRING, bytes("a\nb")}}, "CN=a\nb", "CN=a\\0Ab"},
  };
  for (const Difference &d : diffs) {
    OsslName o = opensslName(d.avas);
    EXPECT_EQ(opensslRfc2253(o.get()), d.openssl) << d.why;
    Name name = nameFromDer(opensslDer(o.get()));
    EXPECT_EQ(text(ldap(name.get(), true).out), d.ours) << d.why;
  }
  // PARVOX_NameObjToStringLDAP escapes nothing at all.
  Name comma = nameOf({{"CN", V_ASN1_UTF8STRING, bytes("Doe, John")}});
  EXPECT_EQ(text(ldap(comma.get(), false).out), "CN=Doe, John");
}

}  // namespace
}  // namespace parvox_test
