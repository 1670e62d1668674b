// Whole plans: the import's check run against recorded tokens.  Each row is
// a token as another application or an earlier run left it, a PKCS#12 file
// and the switches; the check, handed a reader that replays what a SoftHSM
// token answered, must come to the row's plan: the objects it would write,
// delete and keep, or the refusal.  No module is loaded when the rows are
// checked.  The recordings, files and trust anchor lists are checked in
// under plans/; GOLDEN_PLAN_RECORD=1 seeds a SoftHSM token for every row
// and records them afresh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "check.h"
#include "file_contents.h"
#include "testtoken/recorded_reader.h"
#include "token/smart_card_reader.h"
#include "velkor_fixture.h"

namespace velkor_test {
namespace {

namespace fs = std::filesystem;
using testtoken::P11Session;
using velkor::CheckInputs;
using velkor::FileContents;
using velkor::ImportSwitches;
using velkor::Plan;
using velkor::PlannedChanges;
using velkor::PlannedObject;

const fs::path kPlanFolder = VELKOR_PLAN_DIR;

constexpr char kSubjectMismatch[] = "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる";
constexpr char kSubjectCnMismatch[] = "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトCNが異なる";
constexpr char kIssuerMismatch[] = "error:Kivo内の証明書とPKCS#12のイシュアが異なる。";
constexpr char kAddition[] = "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる（追加処理）";
constexpr char kNoAnchorFile[] =
    "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる（追加処理：信頼点ファイルが存在しません）";

// ---- what the rows are made of (only when recording) ----------------------

// The certificates the rows need beside the shared PKI's.
struct Extras {
  const Pki &pki = SharedPki();
  testtoken::Name movedName =
      testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test Moved"}, {"CN", "Taro Yamada"}});
  // The same common name under another organisation: a changed subject.
  testtoken::Certificate moved = pki.Issue(movedName, 2001, pki.newKey);
  // The old certificate's subject without a common name.
  testtoken::Certificate noCommonName =
      pki.Issue(testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}}), 3001, pki.oldKey);
  // Another holder's set, which no row may touch.
  testtoken::Certificate otherHolder = pki.Issue(
      testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "Hanako Suzuki"}}), 4001, pki.oldKey);
  // A CA of another name, and the old subject issued by it.
  testtoken::CertAuthority otherCa = testtoken::CertAuthority::create(
      testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test Moved"}, {"CN", "Velkor Test Moved CA"}}), 2048);
  testtoken::Certificate oldByOtherCa = IssueBy(otherCa, pki.eeName, 1001, pki.oldKey);
  testtoken::Certificate movedByOtherCa = IssueBy(otherCa, movedName, 5001, pki.newKey);
  testtoken::Certificate oldCa = pki.OldCaCert();

  static testtoken::Certificate IssueBy(const testtoken::CertAuthority &ca, const testtoken::Name &subject,
                                        uint64_t serial, const testtoken::Key &key) {
    testtoken::CertParams params;
    params.subject = subject;
    params.serial = testtoken::serialFromNumber(serial);
    return ca.issue(params, key);
  }
};

const Extras &Made() {
  static const Extras extras;
  return extras;
}

// A certificate with both keys under one identifier.
void Set(P11Session &s, const testtoken::Certificate &cert, const testtoken::Key &key, const Bytes &id) {
  s.createCertificate(cert.der(), id, "cert");
  s.createPrivateKey(key.get(), id, "key", cert.subjectDer());
  s.createPublicKey(key.get(), id, "key", cert.subjectDer());
}

struct Row {
  const char *name;
  std::function<void(P11Session &)> seed;
  std::function<Bytes()> file;
  ImportSwitches switches;  // subject mode, issuer check, addition
  bool defaultModule;
  // The trust anchor list's lines; none: no file.
  std::function<std::optional<std::string>()> anchors;
  // "<code> [message] | write ... | delete ... | keep ...": each list
  // sorted, an object as its type and, where it has one, CKA_ID in hex.
  std::string plan;
  // The plan when the token lists its objects in another order, where the
  // order decides (which of two copies is the first); empty where it does
  // not.
  std::string otherOrderPlan = "";
};

