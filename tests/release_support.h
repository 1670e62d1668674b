// What the release checks share: private copies of both programs (their
// files sit beside them), one small PKI, tokens seeded the way an enrolment
// leaves them, expected file texts in cp932, and the reader of
// pkcs11-spy's call log.
#ifndef TESTS_RELEASE_SUPPORT_H_
#define TESTS_RELEASE_SUPPORT_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testtoken/testtoken.h"

namespace release_test {

namespace fs = std::filesystem;
using testtoken::Bytes;
using testtoken::EnvMap;

// Tool paths found at configure time; empty when missing.
std::string SpyModulePath();
std::string ValgrindPath();
bool SanitizedBuild();

// UTF-8 to cp932 through iconv.
std::string Cp932(const std::string &utf8);
// A log or error file as the programs write it: message, result line, cp932.
std::string ResultFile(const std::string &message, int code);

// The raw bytes of a file; none when there is no regular file.
std::optional<std::string> FileBytes(const fs::path &path);

// A program copied into <temp>/bin with <temp>/lib pointing at the build's
// libraries.
class ProgramCopy {
 public:
  explicit ProgramCopy(const std::string &program);
  const fs::path &folder() const { return dir_.path(); }
  fs::path binFolder() const { return dir_.path() / "bin"; }
  fs::path program() const { return program_; }
  fs::path beside(const std::string &name) const { return binFolder() / name; }

  // Runs the copy (LC_ALL C.UTF-8 unless env says otherwise). With a
  // wrapper (valgrind and its options) the copy runs under it.  With
  // outputReaderGone nobody reads its standard output and error.
  testtoken::RunResult Run(const std::vector<std::string> &args, EnvMap env = {},
                           const std::vector<std::string> &wrapper = {}, bool outputReaderGone = false) const;
  // Lets the user `ids` run the copy: the scratch folder passable, the
  // program executable and the folder beside it (where the program writes
  // its files) that user's.  RunAs runs it as that user.
  void OpenTo(const std::pair<uid_t, gid_t> &ids) const;
  testtoken::RunResult RunAs(const std::pair<uid_t, gid_t> &ids, const std::vector<std::string> &args,
                             EnvMap env = {}) const;

 private:
  testtoken::TempDir dir_;
  fs::path program_;
};

class VelkorCopy : public ProgramCopy {
 public:
  VelkorCopy();
  fs::path logPath() const { return beside("Tamrin.txt"); }
  fs::path p12Path() const { return folder() / "renewal.p12"; }
};

class SarnetCopy : public ProgramCopy {
 public:
  SarnetCopy();
  fs::path errorPath() const { return beside("Morva.txt"); }
  fs::path certPath() const { return beside("certRead.txt"); }
};

// A CA, the user's old and renewed certificates (same subject), a second
// user and the keys.
struct Pki {
  Pki();
  testtoken::CertAuthority ca;
  testtoken::Key oldKey;
  testtoken::Key newKey;
  testtoken::Key otherKey;
  testtoken::Certificate oldCert;    // "Taro Yamada", serial 2001
  testtoken::Certificate newCert;    // "Taro Yamada", serial 2002
  testtoken::Certificate otherCert;  // "Hanako Sato", serial 2003
  std::string password = "release-pw";

  // The renewed key with its certificate, then the CA certificate.
  Bytes Renewal() const;
};
const Pki &SharedPki();

// The renewed CA: same name as the old one, a new key and serial.
struct RenewedCa {
  testtoken::CertAuthority ca;
  testtoken::Certificate userCert;  // "Taro Yamada", the renewed key, issued by the renewed CA
};
const RenewedCa &SharedRenewedCa();

// Same common name, another organisation: a subject that changed.
const testtoken::Certificate &MovedCert();

// A PKCS#12 file of `key` and `certs` under the shared password.
Bytes Pkcs12Of(const testtoken::Key &key, const std::vector<const testtoken::Certificate *> &certs);

// The line of trustAnchor.config that lists the subject key identifier of
// `cert`: upper-case hex bytes separated by spaces, with its line end.
std::string TrustAnchorLine(const testtoken::Certificate &cert);

// The lines Sarnet writes for oldCert and otherCert.
std::vector<std::string> OldCertEntry();
std::vector<std::string> OtherCertEntry();

// Old certificate and both its keys under CKA_ID 01, the CA certificate
// under 02: what a renewal finds on the token.
void SeedOldSet(testtoken::P11Session &session);
// The listing token: oldCert with its keys, otherCert, the CA certificate
// and a public data object.
void SeedListing(testtoken::P11Session &session);

// Runs `seed` in a logged-in session on the only token that the fixture's
// server shows.
template <typename F>
void Seed(const testtoken::SoftHsmToken &token, F seed) {
  testtoken::ScopedEnv env(token.environment());
  testtoken::P11Client client(token.modulePath());
  testtoken::P11Session session = client.openSession(client.onlySlot());
  session.login(token.token().userPin);
  seed(session);
}

// The same on the token "TestToken" of a SoftHSM store, without a server.
template <typename F>
void SeedStore(const testtoken::SoftHsm &hsm, F seed) {
  testtoken::ScopedEnv env(hsm.environment());
  testtoken::P11Client client(testtoken::softhsmModulePath());
  testtoken::P11Session session = client.openSession(client.slotByLabel("TestToken"));
  session.login("1234");
  seed(session);
}

// Every object of the only token with its class, label, id, subject and
// value, sorted: to compare a token before and after a run.
std::vector<std::vector<Bytes>> TokenContents(const testtoken::SoftHsmToken &token);

// The lines of a text (each ended by "\n"); false in `whole` when the last
// one has no line end.
std::vector<std::string> Lines(const std::string &text, bool *whole = nullptr);

// ---- pkcs11-spy ----------------------------------------------------------------

struct SpyCall {
  int index = -1;         // the number the spy gave the call
  std::string function;   // "C_Login"
  std::optional<unsigned long> rv;  // none when the log ends inside the call
  std::optional<unsigned long> object;  // C_CreateObject's new handle, C_DestroyObject's handle
};

std::vector<SpyCall> ReadSpyLog(const fs::path &path);

// The environment that puts pkcs11-spy in front of `module` (env holds
// what that module needs), logging to `log`.
EnvMap SpyEnvironment(EnvMap env, const std::string &module, const fs::path &log);
// The same in front of the token's module (p11-kit's client).
EnvMap SpyEnvironment(const testtoken::SoftHsmToken &token, const fs::path &log);

// Functions that change a token.
bool IsWritingCall(const std::string &function);

}  // namespace release_test

#endif  // TESTS_RELEASE_SUPPORT_H_
