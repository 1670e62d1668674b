// What an import decides, as one table of cases over values that a run
// would have read: no PKCS#11 module is loaded and no token started. Each
// row names its case, the inputs and the outcome the import must reach;
// the row's check calls the decision functions the run itself calls.
#include <gtest/gtest.h>

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <ostream>
#include <set>
#include <span>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decisions.h"
#include "key_id_text.h"
#include "replacement_plan.h"

namespace velkor::decide {
namespace {

using Bytes = std::vector<unsigned char>;

// ---- the inputs' vocabulary -----------------------------------------------------

struct Switches {
  bool subcn;
  bool issuerCheck;
  bool addition;
};

// The identifier texts as the run renders them and as the trust anchor
// file lists them.
const Bytes kCaKeyId = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA,
                        0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x01, 0x02, 0x03, 0x04};
const Bytes kOtherKeyId = {0x21, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA,
                           0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x01, 0x02, 0x03, 0x04};
const std::string kAnchorLine = "11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 00 01 02 03 04";
const std::string kOtherAnchorLine = "21 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 00 01 02 03 04";

std::string Rendered(const Bytes &id) { return RenderKeyIdHex(id); }
// kCaKeyId as the run renders a token certificate's subject key
// identifier, written out here rather than rendered.
const std::string kCaKeyIdText = "11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff 00 01 02 03 04\r\n";

const Bytes kSerial2002 = {0x07, 0xD2};
const Bytes kSerial2001 = {0x07, 0xD1};
const Bytes kModulus = {0xC3, 0x5A, 0x01, 0x77, 0x90};
const Bytes kModulusWithZero = {0x00, 0xC3, 0x5A, 0x01, 0x77, 0x90};
const Bytes kOtherModulus = {0xC3, 0x5A, 0x01, 0x77, 0x91};
const Bytes kExponent = {0x01, 0x00, 0x01};
const Bytes kOtherExponent = {0x03};

std::string Name(Relation r) {
  switch (r) {
    case Relation::kIssuerDiffers:
      return "issuer differs";
    case Relation::kOtherSubject:
      return "other subject";
    case Relation::kSameSerial:
      return "same serial";
    case Relation::kSameSubjectOtherSerial:
      return "same subject, other serial";
  }
  return "?";
}

std::string Name(CertificateFate f) {
  switch (f) {
    case CertificateFate::kPassOver:
      return "passed over";
    case CertificateFate::kKeep:
      return "kept";
    case CertificateFate::kDeleteCopy:
      return "deleted as a copy";
    case CertificateFate::kReplace:
      return "replaced";
  }
  return "?";
}

std::string Name(Acceptance a) {
  switch (a) {
    case Acceptance::kAccepted:
      return "accepted";
    case Acceptance::kNextCertificate:
      return "next certificate";
    case Acceptance::kRefused:
      return "refused";
    case Acceptance::kRefusedNoAnchorFile:
      return "refused, no trust anchor file";
  }
  return "?";
}

std::string Name(SubjectComparison c) { return c == SubjectComparison::kWholeName ? "whole name" : "common name"; }

std::string Yes(bool b) { return b ? "yes" : "no"; }

template <typename T>
std::string List(const std::vector<T> &values) {
  std::string text;
  for (const T &v : values) text += (text.empty() ? "" : " ") + std::to_string(v);
  return "[" + text + "]";
}

// What happens to a token certificate in a subject check: its relation,
// then its fate given the copies with the imported serial seen before.
std::string CertificateOutcome(bool sameIssuer, bool sameSubject, const Bytes &tokenSerial, const Bytes &importedSerial,
                               int copiesSeen) {
  Relation relation = RelationOf(sameIssuer, sameSubject, tokenSerial, importedSerial);
  return Name(relation) + " -> " + Name(FateOf(relation, copiesSeen));
}

// The three switches' effect: how the end entity and the CA are compared,
// the mismatch code, whether a subject mismatch goes to the addition.
std::string SwitchOutcome(Switches s) {
  const Finding mismatch = NoSameSubject(s.subcn);
  return "end entity by " + Name(ComparisonFor(s.subcn, true)) + ", CA by " + Name(ComparisonFor(s.subcn, false)) +
         ", mismatch " + std::to_string(RefusalCode(mismatch)) + ", addition " +
         Yes(AdditionApplies(mismatch, s.subcn, s.issuerCheck, s.addition));
}

// Keys planned for deletion once the kept certificate's keys are taken off.
template <typename T>
std::vector<T> AfterKeeping(std::vector<T> planned, const std::vector<T> &kept) {
  const int count = WithoutKept(std::span<T>(planned), static_cast<int>(planned.size()), std::span<const T>(kept));
  for (size_t i = static_cast<size_t>(count); i < planned.size(); ++i) {
    if (planned[i] != T{}) return {T{999999}};  // a freed entry that was not cleared
  }
  planned.resize(static_cast<size_t>(count));
  return planned;
}

std::string LeftoverOutcome(const Bytes &modulus, const Bytes &exponent, const std::string &id,
                            const std::vector<std::string> &stayingCertificateIds) {
  return IsLeftoverKey(modulus, exponent, id, kModulus, kExponent, stayingCertificateIds) ? "deleted after the writes"
                                                                                          : "left alone";
}

// ---- the table ------------------------------------------------------------------

struct Row {
  const char *name;
  std::function<std::string()> outcome;
  std::string expected;
};

const std::vector<Row> &Table() {
  static const std::vector<Row> rows = {
      // Every combination of the three switches.
      {"SubdnIschkoffAddon", [] { return SwitchOutcome({false, false, true}); },
       "end entity by whole name, CA by whole name, mismatch -3, addition yes"},
      {"SubdnIschkoffAddoff", [] { return SwitchOutcome({false, false, false}); },
       "end entity by whole name, CA by whole name, mismatch -3, addition no"},
      {"SubdnIschkonAddon", [] { return SwitchOutcome({false, true, true}); },
       "end entity by whole name, CA by whole name, mismatch -3, addition no"},
      {"SubdnIschkonAddoff", [] { return SwitchOutcome({false, true, false}); },
       "end entity by whole name, CA by whole name, mismatch -3, addition no"},
      {"SubcnIschkoffAddon", [] { return SwitchOutcome({true, false, true}); },
       "end entity by common name, CA by whole name, mismatch -14, addition no"},
      {"SubcnIschkoffAddoff", [] { return SwitchOutcome({true, false, false}); },
       "end entity by common name, CA by whole name, mismatch -14, addition no"},
      {"SubcnIschkonAddon", [] { return SwitchOutcome({true, true, true}); },
       "end entity by common name, CA by whole name, mismatch -14, addition no"},
      {"SubcnIschkonAddoff", [] { return SwitchOutcome({true, true, false}); },
       "end entity by common name, CA by whole name, mismatch -14, addition no"},
      {"IssuerMismatchNeverGoesToTheAddition", [] { return Yes(AdditionApplies(Finding::kIssuerDiffers, false, false, true)); }, "no"},
      {"SuccessNeverGoesToTheAddition", [] { return Yes(AdditionApplies(Finding::kSameSubject, false, false, true)); }, "no"},

      // A token certificate and the one being imported.
      {"SameSerialFirstCopyIsKept", [] { return CertificateOutcome(true, true, kSerial2002, kSerial2002, 0); },
       "same serial -> kept"},
      {"SameSerialSecondCopyGoesWithItsKeys", [] { return CertificateOutcome(true, true, kSerial2002, kSerial2002, 1); },
       "same serial -> deleted as a copy"},
      {"SameSerialThirdCopyGoesToo", [] { return CertificateOutcome(true, true, kSerial2002, kSerial2002, 2); },
       "same serial -> deleted as a copy"},
      {"OlderCertificateOfTheSubjectIsReplaced",
       [] { return CertificateOutcome(true, true, kSerial2001, kSerial2002, 0); }, "same subject, other serial -> replaced"},
      {"OlderCertificateAfterAKeptCopyIsReplaced",
       [] { return CertificateOutcome(true, true, kSerial2001, kSerial2002, 1); }, "same subject, other serial -> replaced"},
      {"SerialEncodingsAreComparedAsTheyAre",
       [] { return CertificateOutcome(true, true, Bytes{0x00, 0x07, 0xD2}, kSerial2002, 0); },
       "same subject, other serial -> replaced"},
      {"OtherSubjectIsPassedOver", [] { return CertificateOutcome(true, false, kSerial2002, kSerial2002, 0); },
       "other subject -> passed over"},
      {"IssuerDiffersWithTheSameSubject", [] { return CertificateOutcome(false, true, kSerial2001, kSerial2002, 0); },
       "issuer differs -> passed over"},
      {"IssuerDiffersBeforeTheSubjectCounts",
       [] { return CertificateOutcome(false, false, kSerial2001, kSerial2002, 0); }, "issuer differs -> passed over"},

      // The common-name rule under SUBCN.
      {"SameCommonNameMatches", [] { return Yes(SameCommonName("Taro Yamada", "Taro Yamada")); }, "yes"},
      {"OtherCommonNameDiffers", [] { return Yes(SameCommonName("Taro Yamada", "Hanako Sato")); }, "no"},
      {"CommonNamePrefixDiffers", [] { return Yes(SameCommonName("Taro", "Taro Yamada")); }, "no"},
      {"NamesWithoutCommonNameNeverMatch", [] { return Yes(SameCommonName(std::nullopt, std::nullopt)); }, "no"},
      {"OneNameWithoutCommonName", [] { return Yes(SameCommonName("Taro Yamada", std::nullopt)); }, "no"},
      {"EmptyCommonNamesMatch", [] { return Yes(SameCommonName("", "")); }, "yes"},
      {"CommonNamesDifferingAfterANul",
       [] { return Yes(SameCommonName(std::string_view("Taro\0A", 6), std::string_view("Taro\0B", 6))); }, "no"},

      // The trust anchor file.
      {"AnchorFileListsTheIdentifier",
       [] { return Yes(AnchorListLists(kOtherAnchorLine + "\n" + kAnchorLine + "\n", Rendered(kCaKeyId))); }, "yes"},
      {"AnchorFileWithCrLf", [] { return Yes(AnchorListLists(kAnchorLine + "\r\n", Rendered(kCaKeyId))); }, "yes"},
      {"AnchorLastLineWithoutLineEnd", [] { return Yes(AnchorListLists("\n" + kAnchorLine, Rendered(kCaKeyId))); },
       "yes"},
      {"AnchorLowerCaseLine",
       [] {
         std::string lower = kAnchorLine;
         for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
         return Yes(AnchorListLists(lower + "\n", Rendered(kCaKeyId)));
       },
       "yes"},
      {"AnchorFileListsOnlyAnother", [] { return Yes(AnchorListLists(kOtherAnchorLine + "\n", Rendered(kCaKeyId))); },
       "no"},
      {"AnchorLineWithATrailingBlankIsNoLine",
       [] { return Yes(AnchorListLists(kAnchorLine + " \n", Rendered(kCaKeyId))); }, "no"},
      {"AnchorLineWithoutBlanksIsNoLine",
       [] { return Yes(AnchorListLists("112233445566778899AABBCCDDEEFF0001020304\n", Rendered(kCaKeyId))); }, "no"},
      {"EmptyAnchorFile", [] { return Yes(AnchorListLists("", Rendered(kCaKeyId))); }, "no"},

      // The addition procedure.
      {"NewCaWithItsKeyIdListedIsAccepted", [] { return Name(AcceptNewCa(Anchor::kListed)); }, "accepted"},
      {"NewCaNotListedIsRefused", [] { return Name(AcceptNewCa(Anchor::kNotListed)); }, "refused"},
      {"NewCaWithoutKeyIdIsRefused", [] { return Name(AcceptNewCa(Anchor::kNoIdentifier)); }, "refused"},
      {"NewCaWithoutAnchorFile", [] { return Name(AcceptNewCa(Anchor::kNoFile)); }, "refused, no trust anchor file"},
      {"SameCommonNameFromATrustedIssuerIsReplaced",
       [] { return Name(AcceptTokenCertificate(true, Anchor::kListed)); }, "accepted"},
      {"SameCommonNameFromAnUntrustedIssuer",
       [] { return Name(AcceptTokenCertificate(true, Anchor::kNotListed)); }, "next certificate"},
      {"SameCommonNameWithoutAuthorityKeyId",
       [] { return Name(AcceptTokenCertificate(true, Anchor::kNoIdentifier)); }, "next certificate"},
      {"SameCommonNameWithoutAnchorFile", [] { return Name(AcceptTokenCertificate(true, Anchor::kNoFile)); },
       "refused, no trust anchor file"},
      {"OtherCommonNameIsPassedOver", [] { return Name(AcceptTokenCertificate(false, Anchor::kListed)); },
       "next certificate"},
      {"IssuingCaFoundByItsSubjectKeyId",
       [] { return Name(AcceptIssuingCa(Rendered(kCaKeyId), kCaKeyIdText)); }, "accepted"},
      {"IssuingCaKeyIdOfAnotherCa", [] { return Name(AcceptIssuingCa(Rendered(kCaKeyId), Rendered(kOtherKeyId))); },
       "next certificate"},
      {"CertificateWithoutSubjectKeyIdIsSkippedNotTheEnd",
       [] { return Name(AcceptIssuingCa(Rendered(kCaKeyId), std::nullopt)); }, "next certificate"},

      // What stays and what goes.
      {"KeysOfTheKeptCertificateLeaveTheDeleteList",
       [] { return List(AfterKeeping<CK_OBJECT_HANDLE>({7, 3, 9}, {3})); }, "[7 9]"},
      {"KeptKeyPlannedTwiceIsNeverDeleted",
       [] { return List(AfterKeeping<CK_OBJECT_HANDLE>({3, 5, 3}, {3})); }, "[5]"},
      {"NothingKeptLeavesThePlan", [] { return List(AfterKeeping<CK_OBJECT_HANDLE>({7, 3, 9}, {})); }, "[7 3 9]"},
      {"EveryPlannedKeyKept", [] { return List(AfterKeeping<CK_OBJECT_HANDLE>({7, 3}, {3, 7})); }, "[]"},
      {"KeptEndEntityAndCaCertificatesStay", [] { return List(AfterKeeping<int>({0, 2, 4, 5}, {2, 5})); }, "[0 4]"},
      {"NoKeptCertificateTakesNothingOff", [] { return List(AfterKeeping<int>({0, 2}, {-1, -1})); }, "[0 2]"},
      {"CompletedCertificateLendsItsIdentifier", [] { return std::string(ReusedIdentifier(false, "kept-id")); },
       "kept-id"},
      {"FreshCertificateGetsAFreshIdentifier", [] { return std::string(ReusedIdentifier(true, "kept-id")); }, ""},
      {"NoKeptCertificateNoReuse", [] { return std::string(ReusedIdentifier(false, "")); }, ""},
      {"LeftoverKeyUnderAnUncarriedIdIsDeleted",
       [] { return LeftoverOutcome(kModulus, kExponent, "interrupted", {"01", "02"}); }, "deleted after the writes"},
      {"LeftoverKeyWithLeadingZeroIsDeleted",
       [] { return LeftoverOutcome(kModulusWithZero, kExponent, "interrupted", {"01"}); }, "deleted after the writes"},
      {"KeyUnderAStayingCertificatesIdStays", [] { return LeftoverOutcome(kModulus, kExponent, "01", {"01", "02"}); },
       "left alone"},
      {"KeyUnderTheIdOfACertificateThatGoesIsDeleted",
       [] { return LeftoverOutcome(kModulus, kExponent, "01", {"02"}); }, "deleted after the writes"},
      {"LeftoverWithoutIdIsDeleted", [] { return LeftoverOutcome(kModulus, kExponent, "", {"01"}); },
       "deleted after the writes"},
      {"LeftoverWithoutIdOnATokenWithoutCertificatesIsDeleted",
       [] { return LeftoverOutcome(kModulus, kExponent, "", {}); }, "deleted after the writes"},
      {"KeyOfOtherMaterialStays", [] { return LeftoverOutcome(kOtherModulus, kExponent, "interrupted", {"01"}); },
       "left alone"},
      {"KeyOfOtherExponentStays", [] { return LeftoverOutcome(kModulus, kOtherExponent, "interrupted", {"01"}); },
       "left alone"},
  };
  return rows;
}

class Decisions : public ::testing::TestWithParam<Row> {};

TEST_P(Decisions, Outcome) { EXPECT_EQ(GetParam().outcome(), GetParam().expected); }

void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }

