// Small helpers of the harness: errors, bytes, files, paths, environment,
// temp folders.
#include "testtoken/testtoken.h"

#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

extern char** environ;

namespace testtoken {

namespace {

std::string hexRv(CK_RV rv) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(rv));
  return text;
}

std::string fromEnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  if (value != nullptr && *value != '\0') return value;
  return fallback;
}

}  // namespace

P11Error::P11Error(const std::string& what, CK_RV rv)
    : Error(what + " returned " + hexRv(rv)), rv_(rv) {}

Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::string camelCaseName(const char* snakeCase) {
  std::string name;
  bool upper = true;
  for (const char* p = snakeCase; *p != '\0'; ++p) {
    if (*p == '_') {
      upper = true;
      continue;
    }
    name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(*p))) : *p;
    upper = false;
  }
  return name;
}

std::string toHex(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error("cannot open " + path.string());
  Bytes out;
  char buffer[8192];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
    out.insert(out.end(), buffer, buffer + in.gcount());
  return out;
}

std::string readTextFile(const std::filesystem::path& path) {
  Bytes bytes = readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw Error("cannot create " + path.string());
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw Error("cannot write " + path.string());
}

// ---- paths -------------------------------------------------------------------

std::string softhsmModulePath() {
  return fromEnvOr("TESTTOKEN_SOFTHSM_MODULE", TESTTOKEN_SOFTHSM_MODULE_DEFAULT);
}
std::string p11KitClientModulePath() {
  return fromEnvOr("TESTTOKEN_P11KIT_CLIENT", TESTTOKEN_P11KIT_CLIENT_DEFAULT);
}
std::string faultModulePath() {
  return fromEnvOr("TESTTOKEN_FAULT_MODULE", TESTTOKEN_FAULT_MODULE_DEFAULT);
}
std::string p11KitProgram() { return fromEnvOr("TESTTOKEN_P11KIT", TESTTOKEN_P11KIT_DEFAULT); }
std::string softhsmUtilProgram() {
  return fromEnvOr("TESTTOKEN_SOFTHSM_UTIL", TESTTOKEN_SOFTHSM_UTIL_DEFAULT);
}
std::string openCryptokiModulePath() {
  return fromEnvOr("TESTTOKEN_OPENCRYPTOKI_MODULE", TESTTOKEN_OPENCRYPTOKI_MODULE_DEFAULT);
}
std::string pkcsslotdProgram() { return fromEnvOr("TESTTOKEN_PKCSSLOTD", TESTTOKEN_PKCSSLOTD_DEFAULT); }
std::string nssSoftokenModulePath() {
  return fromEnvOr("TESTTOKEN_NSS_SOFTOKEN", TESTTOKEN_NSS_SOFTOKEN_DEFAULT);
}
std::string certutilProgram() { return fromEnvOr("TESTTOKEN_CERTUTIL", TESTTOKEN_CERTUTIL_DEFAULT); }
std::string p11KitTrustModulePath() {
  return fromEnvOr("TESTTOKEN_P11KIT_TRUST", TESTTOKEN_P11KIT_TRUST_DEFAULT);
}
std::string gnomeKeyringStoreModulePath() {
  return fromEnvOr("TESTTOKEN_GNOME_KEYRING_STORE", TESTTOKEN_GNOME_KEYRING_STORE_DEFAULT);
}
std::string openScModulePath() { return fromEnvOr("TESTTOKEN_OPENSC_MODULE", TESTTOKEN_OPENSC_MODULE_DEFAULT); }
std::string pkcs15InitProgram() { return fromEnvOr("TESTTOKEN_PKCS15_INIT", TESTTOKEN_PKCS15_INIT_DEFAULT); }
std::string pcscdProgram() { return fromEnvOr("TESTTOKEN_PCSCD", TESTTOKEN_PCSCD_DEFAULT); }
std::string vpcdDriverPath() { return fromEnvOr("TESTTOKEN_VPCD_DRIVER", TESTTOKEN_VPCD_DRIVER_DEFAULT); }
std::string python3Program() { return fromEnvOr("TESTTOKEN_PYTHON3", TESTTOKEN_PYTHON3_DEFAULT); }
std::string cardEmulatorPath() {
  return fromEnvOr("TESTTOKEN_CARD_EMULATOR", TESTTOKEN_CARD_EMULATOR_DEFAULT);
}

// ---- environment -----------------------------------------------------------------

void applyEnvironment(const EnvMap& vars) {
  for (const auto& [name, value] : vars) {
    if (::setenv(name.c_str(), value.c_str(), 1) != 0) throw Error("setenv " + name + " failed");
  }
}

ScopedEnv::ScopedEnv(const EnvMap& vars) {
  for (const auto& [name, value] : vars) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
  }
  applyEnvironment(vars);
}

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) {
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
}

std::vector<std::string> buildEnvironment(const EnvMap& vars, bool inherit) {
  std::vector<std::string> out;
  if (inherit) {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      std::string_view text(*entry);
      auto eq = text.find('=');
      std::string name(text.substr(0, eq));
      if (vars.count(name) == 0) out.emplace_back(text);
    }
  }
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

// ---- temp folder ------------------------------------------------------------------

TempDir::TempDir(std::string_view prefix, const std::filesystem::path& base) {
  std::filesystem::path root = base;
  if (root.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    root = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  }
  std::string templ = (root / (std::string(prefix) + "-XXXXXX")).string();
  std::vector<char> buffer(templ.begin(), templ.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr)
    throw Error("mkdtemp " + templ + ": " + std::strerror(errno));
  path_ = buffer.data();
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }

TempDir& TempDir::operator=(TempDir&& other) noexcept {
  if (this != &other) {
    if (!path_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(path_, ec);
    }
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

}  // namespace testtoken
