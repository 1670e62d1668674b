#include "release_support.h"

#include <iconv.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace release_test {

using namespace testtoken;

std::string SpyModulePath() { return RELEASE_PKCS11_SPY; }
std::string ValgrindPath() { return RELEASE_VALGRIND; }
bool SanitizedBuild() { return RELEASE_SANITIZED != 0; }

std::string Cp932(const std::string &utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open CP932");
  std::string in = utf8;
  std::string out(in.size() * 2 + 16, '\0');
  char *src = in.data();
  size_t srcLeft = in.size();
  char *dst = out.data();
  size_t dstLeft = out.size();
  size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) throw std::runtime_error("text not convertible to cp932: " + utf8);
  out.resize(out.size() - dstLeft);
  return out;
}

std::string ResultFile(const std::string &message, int code) {
  return Cp932(message + "\nツールの戻り値 = " + std::to_string(code));
}

std::optional<std::string> FileBytes(const fs::path &path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

ProgramCopy::ProgramCopy(const std::string &program) : dir_("release") {
  fs::create_directory(binFolder());
  program_ = binFolder() / fs::path(program).filename();
  fs::copy_file(program, program_);
  fs::permissions(program_, fs::perms::owner_all);
  fs::create_directory_symlink(RELEASE_LIBDIR, dir_.path() / "lib");
}

RunResult ProgramCopy::Run(const std::vector<std::string> &args, EnvMap env,
                           const std::vector<std::string> &wrapper, bool outputReaderGone) const {
  RunOptions options;
  options.outputReaderGone = outputReaderGone;
  env.emplace("LC_ALL", "C.UTF-8");
  options.env = std::move(env);
  options.timeout = std::chrono::milliseconds(wrapper.empty() ? 120000 : 600000);
  if (wrapper.empty()) return runProcess(program_.string(), args, options);
  std::vector<std::string> all(wrapper.begin() + 1, wrapper.end());
  all.push_back(program_.string());
  all.insert(all.end(), args.begin(), args.end());
  return runProcess(wrapper.front(), all, options);
}

void ProgramCopy::OpenTo(const std::pair<uid_t, gid_t> &ids) const {
  // The build's library folder may lie where that user cannot go: the
  // copy gets the shared libraries themselves (links as links).
  const fs::path lib = folder() / "lib";
  if (fs::is_symlink(lib)) {
    fs::remove(lib);
    fs::create_directory(lib);
    for (const auto &entry : fs::directory_iterator(RELEASE_LIBDIR)) {
      const std::string name = entry.path().filename().string();
      if (name.find(".so") != std::string::npos) fs::copy(entry.path(), lib / name, fs::copy_options::copy_symlinks);
    }
  }
  fs::permissions(folder(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(program_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  if (::lchown(binFolder().c_str(), ids.first, ids.second) != 0)
    throw testtoken::Error("chown " + binFolder().string());
}

RunResult ProgramCopy::RunAs(const std::pair<uid_t, gid_t> &ids, const std::vector<std::string> &args,
                             EnvMap env) const {
  RunOptions options;
  env.emplace("LC_ALL", "C.UTF-8");
  options.env = std::move(env);
  return testtoken::runProcessAs(ids, program_.string(), args, options);
}

VelkorCopy::VelkorCopy() : ProgramCopy(RELEASE_VELKOR) {}
SarnetCopy::SarnetCopy() : ProgramCopy(RELEASE_SARNET) {}

namespace {

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

Name UserName(const std::string &commonName) {
  return simpleName({{"C", "JP", StringType::Printable}, {"O", "Release Test"}, {"CN", commonName}});
}

Certificate UserCert(const CertAuthority &ca, const std::string &commonName, std::uint64_t serial,
                     const Key &key) {
  CertParams params;
  params.subject = UserName(commonName);
  params.serial = serialFromNumber(serial);
  params.basicConstraints = BasicConstraints::CaFalse;
  params.notBefore = Utc(2024, 1, 2, 3, 4, 5);
  params.notAfter = Utc(2030, 7, 8, 9, 10, 11);
  return ca.issue(params, key);
}

}  // namespace

Pki::Pki()
    : ca(CertAuthority::create(simpleName({{"C", "JP", StringType::Printable}, {"O", "Release Test"},
                                           {"CN", "Release Test CA"}}))),
      oldKey(Key::pooledRsa(0)),
      newKey(Key::pooledRsa(1)),
      otherKey(Key::pooledRsa(2)),
      oldCert(UserCert(ca, "Taro Yamada", 2001, oldKey)),
      newCert(UserCert(ca, "Taro Yamada", 2002, newKey)),
      otherCert(UserCert(ca, "Hanako Sato", 2003, otherKey)) {}

Bytes Pki::Renewal() const {
  Pkcs12Params params;
  params.password = password;
  params.key = &newKey;
  params.certs = {&newCert, &ca.cert};
  return makePkcs12(params);
}

const Pki &SharedPki() {
  static const Pki pki;
  return pki;
}

std::vector<std::string> OldCertEntry() {
  return {"CN=Taro Yamada,O=Release Test,C=JP", "Taro Yamada", "20240102030405", "20300708091011"};
}

std::vector<std::string> OtherCertEntry() {
  return {"CN=Hanako Sato,O=Release Test,C=JP", "Hanako Sato", "20240102030405", "20300708091011"};
}

const RenewedCa &SharedRenewedCa() {
  static const RenewedCa renewed = [] {
    const Pki &pki = SharedPki();
    Key key = Key::pooledRsa(3);
    CertParams params;
    params.subject = simpleName({{"C", "JP", StringType::Printable}, {"O", "Release Test"}, {"CN", "Release Test CA"}});
    params.serial = serialFromNumber(2);
    params.basicConstraints = BasicConstraints::CaTrue;
    params.keyUsage = "critical,keyCertSign,cRLSign";
    Certificate cert = issueCertificate(params, key, key, nullptr);
    CertAuthority ca{std::move(key), std::move(cert)};
    CertParams user;
    user.subject = simpleName({{"C", "JP", StringType::Printable}, {"O", "Release Test"}, {"CN", "Taro Yamada"}});
    user.serial = serialFromNumber(2004);
    user.basicConstraints = BasicConstraints::CaFalse;
    Certificate userCert = ca.issue(user, pki.newKey);
    return RenewedCa{std::move(ca), std::move(userCert)};
  }();
  return renewed;
}

const Certificate &MovedCert() {
  static const Certificate moved = [] {
    CertParams params;
    params.subject = simpleName({{"C", "JP", StringType::Printable}, {"O", "Release Test Moved"}, {"CN", "Taro Yamada"}});
    params.serial = serialFromNumber(2005);
    params.basicConstraints = BasicConstraints::CaFalse;
    return SharedPki().ca.issue(params, SharedPki().newKey);
  }();
  return moved;
}

Bytes Pkcs12Of(const Key &key, const std::vector<const Certificate *> &certs) {
  Pkcs12Params params;
  params.password = SharedPki().password;
  params.key = &key;
  params.certs = certs;
  return makePkcs12(params);
}

std::string TrustAnchorLine(const Certificate &cert) {
  std::string line;
  for (unsigned char b : cert.subjectKeyId().value_or(Bytes{})) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += (line.empty() ? "" : " ") + std::string(hex);
  }
  return line + "\n";
}

void SeedOldSet(P11Session &session) {
  const Pki &pki = SharedPki();
  Bytes subject = pki.oldCert.subjectDer();
  session.createCertificate(pki.oldCert.der(), {0x01}, "old certificate");
  session.createPrivateKey(pki.oldKey.get(), {0x01}, "old key", subject);
  session.createPublicKey(pki.oldKey.get(), {0x01}, "old key", subject);
  session.createCertificate(pki.ca.cert.der(), {0x02}, "ca");
}

void SeedListing(P11Session &session) {
  const Pki &pki = SharedPki();
  SeedOldSet(session);
  session.createCertificate(pki.otherCert.der(), {0x03}, "other certificate");
  session.createPublicKey(pki.otherKey.get(), {0x03}, "other key", pki.otherCert.subjectDer());
  Template data;
  data.addUlong(CKA_CLASS, CKO_DATA)
      .addBool(CKA_TOKEN, true)
      .addBool(CKA_PRIVATE, false)
      .add(CKA_LABEL, "enrolment note")
      .add(CKA_APPLICATION, "release-test")
      .add(CKA_VALUE, toBytes("not a certificate"));
  session.create(data);
}

std::vector<std::vector<Bytes>> TokenContents(const SoftHsmToken &token) {
  ScopedEnv env(token.environment());
  P11Client client(token.modulePath());
  P11Session session = client.openSession(client.onlySlot());
  session.login(token.token().userPin);
  std::vector<std::vector<Bytes>> contents;
  for (const TokenObject &o : session.objects()) {
    Bytes cls(sizeof o.objectClass);
    std::copy_n(reinterpret_cast<const unsigned char *>(&o.objectClass), sizeof o.objectClass, cls.begin());
    contents.push_back({cls, toBytes(o.label), o.id, o.subject, o.value});
  }
  std::sort(contents.begin(), contents.end());
  return contents;
}

std::vector<std::string> Lines(const std::string &text, bool *whole) {
  std::vector<std::string> lines;
  size_t start = 0;
  if (whole != nullptr) *whole = true;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      if (whole != nullptr) *whole = false;
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<SpyCall> ReadSpyLog(const fs::path &path) {
  std::ifstream in(path);
  if (!in) throw Error("no spy log at " + path.string());
  std::vector<SpyCall> calls;
  std::string line;
  while (std::getline(in, line)) {
    // "12: C_FindObjectsInit" opens a call, "Returned:  0 CKR_OK" ends it.
    size_t colon = line.find(": C_");
    if (colon != std::string::npos && colon > 0 &&
        std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                    [](char c) { return c >= '0' && c <= '9'; })) {
      SpyCall call;
      call.index = std::stoi(line.substr(0, colon));
      call.function = line.substr(colon + 2);
      while (!call.function.empty() && (call.function.back() == ' ' || call.function.back() == '\r'))
        call.function.pop_back();
      calls.push_back(call);
      continue;
    }
    // "[out] *phObject = 0x2" (C_CreateObject), "[in] hObject = 0x2" (C_DestroyObject).
    for (const char *key : {"[out] *phObject = ", "[in] hObject = "}) {
      if (line.rfind(key, 0) == 0 && !calls.empty() && !calls.back().rv)
        calls.back().object = std::stoul(line.substr(std::char_traits<char>::length(key)), nullptr, 0);
    }
    if (line.rfind("Returned:", 0) == 0 && !calls.empty() && !calls.back().rv) {
      std::istringstream s(line.substr(9));
      unsigned long rv = 0;
      if (s >> rv) calls.back().rv = rv;
    }
  }
  return calls;
}

EnvMap SpyEnvironment(EnvMap env, const std::string &module, const fs::path &log) {
  env["PKCS11SPY"] = module;
  env["PKCS11SPY_OUTPUT"] = log.string();
  if (SanitizedBuild()) {
    // pkcs11-spy.so keeps three blocks it allocates in its C_GetFunctionList
    // (1312 bytes) for good and is unloaded before LeakSanitizer reports,
    // so they cannot be told apart by a suppression. The leak check of
    // these runs is valgrind's, in the plain build.
    const char *current = std::getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(current != nullptr && *current != '\0' ? std::string(current) + ":" : "") +
                          "detect_leaks=0";
  }
  return env;
}

EnvMap SpyEnvironment(const SoftHsmToken &token, const fs::path &log) {
  return SpyEnvironment(token.environment(), token.modulePath(), log);
}

bool IsWritingCall(const std::string &function) {
  static const char *const kWriting[] = {"C_CreateObject", "C_DestroyObject", "C_SetAttributeValue",
                                         "C_CopyObject",   "C_InitPIN",       "C_SetPIN",
                                         "C_InitToken",    "C_GenerateKey",   "C_GenerateKeyPair",
                                         "C_UnwrapKey",    "C_DeriveKey"};
  return std::find(std::begin(kWriting), std::end(kWriting), function) != std::end(kWriting);
}

}  // namespace release_test