INSTANTIATE_TEST_SUITE_P(Table, Decisions, ::testing::ValuesIn(Table()),
                         [](const ::testing::TestParamInfo<Row> &param) { return std::string(param.param.name); });

// Every row is named once, and every outcome each decision can reach is
// what some row expects.
TEST(DecisionTable, HasEveryCaseOnce) {
  std::set<std::string> names;
  std::vector<std::string> expected;
  for (const Row &row : Table()) {
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    expected.push_back(row.expected);
  }
  auto expectedSomewhere = [&](const std::string &outcome, bool whole) {
    return std::ranges::any_of(expected, [&](const std::string &e) {
      return whole ? e == outcome : e.find(outcome) != std::string::npos;
    });
  };
  for (Relation r : {Relation::kIssuerDiffers, Relation::kOtherSubject, Relation::kSameSerial,
                     Relation::kSameSubjectOtherSerial}) {
    EXPECT_TRUE(expectedSomewhere(Name(r) + " -> ", false)) << Name(r);
  }
  for (CertificateFate f :
       {CertificateFate::kPassOver, CertificateFate::kKeep, CertificateFate::kDeleteCopy, CertificateFate::kReplace}) {
    EXPECT_TRUE(expectedSomewhere(" -> " + Name(f), false)) << Name(f);
  }
  for (Acceptance a :
       {Acceptance::kAccepted, Acceptance::kNextCertificate, Acceptance::kRefused, Acceptance::kRefusedNoAnchorFile}) {
    EXPECT_TRUE(expectedSomewhere(Name(a), true)) << Name(a);
  }
  for (SubjectComparison c : {SubjectComparison::kWholeName, SubjectComparison::kCommonName}) {
    EXPECT_TRUE(expectedSomewhere("end entity by " + Name(c), false)) << Name(c);
  }
  for (const char *outcome : {"yes", "no"}) EXPECT_TRUE(expectedSomewhere(outcome, true)) << outcome;
}

