// CompareDN against OpenSSL's X509_NAME_cmp on generated names: each base
// name is mangled in string types, letter case, surplus spaces and the
// order of AVAs inside multi-valued RDNs, and both must call the mangled
// names equal; changed values, dropped and swapped RDNs must be unequal
// to both.
//
// Where the two rules differ on purpose (RuleDifferences below):
// - OpenSSL's canonical form folds all ASCII white space (tab, LF, CR,
//   VT, FF) and collapses runs of it; ours treats only the space 0x20 as
//   a space, so "a\tb" and "a b" differ for us.
// - OpenSSL reads a TeletexString as Latin-1; ours reads it, as
//   printableString and ia5String, in the process's locale, so a byte
//   such as 0xE9 fails to convert in a C or UTF-8 locale.
// - Empty printable/bmp/universal/teletex/ia5 values and values that are
//   no DirectoryString (NumericString here) are errors for us, while
//   OpenSSL compares them (empty as empty, other types byte for byte).
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdlib>
#include <random>
#include <string>

#include "mirrel/mirrel.h"
#include "name_builder.h"

namespace mirrel_test {
namespace {

using S = StringType;

bool isPrintableStringText(const std::string &s) {
  return std::all_of(s.begin(), s.end(), [](char ch) {
    const auto u = static_cast<unsigned char>(ch);
    return u < 0x80 && (std::isalnum(u) || std::string_view(" '()+,-./:=?").find(ch) != std::string_view::npos);
  });
}
bool isAscii(const std::string &s) {
  return std::all_of(s.begin(), s.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
}

// Base names: realistic subjects, one of them Japanese, two with a
// multi-valued RDN.
std::vector<NameSpec> baseNames() {
  return {
      {{{NID_countryName, S::printable, "JP"}},
       {{NID_organizationName, S::utf8, "Example Corp"}},
       {{NID_organizationalUnitName, S::utf8, "Sales Dept"}},
       {{NID_commonName, S::utf8, "John Smith"}}},
      {{{NID_countryName, S::printable, "US"}},
       {{NID_stateOrProvinceName, S::utf8, "California"}},
       {{NID_localityName, S::utf8, "San Francisco"}},
       {{NID_organizationName, S::utf8, "Acme Widgets Inc."}},
       {{NID_organizationalUnitName, S::utf8, "Dev"}, {NID_commonName, S::utf8, "Alice Q Jones"}}},
      {{{NID_countryName, S::printable, "JP"}},
       {{NID_organizationName, S::utf8, "\xE5\xB1\xB1\xE7\x94\xB0\xE5\x95\x86\xE4\xBA\x8B"}},
       {{NID_commonName, S::utf8, "\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E"}}},
      {{{NID_domainComponent, S::ia5, "com"}},
       {{NID_domainComponent, S::ia5, "example"}},
       {{NID_organizationalUnitName, S::utf8, "People"},
        {NID_userId, S::utf8, "jdoe"},
        {NID_commonName, S::utf8, "Jane Doe"}}},
  };
}

class Mangler {
 public:
  explicit Mangler(uint32_t seed) : rng_(seed) {}

  NameSpec mangle(const NameSpec &base) {
    NameSpec out;
    for (const Rdn &rdn : base) {
      Rdn r;
      for (const Ava &ava : rdn) r.push_back(mangleAva(ava));
      std::shuffle(r.begin(), r.end(), rng_);
      out.push_back(std::move(r));
    }
    return out;
  }

 private:
  Ava mangleAva(Ava ava) {
    if (ava.nid == NID_countryName) return ava;  // PrintableString by definition
    std::string text = mangleCase(ava.text);
    text = mangleSpaces(text);
    std::vector<S> types{S::utf8, S::bmp, S::universal};
    if (isPrintableStringText(text)) types.push_back(S::printable);
    if (isAscii(text)) {
      types.push_back(S::ia5);
      types.push_back(S::teletex);
    }
    ava.type = types[pick(types.size())];
    ava.text = text;
    return ava;
  }

  std::string mangleCase(const std::string &s) {
    const std::size_t mode = pick(3);
    std::string out = s;
    for (std::size_t i = 0; i < out.size(); ++i) {
      const auto u = static_cast<unsigned char>(out[i]);
      if (u >= 0x80) continue;
      if (mode == 0) out[i] = static_cast<char>(std::toupper(u));
      if (mode == 1) out[i] = static_cast<char>(std::tolower(u));
      if (mode == 2 && pick(2) == 0) out[i] = static_cast<char>(std::isupper(u) ? std::tolower(u) : std::toupper(u));
    }
    return out;
  }

  std::string mangleSpaces(const std::string &s) {
    std::string out(pick(3), ' ');
    for (char ch : s) {
      out += ch;
      if (ch == ' ') out.append(pick(3), ' ');
    }
    out.append(pick(3), ' ');
    return out;
  }

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  std::mt19937 rng_;
};

struct Verdicts {
  int32_t ours;      // CompareDN result, or 1 when it failed
  uint32_t oursErr;
  int openssl;       // 0 when X509_NAME_cmp calls them equal
};

// b is written with its AVAs in the order given, a as OpenSSL sorts them
// (when keepOrder is set).
Verdicts judge(const NameSpec &a, const NameSpec &b, bool keepOrder = false) {
  const Bytes derA = derOf(a);
  const Bytes derB = keepOrder ? unsortedDerOf(b) : derOf(b);
  const unsigned char *pa = derA.data();
  const unsigned char *pb = derB.data();
  OsslName na(d2i_X509_NAME(nullptr, &pa, static_cast<long>(derA.size())));
  OsslName nb(d2i_X509_NAME(nullptr, &pb, static_cast<long>(derB.size())));
  EXPECT_TRUE(na && nb);
  const Name ourA(derA);
  const Name ourB(derB);
  Verdicts v{1, 0, X509_NAME_cmp(na.get(), nb.get())};
  int32_t result = 1;
  if (CompareDN(ourA.get(), ourB.get(), &result, &v.oursErr) == 0) v.ours = result;
  return v;
}

std::string describe(const NameSpec &spec) {
  std::string s;
  for (const Rdn &rdn : spec) {
    s += "/";
    for (std::size_t i = 0; i < rdn.size(); ++i) {
      if (i > 0) s += "+";
      s += std::string(OBJ_nid2sn(rdn[i].nid)) + "(" + typeName(rdn[i].type) + ")='" + rdn[i].text + "'";
    }
  }
  return s;
}

class AgreementTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("LC_ALL", "C", 1); }
  void TearDown() override {
    unsetenv("LC_ALL");
    std::setlocale(LC_CTYPE, "C");
  }
};

TEST_F(AgreementTest, ManglingsAreEqualToBoth) {
  Mangler mangler(4711);
  int pairs = 0;
  for (const NameSpec &base : baseNames()) {
    for (int i = 0; i < 150; ++i) {
      const NameSpec a = mangler.mangle(base);
      const NameSpec b = mangler.mangle(base);
      const Verdicts v = judge(a, b, i % 2 == 0);
      ASSERT_EQ(v.openssl, 0) << describe(a) << " vs " << describe(b);
      ASSERT_EQ(v.ours, 0) << describe(a) << " vs " << describe(b) << " err " << std::hex << v.oursErr;
      ++pairs;
    }
  }
  EXPECT_EQ(pairs, 600);
}

// Real differences must be seen by both.
TEST_F(AgreementTest, ChangedNamesAreUnequalToBoth) {
  Mangler mangler(815);
  for (const NameSpec &base : baseNames()) {
    for (int i = 0; i < 40; ++i) {
      const NameSpec a = mangler.mangle(base);
      std::vector<std::pair<NameSpec, std::string>> changed;

      NameSpec valueChanged = mangler.mangle(base);
      std::string &text = valueChanged.back().front().text;
      text.insert(text.size() / 2, "Q");
      changed.push_back({valueChanged, "value changed"});

      NameSpec dropped = mangler.mangle(base);
      dropped.erase(dropped.begin() + static_cast<long>(i % dropped.size()));
      changed.push_back({dropped, "RDN dropped"});

      NameSpec swapped = mangler.mangle(base);
      std::swap(swapped[0], swapped[1]);
      changed.push_back({swapped, "RDNs swapped"});

      NameSpec merged = mangler.mangle(base);
      merged[0].insert(merged[0].end(), merged[1].begin(), merged[1].end());
      merged.erase(merged.begin() + 1);
      changed.push_back({merged, "two RDNs merged into one"});

      for (const auto &[b, why] : changed) {
        const Verdicts v = judge(a, b, i % 2 == 0);
        ASSERT_NE(v.openssl, 0) << why << ": " << describe(a) << " vs " << describe(b);
        ASSERT_EQ(v.ours, -1) << why << ": " << describe(a) << " vs " << describe(b) << " err " << std::hex
                              << v.oursErr;
      }
    }
  }
}

TEST_F(AgreementTest, RuleDifferences) {
  const struct {
    Ava a;
    Ava b;
    bool opensslEqual;
    int32_t ours;  // 0 equal, -1 different, 1 error
    const char *why;
  } cases[] = {
      {{NID_commonName, S::utf8, "a\tb"}, {NID_commonName, S::utf8, "a b"}, true, -1,
       "OpenSSL folds tab into space; only 0x20 is a space for us"},
      {{NID_commonName, S::utf8, "ab\n"}, {NID_commonName, S::utf8, "ab"}, true, -1,
       "OpenSSL strips trailing LF"},
      {{NID_commonName, S::teletex, "caf\xE9", true}, {NID_commonName, S::utf8, "caf\xC3\xA9"}, true, 1,
       "OpenSSL reads T61 as Latin-1; we read it as locale text, which cannot hold 0xE9 in C"},
      {{NID_commonName, S::printable, ""}, {NID_commonName, S::utf8, ""}, true, 1,
       "an empty printableString is an error for us"},
      {{NID_serialNumber, S::numeric, "123"}, {NID_serialNumber, S::numeric, "123"}, true, 1,
       "NumericString is no DirectoryString choice for us"},
  };
  for (const auto &c : cases) {
    const Verdicts v = judge(NameSpec{{c.a}}, NameSpec{{c.b}});
    EXPECT_EQ(v.openssl == 0, c.opensslEqual) << c.why;
    EXPECT_EQ(v.ours, c.ours) << c.why;
  }
}

}  // namespace
}  // namespace mirrel_test
