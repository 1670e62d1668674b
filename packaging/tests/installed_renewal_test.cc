// The installed programs at work: the build tree is installed into a
// scratch prefix, or the Debian packages are unpacked into a scratch root,
// or a user who is not root lays out a copy of the packaged programs with
// tokenenrol-setup; that Velkor renews a certificate on a SoftHSM token
// behind p11-kit's server, and that Sarnet lists the result.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "testtoken/testtoken.h"

namespace {

namespace fs = std::filesystem;
using testtoken::Bytes;
using testtoken::StringType;

// The user a copy is laid out for: "nobody" when the tests run as root
// (the programs then run through setpriv), the current user otherwise.
struct User {
  uid_t uid;
  gid_t gid;
};

std::optional<User> OtherUser() {
  if (::geteuid() != 0) return std::nullopt;
  const struct passwd *pw = ::getpwnam("nobody");
  if (pw == nullptr) throw testtoken::Error("no user \"nobody\" to run the copy as");
  return User{pw->pw_uid, pw->pw_gid};
}

void GiveTo(const fs::path &path, const User &user) {
  if (::lchown(path.c_str(), user.uid, user.gid) != 0) throw testtoken::Error("chown " + path.string());
}

// Lets other users pass through every folder from path up to the
// temporary folder (the test's scratch folders are private to root).
void OpenPathForOthers(fs::path path) {
  const fs::path tmp = fs::temp_directory_path();
  for (; path.has_relative_path() && path != tmp && path != "/tmp"; path = path.parent_path()) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ::chmod(path.c_str(), (st.st_mode & 07777) | 0711);
  }
}

// An installation of the programs in a scratch folder: what `cmake
// --install` puts there, the Debian packages (built by the packaging_debs
// test) unpacked with dpkg -x (nothing is installed on the machine itself),
// or the copy that tokenenrol-setup of those packages lays out for a user.
class InstalledTree {
 public:
  enum class Kind { kCmakeInstall, kDebianPackages, kUserCopy };

  explicit InstalledTree(Kind kind) {
    if (kind == Kind::kCmakeInstall) {
      ok_ = Run(PACKAGING_CMAKE, {"--install", PACKAGING_BUILD_DIR, "--prefix", dir_.path().string()});
      bin_ = dir_.path() / PACKAGING_BUNDLE_DIR / "bin";
      return;
    }
    const fs::path root = dir_ / "root";
    ok_ = true;
    int unpacked = 0;
    for (const auto &entry : fs::directory_iterator(PACKAGING_DEBS_DIR)) {
      const std::string name = entry.path().filename().string();
      if (entry.path().extension() != ".deb" || name.find("-dbgsym_") != std::string::npos) continue;
      ok_ = ok_ && Run(PACKAGING_DPKG, {"-x", entry.path().string(), root.string()});
      ++unpacked;
    }
    ok_ = ok_ && unpacked > 0;
    if (!ok_) return;
    for (const auto &entry : fs::directory_iterator(root / "usr" / "lib")) {
      if (fs::exists(entry.path() / "tokenenrol" / "bin" / "Velkor")) bin_ = entry.path() / "tokenenrol" / "bin";
    }
    ok_ = !bin_.empty();
    if (!ok_ || kind == Kind::kDebianPackages) return;

    // The user's own folder, and the copy laid out there by the user.
    user_ = OtherUser();
    OpenPathForOthers(root);
    const fs::path home = dir_ / "home";
    fs::create_directory(home);
    if (user_) GiveTo(home, *user_);
    ok_ = RunAsUser((root / "usr" / PACKAGING_BINDIR / "tokenenrol-setup").string(), {(home / "tokenenrol").string()});
    bin_ = home / "tokenenrol" / "bin";
  }
  bool ok() const { return ok_; }
  const std::string &output() const { return output_; }
  const fs::path &bin() const { return bin_; }
  // The user the programs run as, when not the test's own.
  const std::optional<User> &user() const { return user_; }

  // Runs a program of the tree as the tree's user.
  testtoken::RunResult Start(const std::string &program, const std::vector<std::string> &args,
                             testtoken::RunOptions options) const {
    if (!user_) return testtoken::runProcess(program, args, options);
    std::vector<std::string> all = {"--reuid=" + std::to_string(user_->uid), "--regid=" + std::to_string(user_->gid),
                                    "--clear-groups", "--", program};
    all.insert(all.end(), args.begin(), args.end());
    options.env["HOME"] = (dir_ / "home").string();
    return testtoken::runProcess("/usr/bin/setpriv", all, options);
  }

 private:
  bool Run(const std::string &program, const std::vector<std::string> &args) {
    return Record(testtoken::runProcess(program, args, Options()));
  }
  bool RunAsUser(const std::string &program, const std::vector<std::string> &args) {
    return Record(Start(program, args, Options()));
  }
  testtoken::RunOptions Options() const {
    testtoken::RunOptions o;
    o.env = {{"DESTDIR", ""}};
    o.workingDir = dir_.path().string();
    o.timeout = std::chrono::milliseconds(300000);
    return o;
  }
  bool Record(const testtoken::RunResult &r) {
    output_ += r.out + r.err;
    return r.exited && r.exitCode == 0;
  }

  testtoken::TempDir dir_{"tokenenrol-installed"};
  fs::path bin_;
  std::optional<User> user_;
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
  if (tree.user()) {
    // The user owns the PKCS#12 file (Velkor deletes it) and may connect
    // to the token's p11-kit server.
    GiveTo(work.path(), *tree.user());
    GiveTo(p12Path, *tree.user());
    const std::string address = o.env.at("P11_KIT_SERVER_ADDRESS");
    const fs::path socket = address.substr(address.find('=') + 1);
    OpenPathForOthers(socket.parent_path());
    ::chmod(socket.c_str(), 0666);
  }
  testtoken::RunResult r = tree.Start(
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
  testtoken::RunResult s = tree.Start((tree.bin() / "Sarnet").string(), {token.modulePath()}, o);
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

  // A failing run leaves its log beside the program.
  testtoken::RunResult f = tree.Start((tree.bin() / "Velkor").string(), {}, o);
  ASSERT_TRUE(f.exited) << f.err;
  EXPECT_EQ(f.signedExitCode(), -1) << f.err;
  EXPECT_TRUE(fs::is_regular_file(tree.bin() / "Tamrin.txt"));
  fs::remove(tree.bin() / "Tamrin.txt");
}

INSTANTIATE_TEST_SUITE_P(Trees, InstalledPrograms,
                         ::testing::Values(InstalledTree::Kind::kCmakeInstall, InstalledTree::Kind::kDebianPackages,
                                           InstalledTree::Kind::kUserCopy),
                         [](const ::testing::TestParamInfo<InstalledTree::Kind> &param) {
                           switch (param.param) {
                             case InstalledTree::Kind::kCmakeInstall: return "CmakeInstall";
                             case InstalledTree::Kind::kDebianPackages: return "DebianPackages";
                             case InstalledTree::Kind::kUserCopy: break;
                           }
                           return "UserCopy";
                         });

}  // namespace
