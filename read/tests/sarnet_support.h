// Helpers of the Sarnet tests: a private copy of the program (it writes its
// files beside itself), a token seeded through PKCS#11, certificates made
// by OpenSSL, and the expected file contents.
#ifndef SARNET_TESTS_SARNET_SUPPORT_H_
#define SARNET_TESTS_SARNET_SUPPORT_H_

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/text.h"
#include "testtoken/testtoken.h"

namespace sarnet_test {

namespace fs = std::filesystem;
using testtoken::Bytes;
using testtoken::EnvMap;

// A copy of Sarnet in <tmp>/bin with <tmp>/lib pointing at the build's
// libraries, so that Morva.txt and certRead.txt of one test are its own.
class ProgramCopy {
 public:
  explicit ProgramCopy(const fs::path &binDir = {});
  const fs::path &binDir() const { return bin_; }
  fs::path program() const { return bin_ / "Sarnet"; }
  fs::path errorFile() const { return bin_ / "Morva.txt"; }
  fs::path certFile() const { return bin_ / "certRead.txt"; }

  // Runs the copy; LC_ALL is C.UTF-8 unless `env` says otherwise.  With a
  // wrapper (a program and its arguments) the copy runs under it.
  testtoken::RunResult Run(const std::vector<std::string> &args, EnvMap env = {},
                           const std::vector<std::string> &wrapper = {}, const fs::path &workingDir = {}) const;

 private:
  testtoken::TempDir dir_;
  fs::path bin_;
};

// UTC time from its parts.
std::time_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// A test CA and key material, made once per test process.
const testtoken::CertAuthority &TestCa();
const testtoken::Key &EndEntityKey();

// An end-entity certificate of TestCa with the given subject and times.
testtoken::Certificate EndEntity(const testtoken::Name &subject, std::time_t notBefore = Utc(2024, 1, 2, 3, 4, 5),
                                 std::time_t notAfter = Utc(2026, 7, 8, 9, 10, 11),
                                 testtoken::BasicConstraints bc = testtoken::BasicConstraints::CaFalse);

// A self-signed CA certificate (basicConstraints cA true).
testtoken::Certificate CaCertificate(const std::string &commonName);

// Opens a logged-in session on the token behind the p11-kit server and
// hands it to `seed`.
void Seed(const testtoken::SoftHsmToken &token, const std::function<void(testtoken::P11Session &)> &seed);

// A public data object holding `value`.
CK_OBJECT_HANDLE CreateDataObject(testtoken::P11Session &session, const std::string &label, const Bytes &value);

// Expected error file content: message and result line, in cp932.
inline std::string ErrorFileText(const std::string &utf8Message, int result) {
  return platform::Utf8ToCp932(utf8Message + "\nツールの戻り値 = " + std::to_string(result)).value();
}

// The lines of a text (each ended by "\n"; a last unended line counts too).
std::vector<std::string> Lines(const std::string &text);

// The file as a sorted list of four-line entries (the token's search order
// is its own).
std::vector<std::vector<std::string>> Entries(const std::string &text);

// One expected entry.
inline std::vector<std::string> Entry(std::string subject, std::string commonName, std::string notBefore,
                                      std::string notAfter) {
  return {std::move(subject), std::move(commonName), std::move(notBefore), std::move(notAfter)};
}

inline std::vector<std::vector<std::string>> Sorted(std::vector<std::vector<std::string>> entries) {
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace sarnet_test

#endif  // SARNET_TESTS_SARNET_SUPPORT_H_
