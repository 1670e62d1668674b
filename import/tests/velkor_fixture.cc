#include "velkor_fixture.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/text.h"

namespace velkor_test {

namespace fs = std::filesystem;

std::string LogText(const std::string &message, int code) {
  return message + "\nツールの戻り値 = " + std::to_string(code);
}

std::string Cp932(const std::string &utf8) { return platform::Utf8ToCp932(utf8).value(); }

VelkorApp::VelkorApp() {
  fs::create_directory(binFolder());
  fs::copy_file(VELKOR_PROGRAM, binFolder() / "Velkor");
  fs::permissions(binFolder() / "Velkor", fs::perms::owner_all);
  fs::create_directory_symlink(VELKOR_LIBDIR, dir_.path() / "lib");
}

std::optional<std::string> VelkorApp::Log() const {
  if (!fs::exists(logPath())) return std::nullopt;
  std::ifstream in(logPath(), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

testtoken::RunResult VelkorApp::Run(const std::vector<std::string> &args, const testtoken::EnvMap &env) const {
  testtoken::RunOptions options;
  options.env = env;
  return testtoken::runProcess((binFolder() / "Velkor").string(), args, options);
}

testtoken::RunResult VelkorApp::Preview(const std::vector<std::string> &args, const testtoken::EnvMap &env) const {
  const fs::path preview = binFolder() / "velkor-preview";
  if (!fs::exists(preview)) fs::copy_file(VELKOR_PREVIEW_PROGRAM, preview);
  testtoken::RunOptions options;
  options.env = env;
  return testtoken::runProcess(preview.string(), args, options);
}

testtoken::RunResult VelkorApp::Import(const Bytes &p12, const std::string &pin, const std::string &password,
                                       const std::string &module, const std::string &subject,
                                       const std::string &issuer, const std::string &addition,
                                       const testtoken::EnvMap &env) const {
  testtoken::writeFile(p12Path(), p12);
  return Run({p12Path().string(), pin, password, module, subject, issuer, addition}, env);
}

Pki::Pki()
    : caName(testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "Velkor Test CA"}})),
      eeName(testtoken::simpleName({{"C", "JP"}, {"O", "Velkor Test"}, {"CN", "Taro Yamada"}})),
      ca(testtoken::CertAuthority::create(caName, 2048)),
      oldKey(testtoken::Key::rsa(2048)),
      newKey(testtoken::Key::rsa(2048)),
      oldCert(Issue(eeName, 1001, oldKey)),
      newCert(Issue(eeName, 1002, newKey)) {}

testtoken::Certificate Pki::Issue(const testtoken::Name &subject, uint64_t serial, const testtoken::Key &key,
                                  const std::string &keyUsage) const {
  testtoken::CertParams params;
  params.keyUsage = keyUsage;
  params.subject = subject;
  params.serial = testtoken::serialFromNumber(serial);
  params.basicConstraints = testtoken::BasicConstraints::CaFalse;
  return ca.issue(params, key);
}

Bytes Pki::Pkcs12(const testtoken::Key *key, const std::vector<const testtoken::Certificate *> &certs,
                  const std::string &pass) const {
  testtoken::Pkcs12Params params;
  params.password = pass;
  params.key = key;
  params.certs = certs;
  return testtoken::makePkcs12(params);
}

testtoken::Certificate Pki::OldCaCert() const {
  testtoken::CertParams params;
  params.subject = caName;
  params.serial = testtoken::serialFromNumber(7);
  params.basicConstraints = testtoken::BasicConstraints::CaTrue;
  params.keyUsage = "critical,keyCertSign,cRLSign";
  return testtoken::issueCertificate(params, ca.key, ca.key, nullptr);
}

std::string AnchorLine(const Bytes &id, bool upper) {
  std::string line;
  char buf[4];
  for (size_t i = 0; i < id.size(); ++i) {
    std::snprintf(buf, sizeof buf, upper ? "%02X" : "%02x", id[i]);
    line += (i ? " " : "") + std::string(buf);
  }
  return line;
}

Bytes Pki::Renewal() const { return Pkcs12(&newKey, {&newCert, &ca.cert}, password); }

const Pki &SharedPki() {
  static const Pki pki;
  return pki;
}

TokenView::TokenView(const testtoken::SoftHsmToken &token)
    : env(token.environment()), client(token.modulePath()), session(client.openSession(client.onlySlot())) {
  session.login(token.token().userPin);
}

