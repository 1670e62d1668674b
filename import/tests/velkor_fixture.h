// What the Velkor tests share: the program in a folder of its own (its log
// and trust anchor file sit beside it), a small PKI made by OpenSSL, token
// seeding the way another application writes, and the expected log texts.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "testtoken/testtoken.h"

namespace velkor_test {

using testtoken::Bytes;
using testtoken::signatureVerifies;

// The result line every import log ends with.
std::string LogText(const std::string &message, int code);
// The log as the file holds it: cp932 bytes.
std::string Cp932(const std::string &utf8);

// Velkor copied into <temp>/bin with <temp>/lib pointing at the built
// libraries, so that its log and trust anchor file are private to a test.
class VelkorApp {
 public:
  VelkorApp();
  const std::filesystem::path &folder() const { return dir_.path(); }
  std::filesystem::path binFolder() const { return dir_.path() / "bin"; }
  std::filesystem::path logPath() const { return binFolder() / "Tamrin.txt"; }
  std::filesystem::path p12Path() const { return dir_.path() / "in.p12"; }
  std::filesystem::path trustAnchorPath() const { return binFolder() / "trustAnchor.config"; }
  // The raw bytes of Tamrin.txt; none when there is no log.
  std::optional<std::string> Log() const;

  // Runs Velkor with the seven arguments.
  testtoken::RunResult Run(const std::vector<std::string> &args, const testtoken::EnvMap &env) const;
  // Runs velkor-preview, copied beside Velkor on first use, with `args`.
  testtoken::RunResult Preview(const std::vector<std::string> &args, const testtoken::EnvMap &env) const;
  // Writes `p12` to p12Path() and runs the usual command line.
  testtoken::RunResult Import(const Bytes &p12, const std::string &pin, const std::string &password,
                              const std::string &module, const std::string &subject, const std::string &issuer,
                              const std::string &addition, const testtoken::EnvMap &env) const;

 private:
  testtoken::TempDir dir_{"velkor"};
};

// A CA with an end-entity subject and three key pairs: the "old" one on the
// token, the renewed one in the PKCS#12 file, and a spare.
struct Pki {
  Pki();
  testtoken::Name caName;
  testtoken::Name eeName;
  testtoken::CertAuthority ca;
  testtoken::Key oldKey;
  testtoken::Key newKey;
  testtoken::Certificate oldCert;  // serial 1001
  testtoken::Certificate newCert;  // serial 1002
  std::string password = "p12-pass";

  // `keyUsage` as OpenSSL's configuration writes it ("critical,digitalSignature"); empty: none.
  testtoken::Certificate Issue(const testtoken::Name &subject, uint64_t serial, const testtoken::Key &key,
                               const std::string &keyUsage = "") const;
  // A CA certificate of the same name and key as the current one, but an
  // older serial: what the token holds before a CA renewal.
  testtoken::Certificate OldCaCert() const;
  // End-entity certificate and key, then the CA certificate.
  Bytes Renewal() const;
  Bytes Pkcs12(const testtoken::Key *key, const std::vector<const testtoken::Certificate *> &certs,
               const std::string &pass) const;
};

// A key identifier as a trust anchor file line: hex bytes separated by
// blanks.
std::string AnchorLine(const Bytes &id, bool upper);

// One PKI for the whole test program (key generation is slow).
const Pki &SharedPki();

// The logged-in session on the only token that the fixture's server shows.
struct TokenView {
  explicit TokenView(const testtoken::SoftHsmToken &token);
  testtoken::ScopedEnv env;
  testtoken::P11Client client;
  testtoken::P11Session session;
};

// Every object with all attributes that matter, in a fixed order, to
// compare a token before and after a run.  (Handles are not compared: the
// token numbers its objects afresh in every session.)
std::vector<std::vector<testtoken::Bytes>> Snapshot(testtoken::P11Session &session);

// The old set as another application writes it: certificate, private and
// public key under CKA_ID 01 (keys with the certificate's subject), and the
// CA certificate under 02.
void SeedOldSet(testtoken::P11Session &session, const Pki &pki);

// A complete set for a subject: a certificate and both keys sharing its
// CKA_ID.
struct SetCheck {
  int completeSets = 0;
  bool anyIncompleteNewObject = false;  // an object not under 01/02 without its full set
  bool oldCertPresent = false;
  bool caPresent = false;
  std::vector<Bytes> completeIds;
};
SetCheck CheckSets(testtoken::P11Session &session, const Pki &pki);

// A DER element, and unsigned integers as consecutive DER INTEGERs.
Bytes DerTlv(unsigned char tag, const Bytes &content);
Bytes DerIntegers(const std::vector<Bytes> &unsignedValues);
// The eight components of an RSA key, unsigned big-endian, in PKCS#1
// order: n, e, d, p, q, dp, dq, qinv.
std::array<Bytes, 8> RsaComponents(const testtoken::Key &key);
// A PrivateKeyInfo (rsaEncryption) made by hand from the components as
// given, whether they hold together or not.
Bytes RsaPrivateKeyInfo(const std::array<Bytes, 8> &components);
// The key with one component (index as above) changed in its last byte.
testtoken::Key WithComponentChanged(const testtoken::Key &key, size_t component);

}  // namespace velkor_test
