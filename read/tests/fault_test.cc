// Failures the token or the stored objects bring: failing PKCS#11 calls
// through the fault-injecting module, objects that do not decode, a file
// that cannot take the entries.
#include <gtest/gtest.h>

#include "sarnet_support.h"

namespace sarnet_test {
namespace {

using namespace testtoken;

class SarnetFaults : public ::testing::Test {
 protected:
  // Runs Sarnet through the fault module in front of SoftHSM.
  RunResult RunWithRules(const std::string &rules) {
    fault_.setRules(rules);
    fault_.clearLog();
    return app_.Run({fault_.modulePath()}, fault_.environment());
  }

  void SeedOneCertificate() {
    Seed(token_, [](P11Session &s) {
      s.createCertificate(EndEntity(simpleName({{"CN", "Taro"}})).der(), toBytes("01"), "ee");
    });
  }

  SoftHsmToken token_;
  ProgramCopy app_;
  FaultSetup fault_{{}, softhsmModulePath(), token_.hsm().environment()};
};

TEST_F(SarnetFaults, FailingAttributeReadsPassTheObjectOver) {
  SeedOneCertificate();
  // The length query fails: the object is no certificate at all.
  RunResult lengths = RunWithRules("C_GetAttributeValue=0x30");
  EXPECT_EQ(lengths.signedExitCode(), -13);
  EXPECT_EQ(readTextFile(app_.errorFile()),
            ErrorFileText("error:USBトークンに証明書が格納されていませんでした。\n", -13));
  EXPECT_EQ(fs::file_size(app_.certFile()), 0u);

  // The value read fails: the certificate counts, but gets no entry.
  fs::remove(app_.errorFile());
  RunResult values = RunWithRules("C_GetAttributeValue#2=0x30");
  EXPECT_EQ(values.signedExitCode(), 0);
  EXPECT_EQ(fs::file_size(app_.certFile()), 0u);
  EXPECT_FALSE(fs::exists(app_.errorFile()));
  EXPECT_EQ(fault_.count("C_Login"), 0u);
  EXPECT_EQ(fault_.count("C_Finalize"), 1u);

  // A module that claims 4 GiB values gets no buffer of that size.
  fs::remove(app_.errorFile());
  RunResult huge = RunWithRules("C_GetAttributeValue:cert.length=0x100000000");
  EXPECT_EQ(huge.signedExitCode(), -1);
  EXPECT_EQ(readTextFile(app_.errorFile()), ErrorFileText("error:attrTemplate[0]の領域確保に失敗。", -1));
}

TEST_F(SarnetFaults, SearchAndSessionFailuresKeepTheirMessages) {
  SeedOneCertificate();
  struct Case {
    const char *rules;
    int result;
    const char *message;
  };
  const Case cases[] = {
      {"C_Initialize=0x6", -1, "error:PKCS#11モジュールの初期化に失敗しました。 code = 0x00000006"},
      {"C_OpenSession=0x30", -1, "error:PKCS#11のセッションをオープンすることに失敗しました。 code = 0x00000030"},
      {"C_FindObjectsInit=0x30", -1, "error:検索オブジェクトの初期化に失敗。\ncode=0x00000030"},
      {"C_FindObjectsFinal=0x30", -1, "error:検索オブジェクトのファイナライズに失敗。\ncode=0x00000030"},
      // A failing search step ends the listing quietly: nothing was found.
      {"C_FindObjects=0x30", -13, "error:USB内のオブジェクトが空"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rules);
    RunResult r = RunWithRules(c.rules);
    EXPECT_EQ(r.signedExitCode(), c.result);
    EXPECT_EQ(readTextFile(app_.errorFile()), ErrorFileText(c.message, c.result));
    EXPECT_FALSE(fs::exists(app_.certFile()));
  }
}

TEST_F(SarnetFaults, OnlyTheFirst512ObjectsAreConsidered) {
  Seed(token_, [](P11Session &s) {
    for (int i = 0; i < 530; ++i) CreateDataObject(s, "d" + std::to_string(i), toBytes("x"));
  });
  RunResult r = RunWithRules("");
  EXPECT_EQ(r.signedExitCode(), -13);
  // Data objects end at the length query: one call each.
  EXPECT_EQ(fault_.count("C_GetAttributeValue"), 512u);
  EXPECT_EQ(fault_.count("C_FindObjectsFinal"), 1u);
}

TEST_F(SarnetFaults, ObjectsThatDoNotDecodeEndTheListing) {
  const Certificate cert = EndEntity(simpleName({{"CN", "Taro"}}));
  Seed(token_, [&](P11Session &s) {
    Template t;
    t.addUlong(CKA_CLASS, CKO_CERTIFICATE)
        .addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
        .addBool(CKA_TOKEN, true)
        .addBool(CKA_PRIVATE, false)
        .add(CKA_SUBJECT, cert.subjectDer())
        .add(CKA_VALUE, toBytes("not a certificate"));
    s.create(t);
  });
  RunResult r = app_.Run({token_.modulePath()}, token_.environment());
  EXPECT_EQ(r.signedExitCode(), -1);
  EXPECT_EQ(readTextFile(app_.errorFile()),
            ErrorFileText("error:X509CertObjectをセットできませんでした。code=0x01460003", -1));
  EXPECT_EQ(fs::file_size(app_.certFile()), 0u);
}

TEST_F(SarnetFaults, SubjectThatDoesNotDecodeEndsTheListing) {
  const Certificate cert = EndEntity(simpleName({{"CN", "Taro"}}));
  Seed(token_, [&](P11Session &s) {
    Template extra;
    extra.set(CKA_SUBJECT, toBytes("\x30\x05\x31"));
    s.createCertificate(cert.der(), toBytes("01"), "ee", &extra);
  });
  RunResult r = app_.Run({token_.modulePath()}, token_.environment());
  EXPECT_EQ(r.signedExitCode(), -1);
  EXPECT_EQ(readTextFile(app_.errorFile()),
            ErrorFileText("error:X509NameObjectをセットできませんでした。code=0x01460003", -1));
}

// The entries must reach the disk: a file size limit makes the writes fail
// (SIGXFSZ ignored, so the write calls answer EFBIG).
TEST_F(SarnetFaults, EntriesThatCannotBeWrittenFailTheRun) {
  Seed(token_, [](P11Session &s) {
    s.createCertificate(EndEntity(simpleName({{"OU", std::string(700, 'u')}, {"CN", "Taro"}})).der(),
                        toBytes("01"), "ee");
  });
  RunOptions options;
  options.env = token_.environment();
  options.env["LC_ALL"] = "C.UTF-8";
  RunResult r = runProcess("/bin/sh",
                           {"-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$1\"", app_.program().string(),
                            token_.modulePath()},
                           options);
  EXPECT_EQ(r.signedExitCode(), -1);
  EXPECT_EQ(readTextFile(app_.errorFile()),
            ErrorFileText("error:証明書情報ファイルの書き込みに失敗しました。\nerrNo=0x0000001B", -1));
}

}  // namespace
}  // namespace sarnet_test