void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }

// Whether `plan` is the row's.
::testing::AssertionResult IsRowPlan(const Row &row, const std::string &plan) {
  if (plan == row.plan || (!row.otherOrderPlan.empty() && plan == row.otherOrderPlan)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "plan: " << plan << "\nrow:  " << row.plan;
}

constexpr ImportSwitches kSubdn{0, 0, 0};
constexpr ImportSwitches kSubcn{1, 0, 0};
constexpr ImportSwitches kIssuerCheck{0, 1, 0};
constexpr ImportSwitches kAddon{0, 0, 1};
constexpr ImportSwitches kSubcnAddon{1, 0, 1};

auto NoAnchors() {
  return [] { return std::optional<std::string>(); };
}
std::string CaLine(const testtoken::Certificate &ca) { return AnchorLine(ca.subjectKeyId().value(), false); }

const Pki &P() { return SharedPki(); }
const Extras &X() { return Made(); }
void OldSet(P11Session &s) { SeedOldSet(s, P()); }
Bytes Renewal() { return P().Renewal(); }

const std::vector<Row> &Rows() {
  static const std::vector<Row> rows = {
      // Renewals.
      {"renewal", OldSet, Renewal, kSubdn, false, NoAnchors(),
       "0 | write cert,private,public | delete cert:01,private:01,public:01 | keep cert:02"},
      {"renewal_default_module", OldSet, Renewal, kSubdn, true, NoAnchors(),
       "0 | write cert,private,public | delete cert:01,private:01,public:01 | keep cert:02"},
      {"renewal_with_renewed_ca",
       [](P11Session &s) {
         Set(s, P().oldCert, P().oldKey, {0x01});
         s.createCertificate(X().oldCa.der(), {0x02}, "ca");
       },
       Renewal, kSubdn, false, NoAnchors(),
       "0 | write cert,cert,private,public | delete cert:01,cert:02,private:01,public:01 | keep "},
      {"renewal_with_the_same_issuer_checked", OldSet, Renewal, kIssuerCheck, false, NoAnchors(),
       "0 | write cert,private,public | delete cert:01,private:01,public:01 | keep cert:02"},
      {"renewal_leaves_another_holders_set",
       [](P11Session &s) {
         OldSet(s);
         Set(s, X().otherHolder, P().oldKey, {0x05});
       },
       Renewal, kSubdn, false, NoAnchors(),
       "0 | write cert,private,public | delete cert:01,private:01,public:01 | keep cert:02"},
      {"renewal_under_subcn_across_organisations",
       [](P11Session &s) {
         Set(s, X().oldByOtherCa, P().oldKey, {0x01});
         s.createCertificate(P().ca.cert.der(), {0x02}, "ca");
       },
       Renewal, kSubcn, false, NoAnchors(),
       "0 | write cert,private,public | delete cert:01,private:01,public:01 | keep cert:02"},
      {"changed_organisation_under_subcn_is_a_renewal", OldSet,
       [] { return P().Pkcs12(&P().newKey, {&X().moved, &P().ca.cert}, P().password); }, kSubcnAddon, false,
       NoAnchors(), "0 | write cert,private,public | delete cert:01,private:01,public:01 | keep cert:02"},
      {"only_a_ca_certificate_renews_the_ca",
       [](P11Session &s) {
         Set(s, P().oldCert, P().oldKey, {0x01});
         s.createCertificate(X().oldCa.der(), {0x02}, "ca");
       },
       [] { return P().Pkcs12(nullptr, {&P().ca.cert}, P().password); }, kSubdn, false, NoAnchors(),
       "0 | write cert | delete cert:02 | keep "},

      // The certificate is there already, whole or in part.
      {"already_present_changes_nothing",
       [](P11Session &s) {
         Set(s, P().newCert, P().newKey, {0x01});
         s.createCertificate(P().ca.cert.der(), {0x02}, "ca");
       },
       Renewal, kSubdn, false, NoAnchors(), "0 | write  | delete  | keep cert:01,cert:02,private:01,public:01"},
      {"missing_private_key_is_written_under_its_identifier",
       [](P11Session &s) {
         s.createCertificate(P().newCert.der(), {0x01}, "cert");
         s.createPublicKey(P().newKey.get(), {0x01}, "key", P().newCert.subjectDer());
         s.createCertificate(P().ca.cert.der(), {0x02}, "ca");
       },
       Renewal, kSubdn, false, NoAnchors(), "0 | write private:01 | delete  | keep cert:01,cert:02,public:01"},
      {"missing_public_key_is_written_under_its_identifier",
       [](P11Session &s) {
         s.createCertificate(P().newCert.der(), {0x01}, "cert");
         s.createPrivateKey(P().newKey.get(), {0x01}, "key", P().newCert.subjectDer());
         s.createCertificate(P().ca.cert.der(), {0x02}, "ca");
       },
       Renewal, kSubdn, false, NoAnchors(), "0 | write public:01 | delete  | keep cert:01,cert:02,private:01"},
      {"second_copy_goes_with_its_own_keys",
       [](P11Session &s) {
         Set(s, P().newCert, P().newKey, {0x01});
         Set(s, P().newCert, P().newKey, {0x03});
         s.createCertificate(P().ca.cert.der(), {0x02}, "ca");
       },
       Renewal, kSubdn, false, NoAnchors(),
       "0 | write  | delete cert:03,private:03,public:03 | keep cert:01,cert:02,private:01,public:01",
       "0 | write  | delete cert:01,private:01,public:01 | keep cert:02,cert:03,private:03,public:03"},

      // What an interrupted run left.
      {"keys_of_an_interrupted_run_go_with_the_old_set",
       [](P11Session &s) {
         OldSet(s);
         s.createPrivateKey(P().newKey.get(), {0x09}, "left", P().newCert.subjectDer());
         s.createPublicKey(P().newKey.get(), {0x09}, "left", P().newCert.subjectDer());
       },
       Renewal, kSubdn, false, NoAnchors(),
       "0 | write cert,private,public | delete cert:01,private:01,private:09,public:01,public:09 | keep cert:02"},
      {"certificate_of_an_interrupted_run_is_kept_with_its_keys",
       [](P11Session &s) {
         OldSet(s);
         Set(s, P().newCert, P().newKey, {0x09});
       },
       Renewal, kSubdn, false, NoAnchors(),
       "0 | write  | delete cert:01,private:01,public:01 | keep cert:02,cert:09,private:09,public:09"},

      // Refusals.
      {"changed_subject_without_addition", OldSet,
       [] { return P().Pkcs12(&P().newKey, {&X().moved, &P().ca.cert}, P().password); }, kSubdn, false,
       NoAnchors(), std::string("-3 ") + kSubjectMismatch + " | write  | delete  | keep "},
      {"changed_subject_with_the_issuer_checked", OldSet,
       [] { return P().Pkcs12(&P().newKey, {&X().moved, &P().ca.cert}, P().password); }, {0, 1, 1}, false,
       NoAnchors(), std::string("-3 ") + kSubjectMismatch + " | write  | delete  | keep "},
      {"subcn_never_matches_a_subject_without_common_name",
       [](P11Session &s) {
         Set(s, X().noCommonName, P().oldKey, {0x01});
         s.createCertificate(P().ca.cert.der(), {0x02}, "ca");
       },
       Renewal, kSubcn, false, NoAnchors(), std::string("-14 ") + kSubjectCnMismatch + " | write  | delete  | keep "},
      {"another_issuer_with_the_issuer_checked",
       [](P11Session &s) {
         Set(s, X().oldByOtherCa, P().oldKey, {0x01});
         s.createCertificate(P().ca.cert.der(), {0x02}, "ca");
       },
       Renewal, kIssuerCheck, false, NoAnchors(),
       std::string("-15 ") + kIssuerMismatch + " | write  | delete  | keep "},
      {"token_with_keys_but_no_certificate",
       [](P11Session &s) {
         s.createPrivateKey(P().oldKey.get(), {0x01}, "key", P().oldCert.subjectDer());
         s.createPublicKey(P().oldKey.get(), {0x01}, "key", P().oldCert.subjectDer());
       },
       Renewal, kSubdn, false, NoAnchors(), std::string("-3 ") + kSubjectMismatch + " | write  | delete  | keep "},
      {"empty_token", [](P11Session &) {}, Renewal, kSubdn, false, NoAnchors(),
       "-13 error:USB内のオブジェクトが空 | write  | delete  | keep "},
      {"end_entity_without_its_ca", OldSet,
       [] { return P().Pkcs12(&P().newKey, {&P().newCert}, P().password); }, kSubdn, false, NoAnchors(),
       "-16 error:PKCS#12内にCA証明書が存在しない。 | write  | delete  | keep "},
      {"three_certificates", OldSet,
       [] { return P().Pkcs12(&P().newKey, {&P().newCert, &P().ca.cert, &X().oldCa}, P().password); }, kSubdn,
       false, NoAnchors(), "-1 error:P12ファイルが不正である。P12ファイルに証明書が複数格納されている。 | write  | delete  | keep "},

      // The addition procedure.
      {"addition_through_the_listed_ca", OldSet,
       [] { return P().Pkcs12(&P().newKey, {&X().moved, &P().ca.cert}, P().password); }, kAddon, false,
       [] { return std::optional<std::string>(CaLine(P().ca.cert) + "\n"); },
       "0 | write cert,private,public | delete cert:01,private:01,public:01 | keep cert:02"},
      {"addition_with_a_new_ca", OldSet,
       [] { return P().Pkcs12(&P().newKey, {&X().movedByOtherCa, &X().otherCa.cert}, P().password); }, kAddon,
       false,
       [] { return std::optional<std::string>(CaLine(P().ca.cert) + "\n" + CaLine(X().otherCa.cert) + "\n"); },
       "0 | write cert,cert,private,public | delete cert:01,cert:02,private:01,public:01 | keep "},
      {"addition_without_a_trust_anchor_file", OldSet,
       [] { return P().Pkcs12(&P().newKey, {&X().moved, &P().ca.cert}, P().password); }, kAddon, false,
       NoAnchors(), std::string("-3 ") + kNoAnchorFile + " | write  | delete  | keep "},
      {"addition_of_an_unlisted_ca", OldSet,
       [] { return P().Pkcs12(&P().newKey, {&X().moved, &P().ca.cert}, P().password); }, kAddon, false,
       [] { return std::optional<std::string>(CaLine(X().otherCa.cert) + "\n"); },
       std::string("-3 ") + kAddition + " | write  | delete  | keep "},
      {"addition_of_a_new_ca_without_the_old_one_listed", OldSet,
       [] { return P().Pkcs12(&P().newKey, {&X().movedByOtherCa, &X().otherCa.cert}, P().password); }, kAddon,
       false, [] { return std::optional<std::string>(CaLine(X().otherCa.cert) + "\n"); },
       std::string("-3 ") + kAddition + " | write  | delete  | keep "},
  };
  return rows;
}

// ---- the plan as text ------------------------------------------------------------

std::string ListText(const std::vector<PlannedObject> &objects) {
  std::vector<std::string> names;
  for (const PlannedObject &o : objects) {
    const char *type = o.type == PlannedObject::Type::kPrivateKey  ? "private"
                       : o.type == PlannedObject::Type::kPublicKey ? "public"
                                                                   : "cert";
    names.push_back(std::string(type) + (o.id.empty() ? "" : ":" + testtoken::toHex(o.id)));
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string &n : names) text += (text.empty() ? "" : ",") + n;
  return text;
}

std::string PlanText(const token::Outcome &outcome, const PlannedChanges &changes) {
  std::string text = std::to_string(outcome.code());
  if (!outcome.ok()) text += std::string(" ") + outcome.message().c_str();
  return text + " | write " + ListText(changes.write) + " | delete " + ListText(changes.remove) + " | keep " +
         ListText(changes.keep);
}

// The check and the description of its plan, with `reader` in front of the
// token.
std::string CheckedPlan(const Bytes &p12, const Row &row, const std::string &anchorPath,
                        token::TokenReader &reader) {
  FileContents file;
  platform::SecureBuffer password;
  // The shared PKI's password; the PKI itself is made only when recording.
  const std::string text = "p12-pass";
  EXPECT_TRUE(password.Allocate(text.size() + 1));
  std::memcpy(password.data(), text.c_str(), text.size() + 1);
  token::Outcome outcome = file.Open(static_cast<uint32_t>(p12.size()), p12.data(), password);
  EXPECT_TRUE(outcome.ok()) << outcome.message().c_str();
  CheckInputs inputs{row.switches, row.defaultModule ? velkor::kDefaultModuleName : "libsofthsm2.so", anchorPath};
  Plan plan;
  PlannedChanges changes;
  outcome = Check(file, reader, inputs, &plan);
  if (outcome.ok()) outcome = Describe(file, plan, reader, &changes);
  return PlanText(outcome, changes);
}

std::optional<Bytes> ReadFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  const std::string text = s.str();
  return Bytes(text.begin(), text.end());
}

