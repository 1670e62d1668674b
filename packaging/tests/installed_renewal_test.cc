// The installed programs at work: the build tree is installed into a
// scratch prefix, the installed Velkor renews a certificate on a SoftHSM
// token behind p11-kit's server, and the installed Sarnet lists the result.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "testtoken/testtoken.h"

namespace {

namespace fs = std::filesystem;
using testtoken::Bytes;
using testtoken::StringType;

// An installation of the build tree in a scratch folder: either what
// `cmake --install` puts there, or the Debian package made by cpack and
// unpacked with dpkg -x (nothing is installed on the machine itself).
class InstalledTree {
 public:
  enum class Kind { kCmakeInstall, kDebianPackage };

  explicit InstalledTree(Kind kind) {
    if (kind == Kind::kCmakeInstall) {
      ok_ = Run(PACKAGING_CMAKE, {"--install", PACKAGING_BUILD_DIR, "--prefix", dir_.path().string()});
      bin_ = dir_.path() / PACKAGING_BINDIR;
      return;
    }
    // cpack from the build tree's install script, without first bringing
    // the build up to date (the tests never build).
    fs::path script = dir_ / "cpack_install.cmake";
    testtoken::writeFile(script, testtoken::toBytes(std::string("set(CMAKE_INSTALL_PREFIX \"${CPACK_PACKAGING_INSTALL_PREFIX}\")\n"
                                                                "include(\"") +
                                                    PACKAGING_BUILD_DIR + "/cmake_install.cmake\")\n"));
    fs::path pkg = dir_ / "pkg";
    ok_ = Run(PACKAGING_CPACK, {"--config", std::string(PACKAGING_BUILD_DIR) + "/CPackConfig.cmake", "-G", "DEB", "-B",
                                pkg.string(), "-D", "CPACK_INSTALL_CMAKE_PROJECTS=", "-D",
                                "CPACK_INSTALL_SCRIPTS=" + script.string()});
    if (!ok_) return;
    fs::path deb;
    for (const auto &entry : fs::directory_iterator(pkg)) {
      if (entry.path().extension() == ".deb") deb = entry.path();
    }
    ok_ = !deb.empty() && Run(PACKAGING_DPKG, {"-x", deb.string(), (dir_ / "root").string()});
    bin_ = dir_ / "root" / "usr" / PACKAGING_BINDIR;
  }
  bool ok() const { return ok_; }
  const std::string &output() const { return output_; }
  const fs::path &bin() const { return bin_; }

 private:
  bool Run(const std::string &program, const std::vector<std::string> &args) {
    testtoken::RunOptions o;
    o.env = {{"DESTDIR", ""}};
    o.workingDir = dir_.path().string();
    o.timeout = std::chrono::milliseconds(300000);
    testtoken::RunResult r = testtoken::runProcess(program, args, o);
    output_ += r.out + r.err;
    return r.exited && r.exitCode == 0;
  }

