#include "sarnet_support.h"

#include <optional>

namespace sarnet_test {

using namespace testtoken;

ProgramCopy::ProgramCopy(const fs::path &binDir) : dir_("sarnet") {
  bin_ = binDir.empty() ? dir_.path() / "bin" : binDir;
  fs::create_directories(bin_);
  fs::copy_file(SARNET_PROGRAM, program());
  // $ORIGIN/../lib finds the libraries from the copy too.
  std::error_code ignored;
  fs::create_directory_symlink(SARNET_LIB_DIR, bin_.parent_path() / "lib", ignored);
}

RunResult ProgramCopy::Run(const std::vector<std::string> &args, EnvMap env, const std::vector<std::string> &wrapper,
                           const fs::path &workingDir) const {
  RunOptions options;
  env.emplace("LC_ALL", "C.UTF-8");
  options.env = std::move(env);
  options.workingDir = workingDir.string();
  if (wrapper.empty()) return runProcess(program().string(), args, options);
  std::vector<std::string> all(wrapper.begin() + 1, wrapper.end());
  all.push_back(program().string());
  all.insert(all.end(), args.begin(), args.end());
  return runProcess(wrapper.front(), all, options);
}

std::time_t Utc(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

const CertAuthority &TestCa() {
  static const CertAuthority ca = CertAuthority::create(
      simpleName({{"C", "JP", StringType::Printable}, {"O", "Test Org"}, {"CN", "Test CA"}}));
  return ca;
}

const Key &EndEntityKey() {
  static const Key key = Key::rsa(2048);
  return key;
}

Certificate EndEntity(const Name &subject, std::time_t notBefore, std::time_t notAfter, BasicConstraints bc) {
  static std::uint64_t serial = 100;
  CertParams params;
  params.subject = subject;
  params.serial = serialFromNumber(serial++);
  params.notBefore = notBefore;
  params.notAfter = notAfter;
  params.basicConstraints = bc;
  return TestCa().issue(params, EndEntityKey());
}

Certificate CaCertificate(const std::string &commonName) {
  CertParams params;
  params.subject = simpleName({{"C", "JP", StringType::Printable}, {"CN", commonName}});
  params.basicConstraints = BasicConstraints::CaTrue;
  params.keyUsage = "critical,keyCertSign,cRLSign";
  return issueCertificate(params, EndEntityKey(), EndEntityKey());
}

void Seed(const SoftHsmToken &token, const std::function<void(P11Session &)> &seed) {
  ScopedEnv env(token.environment());
  P11Client client(token.modulePath());
  P11Session session = client.openSession(client.onlySlot());
  session.login(token.token().userPin);
  seed(session);
}

CK_OBJECT_HANDLE CreateDataObject(P11Session &session, const std::string &label, const Bytes &value) {
  Template t;
  t.addUlong(CKA_CLASS, CKO_DATA)
      .addBool(CKA_TOKEN, true)
      .addBool(CKA_PRIVATE, false)
      .add(CKA_LABEL, label)
      .add(CKA_APPLICATION, "sarnet-test")
      .add(CKA_VALUE, value);
  return session.create(t);
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::vector<std::string>> Entries(const std::string &text) {
  std::vector<std::string> lines = Lines(text);
  std::vector<std::vector<std::string>> entries;
  for (size_t i = 0; i < lines.size(); i += 4) {
    entries.emplace_back(lines.begin() + static_cast<std::ptrdiff_t>(i),
                         lines.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, lines.size())));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace sarnet_test