void WriteFile(const fs::path &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool Recording() {
  const char *record = std::getenv("GOLDEN_PLAN_RECORD");
  return record != nullptr && std::strcmp(record, "1") == 0;
}

// Seeds a SoftHSM token with the row's objects and records what the check
// reads of it, with the row's file and trust anchor list beside.
void Record(const Row &row) {
  testtoken::SoftHsmToken token;
  {
    TokenView view(token);
    row.seed(view.session);
  }
  const Bytes p12 = row.file();
  WriteFile(kPlanFolder / (std::string(row.name) + ".p12"), p12);
  const fs::path anchors = kPlanFolder / (std::string(row.name) + ".anchors");
  fs::remove(anchors);
  if (std::optional<std::string> lines = row.anchors()) WriteFile(anchors, Bytes(lines->begin(), lines->end()));
  testtoken::ScopedEnv env(token.environment());
  CSmartCardReader live;
  ASSERT_TRUE(live.LoadPkcs11Module(token.modulePath()).ok());
  ASSERT_TRUE(live.OpenTokenSession().ok());
  ASSERT_TRUE(live.LoginUser(token.token().userPin.c_str()).ok());
  testtoken::RecordingReader recorder(live);
  const std::string plan = CheckedPlan(p12, row, fs::exists(anchors) ? anchors.string() : "", recorder);
  live.CloseToken();
  recorder.Save(kPlanFolder / (std::string(row.name) + ".rec"));
  EXPECT_TRUE(IsRowPlan(row, plan)) << "recorded anyway";
}

class WholePlan : public ::testing::TestWithParam<Row> {};

TEST_P(WholePlan, CheckOfTheRecordedTokenComesToThePlan) {
  const Row &row = GetParam();
  if (Recording()) {
    Record(row);
    return;
  }
  const std::optional<Bytes> p12 = ReadFile(kPlanFolder / (std::string(row.name) + ".p12"));
  ASSERT_TRUE(p12.has_value()) << "no recording; run with GOLDEN_PLAN_RECORD=1";
  const fs::path anchors = kPlanFolder / (std::string(row.name) + ".anchors");
  testtoken::ReplayReader replay(kPlanFolder / (std::string(row.name) + ".rec"));
  EXPECT_TRUE(IsRowPlan(row, CheckedPlan(*p12, row, fs::exists(anchors) ? anchors.string() : "", replay)));
  // The check asked the token nothing that was not asked when recording.
  EXPECT_TRUE(replay.Unmatched().empty()) << replay.Unmatched().front();
}

std::string RowName(const ::testing::TestParamInfo<Row> &row) { return testtoken::camelCaseName(row.param.name); }

INSTANTIATE_TEST_SUITE_P(Rows, WholePlan, ::testing::ValuesIn(Rows()), RowName);

}  // namespace
}  // namespace velkor_test