  testtoken::TempDir dir_{"tokenenrol-installed"};
  fs::path bin_;
  bool ok_ = false;
  std::string output_;
};

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string FileText(const fs::path &path) {
  return fs::exists(path) ? testtoken::readTextFile(path) : std::string("(none)");
}

class InstalledPrograms : public ::testing::TestWithParam<InstalledTree::Kind> {};

TEST_P(InstalledPrograms, VelkorRenewsTheCertificateAndSarnetListsIt) {
  const InstalledTree tree(GetParam());
  ASSERT_TRUE(tree.ok()) << tree.output();

  // A CA, the user's current certificate and key on the token, and the
  // renewed ones in the PKCS#12 file.
  testtoken::CertAuthority ca = testtoken::CertAuthority::create(testtoken::simpleName(
      {{"C", "JP", StringType::Printable}, {"O", "Enrolment Test", StringType::Printable}, {"CN", "Test CA"}}));
  testtoken::Name user = testtoken::simpleName(
      {{"C", "JP", StringType::Printable}, {"O", "Enrolment Test", StringType::Printable}, {"CN", "Taro Yamada"}});
  testtoken::Key oldKey = testtoken::Key::pooledRsa(0);
  testtoken::Key newKey = testtoken::Key::pooledRsa(1);
  testtoken::CertParams params;
  params.subject = user;
  params.basicConstraints = testtoken::BasicConstraints::CaFalse;
  params.serial = testtoken::serialFromNumber(1001);
  testtoken::Certificate oldCert = ca.issue(params, oldKey);
  params.serial = testtoken::serialFromNumber(1002);
  testtoken::Certificate newCert = ca.issue(params, newKey);
  testtoken::Pkcs12Params p12;
  p12.password = "renewal";
  p12.key = &newKey;
  p12.certs = {&newCert, &ca.cert};

  testtoken::SoftHsmToken token;
  const std::string pin = token.token().userPin;
  {
    testtoken::ScopedEnv env(token.environment());
    testtoken::P11Client client(token.modulePath());
    testtoken::P11Session session = client.openSession(client.onlySlot());
    session.login(pin);
    Bytes subject = oldCert.subjectDer();
    session.createCertificate(oldCert.der(), {0x01}, "user");
    session.createPrivateKey(oldKey.get(), {0x01}, "user", subject);
    session.createPublicKey(oldKey.get(), {0x01}, "user", subject);
    session.createCertificate(ca.cert.der(), {0x02}, "ca");
  }

  testtoken::TempDir work("tokenenrol-renewal");
  fs::path p12Path = work / "renewal.p12";
  testtoken::writeFile(p12Path, testtoken::makePkcs12(p12));
  fs::remove(tree.bin() / "Tamrin.txt");

  testtoken::RunOptions o;
  o.env = token.environment();
  testtoken::RunResult r = testtoken::runProcess(
      (tree.bin() / "Velkor").string(),
      {p12Path.string(), pin, p12.password, token.modulePath(), "SUBDN", "ISCHKOFF", "ADDOFF"}, o);
  ASSERT_TRUE(r.exited) << r.err;
  EXPECT_EQ(r.signedExitCode(), 0) << r.err << FileText(tree.bin() / "Tamrin.txt");
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_FALSE(fs::exists(tree.bin() / "Tamrin.txt"));
  EXPECT_FALSE(fs::exists(p12Path));

  {
    testtoken::ScopedEnv env(token.environment());
    testtoken::P11Client client(token.modulePath());
    testtoken::P11Session session = client.openSession(client.onlySlot());
    session.login(pin);
    int oldCerts = 0, newCerts = 0, caCerts = 0, privateKeys = 0, publicKeys = 0;
    Bytes newId;
    for (const testtoken::TokenObject &obj : session.objects()) {
      if (obj.objectClass == CKO_CERTIFICATE) {
        if (obj.value == oldCert.der()) ++oldCerts;
        if (obj.value == newCert.der()) ++newCerts, newId = obj.id;
        if (obj.value == ca.cert.der()) ++caCerts;
      } else if (obj.objectClass == CKO_PRIVATE_KEY) {
        ++privateKeys;
      } else if (obj.objectClass == CKO_PUBLIC_KEY) {
        ++publicKeys;
      }
    }
    EXPECT_EQ(oldCerts, 0);
    EXPECT_EQ(newCerts, 1);
    EXPECT_EQ(caCerts, 1);
    EXPECT_EQ(privateKeys, 1);
    EXPECT_EQ(publicKeys, 1);
    // The key on the token is the renewed one.
    ASSERT_FALSE(newId.empty());
    Bytes data = testtoken::toBytes("signed by the renewed key");
    EXPECT_FALSE(session.sign(newId, data).empty());
  }

  // The installed Sarnet shows the renewed certificate: one entry of four
  // lines (the CA certificate is left out).
  fs::remove(tree.bin() / "Morva.txt");
  testtoken::RunResult s = testtoken::runProcess((tree.bin() / "Sarnet").string(), {token.modulePath()}, o);
  ASSERT_TRUE(s.exited) << s.err;
  EXPECT_EQ(s.signedExitCode(), 0) << s.out << s.err << FileText(tree.bin() / "Morva.txt");
  EXPECT_FALSE(fs::exists(tree.bin() / "Morva.txt"));
  std::vector<std::string> lines = Lines(FileText(tree.bin() / "certRead.txt"));
  ASSERT_EQ(lines.size(), 4u) << FileText(tree.bin() / "certRead.txt");
  EXPECT_EQ(lines[0], "CN=Taro Yamada,O=Enrolment Test,C=JP");
  EXPECT_EQ(lines[1], "Taro Yamada");
  EXPECT_EQ(lines[2].size(), 14u);
  EXPECT_EQ(lines[3].size(), 14u);
  fs::remove(tree.bin() / "certRead.txt");
}

INSTANTIATE_TEST_SUITE_P(Trees, InstalledPrograms,
                         ::testing::Values(InstalledTree::Kind::kCmakeInstall, InstalledTree::Kind::kDebianPackage),
                         [](const ::testing::TestParamInfo<InstalledTree::Kind> &param) {
                           return param.param == InstalledTree::Kind::kCmakeInstall ? "CmakeInstall"
                                                                                   : "DebianPackage";
                         });

}  // namespace
