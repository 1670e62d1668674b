// GetTypicalDN through the exported interface, on names built by OpenSSL
// and loaded into the object library.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <string>

#include "mirrel/mirrel.h"
#include "name_builder.h"

namespace mirrel_test {
namespace {

struct Outcome {
  int32_t rc;
  uint32_t err;
};

Outcome typical(const Name &source, const Name &destination) {
  uint32_t err = 0;
  const int32_t rc = GetTypicalDN(source.get(), destination.get(), &err);
  return {rc, err};
}

std::string hex(const Bytes &b) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
    s += ' ';
  }
  return s;
}

// Locale text is read in the system default locale; the tests pin it.
class TypicalDnTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("LC_ALL", "C", 1); }
  void TearDown() override {
    unsetenv("LC_ALL");
    std::setlocale(LC_CTYPE, "C");
  }
};

// ----------------------------------------------------------- value forms

TEST_F(TypicalDnTest, ValuesBecomeNormalisedUtf8Strings) {
  const struct {
    StringType type;
    std::string text;
    std::string typical;
  } cases[] = {
      {StringType::printable, "  john   smith ", "JOHN SMITH"},
      {StringType::utf8, "JOHN SMITH", "JOHN SMITH"},
      {StringType::bmp, "Tanaka  Taro", "TANAKA TARO"},
      {StringType::universal, "x\xF0\x9F\x98\x80y", "X\xF0\x9F\x98\x80Y"},
      {StringType::bmp, "\xE6\x97\xA5\xE6\x9C\xAC \xE5\xA4\xAA\xE9\x83\x8E", "\xE6\x97\xA5\xE6\x9C\xAC \xE5\xA4\xAA\xE9\x83\x8E"},
      {StringType::teletex, "abc  d", "ABC D"},
      {StringType::ia5, "user@example.com", "USER@EXAMPLE.COM"},
      {StringType::printable, "   ", ""},
      {StringType::utf8, "", ""},
      {StringType::utf8, "  ", ""},
      {StringType::utf8, "\xEF\xBD\x81\xE3\x80\x80x", "\xEF\xBD\x81\xE3\x80\x80X"},  // full width, ideographic space
      {StringType::utf8, "a\tb", "A\tB"},
      {StringType::utf8, "caf\xC3\xA9", "CAF\xC3\xA9"},
  };
  for (const auto &c : cases) {
    const Name source(NameSpec{{{NID_commonName, c.type, c.text}}});
    const Name destination;
    const Outcome out = typical(source, destination);
    ASSERT_EQ(out.rc, 0) << typeName(c.type) << " '" << c.text << "' err " << std::hex << out.err;
    ASSERT_EQ(rdnCount(destination), 1u);
    ASSERT_EQ(avaCount(destination, 0), 1u);
    EXPECT_EQ(hex(avaValue(destination, 0, 0)), hex(utf8StringDer(c.typical)))
        << typeName(c.type) << " '" << c.text << "'";
    EXPECT_EQ(avaArcs(destination, 0, 0), (std::vector<int32_t>{2, 5, 4, 3}));
  }
}

TEST_F(TypicalDnTest, JohnSmithExampleEncodesAsTheSpecifiedBytes) {
  const Name printable(NameSpec{{{NID_commonName, StringType::printable, "  john   smith "}}});
  const Name utf8(NameSpec{{{NID_commonName, StringType::utf8, "JOHN SMITH"}}});
  const Name a;
  const Name b;
  ASSERT_EQ(typical(printable, a).rc, 0);
  ASSERT_EQ(typical(utf8, b).rc, 0);
  const Bytes expected{0x0C, 0x0A, 'J', 'O', 'H', 'N', ' ', 'S', 'M', 'I', 'T', 'H'};
  EXPECT_EQ(avaValue(a, 0, 0), expected);
  EXPECT_EQ(avaValue(b, 0, 0), expected);
  EXPECT_EQ(a.der(), b.der());
}