// The module kind comes from the module text alone, and the delete lists
// never hold an entry twice nor beyond their capacity.
TEST(ReplacementPlanTest, ModuleKindAndBoundedListsFreeOfDuplicates) {
  ReplacementPlan plan;
  plan.Reset("/usr/lib/tkvault11.dll");
  EXPECT_EQ(plan.moduleKind, 2);
  plan.Reset(kDefaultModuleName);
  EXPECT_EQ(plan.moduleKind, 1);
  plan.Reset("pkcs11:token=Card?module-path=tkvault11.dll");
  EXPECT_EQ(plan.moduleKind, 2);
  EXPECT_TRUE(plan.AddCertDelete(3));
  EXPECT_TRUE(plan.AddCertDelete(3));
  EXPECT_EQ(plan.certDeleteCount, 1);
  for (CK_OBJECT_HANDLE h = 1; h <= ReplacementPlan::kListCapacity; ++h) ASSERT_TRUE(plan.AddPublicKeyDelete(h));
  EXPECT_TRUE(plan.AddPublicKeyDelete(1));
  EXPECT_FALSE(plan.AddPublicKeyDelete(9999));
  EXPECT_EQ(plan.publicKeyDeleteCount, ReplacementPlan::kListCapacity);
}

}  // namespace
}  // namespace velkor::decide
