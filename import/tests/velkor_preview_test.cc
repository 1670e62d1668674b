// velkor-preview against the same tokens and files as Velkor: the preview
// leaves the file and the token as they were, asks only for read-only
// sessions, and predicts Velkor's code, log message, deletions and writes.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "velkor_fixture.h"

namespace velkor_test {
namespace {

namespace fs = std::filesystem;
using Row = std::vector<Bytes>;  // a Snapshot row: class, label, id, ...

constexpr size_t kClassColumn = 0;
constexpr size_t kIdColumn = 2;

std::string TypeOf(const Row &row) {
  CK_OBJECT_CLASS objectClass = 0;
  if (row[kClassColumn].size() == sizeof objectClass) std::memcpy(&objectClass, row[kClassColumn].data(), sizeof objectClass);
  if (objectClass == CKO_PRIVATE_KEY) return "private";
  if (objectClass == CKO_PUBLIC_KEY) return "public";
  return "cert";
}

// The rows of `from` that `without` lacks, as "type:id" (or only "type"),
// sorted and joined with ",".
std::string Missing(std::vector<Row> from, const std::vector<Row> &without, bool withId) {
  for (const Row &row : without) {
    auto found = std::find(from.begin(), from.end(), row);
    if (found != from.end()) from.erase(found);
  }
  std::vector<std::string> names;
  for (const Row &row : from) names.push_back(TypeOf(row) + (withId ? ":" + testtoken::toHex(row[kIdColumn]) : ""));
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const std::string &n : names) joined += (joined.empty() ? "" : ",") + n;
  return joined;
}

std::string ReadAll(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The fields of the preview's JSON output, read by jq: the code, the
// message, and the lists as sorted "type:id" texts (write by type only),
// and the subject and serial of the certificates to write.
struct Parsed {
  std::string result, message, write, remove, keep, writtenCerts;
};
Parsed ParseWithJq(const fs::path &json) {
  const std::string filter =
      "[(.result|tostring), .message, ([.write[]|.type]|sort|join(\",\")),"
      " ([.delete[]|.type+\":\"+.id]|sort|join(\",\")), ([.keep[]|.type+\":\"+.id]|sort|join(\",\")),"
      " ([.write[]|select(.type==\"cert\")|.subject+\"/\"+.serial]|join(\";\"))] | join(\"\\u0001\")";
  testtoken::RunResult r = testtoken::runProcess(JQ_PROGRAM, {"-j", filter, json.string()}, {});
  EXPECT_EQ(r.exitCode, 0) << "not valid JSON: " << ReadAll(json) << r.err;
  std::vector<std::string> fields(1);
  for (char c : r.out) {
    if (c == '\x01') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  fields.resize(6);
  return {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
}

class VelkorPreview : public ::testing::Test {
 protected:
  const Pki &pki_ = SharedPki();
  testtoken::SoftHsmToken token_;
};

TEST_F(VelkorPreview, PredictsVelkorWithoutChangingAnything) {
  if (std::string(JQ_PROGRAM).empty()) GTEST_SKIP() << "jq is not installed";
  const testtoken::Certificate oldCa = pki_.OldCaCert();
  const testtoken::Certificate moved = pki_.Issue(
      testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test Moved"}, {"CN", "Taro Yamada"}}), 2001, pki_.newKey);
  const testtoken::Certificate otherName = pki_.Issue(
      testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "Hanako Suzuki"}}), 950, pki_.oldKey);
  const Bytes leftoverId = testtoken::toBytes("20261208093000123\n");
  using Seed = std::function<void(testtoken::P11Session &)>;
  // An end-entity set under 01 and a CA certificate under 02.
  auto set = [](const testtoken::Certificate &cert, const testtoken::Key &key, const testtoken::Certificate &ca) {
    return [&cert, &key, &ca](testtoken::P11Session &s) {
      s.createCertificate(cert.der(), {0x01}, "old certificate");
      s.createPrivateKey(key.get(), {0x01}, "old key", cert.subjectDer());
      s.createPublicKey(key.get(), {0x01}, "old key", cert.subjectDer());
      s.createCertificate(ca.der(), {0x02}, "ca");
    };
  };
  const Seed oldSet = [this](testtoken::P11Session &s) { SeedOldSet(s, pki_); };
  // The certificates to write as the preview names them: "subject/serial".
  const std::string newCert = "CN=Taro Yamada,O=Velkor Test,C=JP/" + testtoken::toHex(pki_.newCert.serialContent());
  const std::string movedCert = "CN=Taro Yamada,O=Velkor Test Moved,C=JP/" + testtoken::toHex(moved.serialContent());
  const std::string caCert = "CN=Velkor Test CA,O=Velkor Test,C=JP/" + testtoken::toHex(pki_.ca.cert.serialContent());
  struct Case {
    const char *what;
    Seed seed;
    Bytes p12;
    std::string pin, subject, addition;
    bool anchors;
    int code;
    std::string write, remove, keep, certs;  // as ParseWithJq gives them
  };
  const std::vector<Case> cases = {
      {"renewal", oldSet, pki_.Renewal(), "1234", "SUBDN", "ADDOFF", false, 0, "cert,private,public",
       "cert:01,private:01,public:01", "cert:02", newCert},
      {"renewal with a renewed CA", set(pki_.oldCert, pki_.oldKey, oldCa), pki_.Renewal(), "1234", "SUBDN",
       "ADDOFF", false, 0, "cert,cert,private,public", "cert:01,cert:02,private:01,public:01", "",
       newCert + ";" + caCert},
      {"the same certificate already there", set(pki_.newCert, pki_.newKey, pki_.ca.cert), pki_.Renewal(), "1234",
       "SUBDN", "ADDOFF", false, 0, "", "", "cert:01,cert:02,private:01,public:01", ""},
      {"subject mismatch", set(moved, pki_.oldKey, pki_.ca.cert), pki_.Renewal(), "1234", "SUBDN", "ADDOFF", false,
       -3, "", "", "", ""},
      {"common name mismatch", set(otherName, pki_.oldKey, pki_.ca.cert), pki_.Renewal(), "1234", "SUBCN",
       "ADDOFF", false, -14, "", "", "", ""},
      {"file without CA", oldSet, pki_.Pkcs12(&pki_.newKey, {&pki_.newCert}, pki_.password), "1234", "SUBDN",
       "ADDOFF", false, -16, "", "", "", ""},
      {"wrong PIN", oldSet, pki_.Renewal(), "9999", "SUBDN", "ADDOFF", false, -6, "", "", "", ""},
      {"changed subject through the trust anchor", oldSet,
       pki_.Pkcs12(&pki_.newKey, {&moved, &pki_.ca.cert}, pki_.password), "1234", "SUBDN", "ADDON", true, 0,
       "cert,private,public", "cert:01,private:01,public:01", "cert:02", movedCert},
      {"key left by an interrupted import",
       [&](testtoken::P11Session &s) {
         SeedOldSet(s, pki_);
         s.createPrivateKey(pki_.newKey.get(), leftoverId, "", {});
       },
       pki_.Renewal(), "1234", "SUBDN", "ADDOFF", false, 0, "cert,private,public",
       "cert:01,private:01,private:" + testtoken::toHex(leftoverId) + ",public:01", "cert:02", newCert},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    VelkorApp app;
    if (c.anchors) {
      std::ofstream(app.trustAnchorPath()) << AnchorLine(pki_.ca.cert.subjectKeyId().value(), false) << "\n";
    }
    std::vector<Row> before;
    {
      TokenView view(token_);
      for (const auto &o : view.session.objects()) view.session.destroy(o.handle);
      c.seed(view.session);
      before = Snapshot(view.session);
    }
    testtoken::writeFile(app.p12Path(), c.p12);
    testtoken::FaultSetup fault("", token_.modulePath(), token_.environment());
    const std::vector<std::string> args = {app.p12Path().string(), c.pin,         pki_.password, fault.modulePath(),
                                           c.subject,              "ISCHKOFF", c.addition};
    std::vector<std::string> previewArgs = args;
    previewArgs.insert(previewArgs.begin(), "--json");
    testtoken::RunResult preview = app.Preview(previewArgs, fault.environment());
    ASSERT_TRUE(preview.exited) << preview.err;
    EXPECT_EQ(preview.signedExitCode(), c.code) << preview.out;
    const fs::path json = app.folder() / "preview.json";
    testtoken::writeFile(json, testtoken::toBytes(preview.out));
    const Parsed parsed = ParseWithJq(json);
    EXPECT_EQ(parsed.result, std::to_string(c.code));
    EXPECT_EQ(parsed.write, c.write);
    EXPECT_EQ(parsed.remove, c.remove);
    EXPECT_EQ(parsed.keep, c.keep);
    EXPECT_EQ(parsed.writtenCerts, c.certs);

    // Nothing changed, nothing written, only read-only sessions.
    EXPECT_EQ(testtoken::readFile(app.p12Path()), c.p12);
    EXPECT_FALSE(app.Log().has_value());
    {
      TokenView view(token_);
      EXPECT_EQ(Snapshot(view.session), before);
    }
    size_t sessions = 0;
    for (const testtoken::FaultCall &call : fault.calls()) {
      EXPECT_NE(call.function, "C_CreateObject");
      EXPECT_NE(call.function, "C_DestroyObject");
      if (call.function != "C_OpenSession") continue;
      ++sessions;
      ASSERT_TRUE(call.sessionFlags.has_value());
      EXPECT_EQ(*call.sessionFlags & CKF_RW_SESSION, 0u);
    }
    EXPECT_EQ(sessions, 1u);

    // Velkor on the same token and file does what the preview said.
    fault.clearLog();
    testtoken::RunResult velkor = app.Run(args, fault.environment());
    EXPECT_EQ(velkor.signedExitCode(), c.code);
    EXPECT_EQ(fault.calls().at(4).function, "C_OpenSession");
    EXPECT_NE(fault.calls().at(4).sessionFlags.value_or(0) & CKF_RW_SESSION, 0u);
    if (c.code == 0) {
      EXPECT_TRUE(parsed.message.empty());
      EXPECT_FALSE(app.Log().has_value());
    } else {
      ASSERT_TRUE(app.Log().has_value());
      EXPECT_EQ(Cp932(parsed.message), *app.Log());
    }
    TokenView view(token_);
    const std::vector<Row> after = Snapshot(view.session);
    EXPECT_EQ(Missing(before, after, true), parsed.remove);
    EXPECT_EQ(Missing(after, before, false), parsed.write);
  }
}

}  // namespace
}  // namespace velkor_test