std::vector<std::vector<Bytes>> Snapshot(testtoken::P11Session &session) {
  static const CK_ATTRIBUTE_TYPE kTypes[] = {CKA_CLASS,   CKA_LABEL,   CKA_ID,       CKA_SUBJECT,
                                             CKA_VALUE,   CKA_ISSUER,  CKA_SERIAL_NUMBER, CKA_MODULUS,
                                             CKA_PUBLIC_EXPONENT, CKA_VERIFY_RECOVER, CKA_PRIVATE};
  std::vector<std::vector<Bytes>> snap;
  for (CK_OBJECT_HANDLE h : session.findAll()) {
    std::vector<Bytes> values;
    for (CK_ATTRIBUTE_TYPE t : kTypes) values.push_back(session.attribute(h, t).value_or(Bytes{0xEE, 0xEE}));
    snap.push_back(std::move(values));
  }
  std::sort(snap.begin(), snap.end());
  return snap;
}

void SeedOldSet(testtoken::P11Session &session, const Pki &pki) {
  Bytes subject = pki.oldCert.subjectDer();
  session.createCertificate(pki.oldCert.der(), {0x01}, "old certificate");
  session.createPrivateKey(pki.oldKey.get(), {0x01}, "old key", subject);
  session.createPublicKey(pki.oldKey.get(), {0x01}, "old key", subject);
  session.createCertificate(pki.ca.cert.der(), {0x02}, "ca");
}

SetCheck CheckSets(testtoken::P11Session &session, const Pki &pki) {
  SetCheck check;
  std::vector<testtoken::TokenObject> objects = session.objects();
  Bytes eeSubject = pki.newCert.subjectDer();
  std::map<Bytes, int> kinds;  // id -> bit set: 1 cert, 2 private, 4 public
  for (const auto &o : objects) {
    int bit = 0;
    if (o.objectClass == CKO_CERTIFICATE) {
      if (o.subject == pki.ca.cert.subjectDer()) {
        check.caPresent = true;
        continue;
      }
      if (o.subject != eeSubject) continue;
      if (o.value == pki.oldCert.der()) check.oldCertPresent = true;
      bit = 1;
    } else if (o.objectClass == CKO_PRIVATE_KEY) {
      bit = 2;
    } else if (o.objectClass == CKO_PUBLIC_KEY) {
      bit = 4;
    }
    kinds[o.id] |= bit;
  }
  for (const auto &[id, bits] : kinds) {
    if (bits == 7) {
      ++check.completeSets;
      check.completeIds.push_back(id);
    } else if (id != Bytes{0x01} && id != Bytes{0x02}) {
      check.anyIncompleteNewObject = true;
    }
  }
  return check;
}

Bytes DerTlv(unsigned char tag, const Bytes &content) {
  Bytes out{tag};
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else {
    Bytes len;
    for (size_t v = n; v != 0; v >>= 8) len.insert(len.begin(), static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>(0x80 | len.size()));
    out.insert(out.end(), len.begin(), len.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

namespace {

Bytes Integer(const Bytes &unsignedValue) {
  Bytes v = unsignedValue;
  if (v.empty() || (v[0] & 0x80) != 0) v.insert(v.begin(), 0);
  return DerTlv(0x02, v);
}

}  // namespace

Bytes DerIntegers(const std::vector<Bytes> &unsignedValues) {
  Bytes out;
  for (const Bytes &v : unsignedValues) {
    Bytes i = Integer(v);
    out.insert(out.end(), i.begin(), i.end());
  }
  return out;
}

std::array<Bytes, 8> RsaComponents(const testtoken::Key &key) {
  const char *names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
                         OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                         OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  std::array<Bytes, 8> out;
  for (size_t i = 0; i < out.size(); ++i) {
    BIGNUM *bn = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), names[i], &bn) != 1) throw testtoken::Error("no RSA component");
    out[i].resize(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out[i].data());
    BN_clear_free(bn);
  }
  return out;
}

Bytes RsaPrivateKeyInfo(const std::array<Bytes, 8> &c) {
  Bytes rsa = DerIntegers({{0}});
  Bytes components = DerIntegers(std::vector<Bytes>(c.begin(), c.end()));
  rsa.insert(rsa.end(), components.begin(), components.end());
  const Bytes algorithm = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
  Bytes info = DerIntegers({{0}});
  info.insert(info.end(), algorithm.begin(), algorithm.end());
  Bytes key = DerTlv(0x04, DerTlv(0x30, rsa));
  info.insert(info.end(), key.begin(), key.end());
  return DerTlv(0x30, info);
}

testtoken::Key WithComponentChanged(const testtoken::Key &key, size_t component) {
  std::array<Bytes, 8> c = RsaComponents(key);
  c.at(component).back() ^= 0x02;
  return testtoken::Key::fromPrivateKeyInfo(RsaPrivateKeyInfo(c));
}

}  // namespace velkor_test