TEST_F(TypicalDnTest, RejectedValues) {
  const auto one = [](const Ava &ava) { return derOf(NameSpec{{ava}}); };
  const struct {
    Bytes der;
    uint32_t code;
    const char *reason;
  } cases[] = {
      {one({NID_commonName, StringType::printable, ""}), MIRREL_ERR_ARGUMENT, "empty printableString"},
      {one({NID_commonName, StringType::teletex, ""}), MIRREL_ERR_ARGUMENT, "empty teletexString"},
      {one({NID_pkcs9_emailAddress, StringType::ia5, ""}), MIRREL_ERR_ARGUMENT, "empty ia5String"},
      {one({NID_commonName, StringType::bmp, ""}), MIRREL_ERR_ARGUMENT, "empty bmpString"},
      {one({NID_commonName, StringType::universal, ""}), MIRREL_ERR_ARGUMENT, "empty universalString"},
      {rawValueNameDer(NID_commonName, 0x1E, std::string("\0A\0", 3)), MIRREL_ERR_ARGUMENT,
       "bmpString of odd length"},
      {rawValueNameDer(NID_commonName, 0x1C, std::string("\0\0\0A\0\0", 6)), MIRREL_ERR_ARGUMENT,
       "universalString not a multiple of 4"},
      {one({NID_commonName, StringType::teletex, "caf\xE9", true}), MIRREL_ERR_ARGUMENT,
       "byte the C locale cannot convert"},
  };
  for (const auto &c : cases) {
    const Name source(c.der);
    const Name destination;
    const Outcome out = typical(source, destination);
    EXPECT_EQ(out.rc, -1) << c.reason;
    EXPECT_EQ(out.err, c.code) << c.reason;
  }
}

// A value that is no DirectoryString fails with the object library's own
// decoding code, passed on unchanged.
TEST_F(TypicalDnTest, ValueOfAnotherTypePassesTheLibraryCodeOn) {
  const Name source(NameSpec{{{NID_commonName, StringType::numeric, "123"}}});
  const Name destination;
  const Outcome out = typical(source, destination);
  EXPECT_EQ(out.rc, -1);
  EXPECT_NE(out.err, MIRREL_ERR_ARGUMENT);
  EXPECT_EQ(out.err & 0xFFFF0000u, 0x01460000u) << std::hex << out.err;
}

TEST_F(TypicalDnTest, LocaleTextIsReadInTheSystemLocale) {
  setenv("LC_ALL", "C.UTF-8", 1);
  const Name source(NameSpec{{{NID_commonName, StringType::teletex, "caf\xC3\xA9 x"}}});
  const Name destination;
  ASSERT_EQ(typical(source, destination).rc, 0);
  EXPECT_EQ(avaValue(destination, 0, 0), utf8StringDer("CAF\xC3\xA9 X"));
}

TEST_F(TypicalDnTest, LongLocaleTextIsConvertedWhole) {
  std::string text(3000, 'q');
  text[1500] = ' ';
  const Name source(NameSpec{{{NID_organizationName, StringType::printable, text}}});
  const Name destination;
  ASSERT_EQ(typical(source, destination).rc, 0);
  std::string expected(3000, 'Q');
  expected[1500] = ' ';
  EXPECT_EQ(avaValue(destination, 0, 0), utf8StringDer(expected));
}

TEST_F(TypicalDnTest, NulInsideAValueIsKept) {
  const Name source(NameSpec{{{NID_commonName, StringType::ia5, std::string("alice\0mallory", 13), true}}});
  const Name destination;
  ASSERT_EQ(typical(source, destination).rc, 0);
  EXPECT_EQ(avaValue(destination, 0, 0), utf8StringDer(std::string("ALICE\0MALLORY", 13)));
}

// ------------------------------------------------------------- AVA order

TEST_F(TypicalDnTest, AvasInsideAnRdnAreOrdered) {
  const struct {
    Rdn rdn;
    std::vector<std::string> typicalOrder;
    const char *why;
  } cases[] = {
      {{{NID_organizationName, StringType::utf8, "b"}, {NID_commonName, StringType::utf8, "a"}},
       {"A", "B"},
       "CN (2.5.4.3) before O (2.5.4.10)"},
      {{{NID_commonName, StringType::utf8, "AAA"}, {NID_commonName, StringType::printable, "zz"}},
       {"ZZ", "AAA"},
       "same type: shorter value first"},
      {{{NID_commonName, StringType::utf8, "ab"}, {NID_commonName, StringType::bmp, "AA"}},
       {"AA", "AB"},
       "same type and length: by bytes"},
      {{{NID_pkcs9_emailAddress, StringType::ia5, "x@y"}, {NID_commonName, StringType::utf8, "q"}},
       {"X@Y", "Q"},
       "1.2.840... before 2.5.4.3"},
  };
  for (const auto &c : cases) {
    const Name source(NameSpec{c.rdn});
    const Name destination;
    ASSERT_EQ(typical(source, destination).rc, 0) << c.why;
    ASSERT_EQ(avaCount(destination, 0), c.typicalOrder.size()) << c.why;
    for (uint32_t j = 0; j < c.typicalOrder.size(); ++j) {
      EXPECT_EQ(avaValue(destination, 0, j), utf8StringDer(c.typicalOrder[j])) << c.why;
    }
  }
}

TEST_F(TypicalDnTest, RdnWithMoreThanEightAvasIsKeptWhole) {
  Rdn rdn;
  for (char c = 'j'; c >= 'a'; --c) rdn.push_back({NID_organizationalUnitName, StringType::printable, std::string(1, c)});
  const Name source(NameSpec{rdn});
  const Name destination;
  ASSERT_EQ(typical(source, destination).rc, 0);
  ASSERT_EQ(avaCount(destination, 0), 10u);
  for (uint32_t j = 0; j < 10; ++j) {
    EXPECT_EQ(avaValue(destination, 0, j), utf8StringDer(std::string(1, static_cast<char>('A' + j))));
  }
}

// ----------------------------------------------------------- whole names

TEST_F(TypicalDnTest, WholeNameMatchesOpenSslsEncodingOfTheTypicalForm) {
  const NameSpec source{{{NID_countryName, StringType::printable, "jp"}},
                        {{NID_organizationName, StringType::bmp, " example  corp "}},
                        {{NID_organizationalUnitName, StringType::teletex, "sales"}},
                        {{NID_commonName, StringType::universal, "\xE5\xB1\xB1\xE7\x94\xB0 hanako"}}};
  const NameSpec expected{{{NID_countryName, StringType::utf8, "JP"}},
                          {{NID_organizationName, StringType::utf8, "EXAMPLE CORP"}},
                          {{NID_organizationalUnitName, StringType::utf8, "SALES"}},
                          {{NID_commonName, StringType::utf8, "\xE5\xB1\xB1\xE7\x94\xB0 HANAKO"}}};
  const Name name(source);
  const Name destination;
  ASSERT_EQ(typical(name, destination).rc, 0);
  EXPECT_EQ(hex(destination.der()), hex(derOf(expected)));
}

TEST_F(TypicalDnTest, NameWithoutRdnsLeavesTheDestinationEmpty) {
  const Name source(NameSpec{});
  const Name destination;
  ASSERT_EQ(typical(source, destination).rc, 0);
  EXPECT_EQ(rdnCount(destination), 0u);
}

TEST_F(TypicalDnTest, EmptyRdnStaysAnEmptyRdn) {
  // SEQUENCE { SET {} , SET { CN=a } } written out by hand: OpenSSL
  // cannot build a name with an empty RDN.
  Bytes cn = derOf(NameSpec{{{NID_commonName, StringType::utf8, "a"}}});
  Bytes der(cn.size() + 2);
  der[0] = 0x30;
  der[1] = static_cast<unsigned char>(cn.size());
  der[2] = 0x31;
  der[3] = 0x00;
  std::copy(cn.begin() + 2, cn.end(), der.begin() + 4);
  const Name source(der);
  const Name destination;
  ASSERT_EQ(rdnCount(source), 2u);
  ASSERT_EQ(typical(source, destination).rc, 0);
  ASSERT_EQ(rdnCount(destination), 2u);
  EXPECT_EQ(avaCount(destination, 0), 0u);
  EXPECT_EQ(avaValue(destination, 1, 0), utf8StringDer("A"));
}

TEST_F(TypicalDnTest, FailureKeepsTheRdnsAlreadyAppended) {
  const Name source(NameSpec{{{NID_countryName, StringType::printable, "JP"}},
                             {{NID_commonName, StringType::printable, ""}}});
  const Name destination;
  const Outcome out = typical(source, destination);
  EXPECT_EQ(out.rc, -1);
  EXPECT_EQ(out.err, MIRREL_ERR_ARGUMENT);
  EXPECT_EQ(rdnCount(destination), 1u);
}

// ------------------------------------------------------------- arguments

TEST_F(TypicalDnTest, MissingArguments) {
  const Name source(NameSpec{{{NID_commonName, StringType::utf8, "a"}}});
  const Name destination;
  EXPECT_EQ(GetTypicalDN(source.get(), destination.get(), nullptr), -1);
  EXPECT_EQ(rdnCount(destination), 0u) << "nothing happens without an error code pointer";
  const struct {
    X509NameHandle source;
    X509NameHandle destination;
    const char *reason;
  } cases[] = {
      {nullptr, destination.get(), "no source"},
      {source.get(), nullptr, "no destination"},
      {source.get(), source.get(), "destination is the source"},
  };
  for (const auto &c : cases) {
    uint32_t err = 0;
    EXPECT_EQ(GetTypicalDN(c.source, c.destination, &err), -1) << c.reason;
    EXPECT_EQ(err, MIRREL_ERR_ARGUMENT) << c.reason;
  }
  EXPECT_EQ(rdnCount(source), 1u);
}

TEST_F(TypicalDnTest, ErrorCodeUntouchedOnSuccess) {
  const Name source(NameSpec{{{NID_commonName, StringType::utf8, "a"}}});
  const Name destination;
  uint32_t err = 0xA5A5A5A5u;
  ASSERT_EQ(GetTypicalDN(source.get(), destination.get(), &err), 0);
  EXPECT_EQ(err, 0xA5A5A5A5u);
}

}  // namespace
}  // namespace mirrel_test
