// The PKCS#12 file's contents: MAC check, decryption of the bags, the
// certificates in bag order with the knowledge of which of them has its
// private key in the file, and the export of that key as a DER
// PrivateKeyInfo.  All of it runs in a crypto library context of the
// program's own, with OpenSSL's default and legacy providers loaded, so
// that neither the machine's openssl.cnf nor the process-wide defaults
// decide which encryptions a file may use.  What a file may ask for is
// bounded by its WorkBudget; the bags are read by a BagCollection.
#ifndef PKCS12_PKCS12_ARCHIVE_H_
#define PKCS12_PKCS12_ARCHIVE_H_

#include <openssl/evp.h>
#include <openssl/pkcs12.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pkcs12/pkcs12_bags.h"
#include "pkcs12/pkcs12_budget.h"
#include "platform/owned.h"
#include "platform/secure.h"
#include "token/outcome.h"

namespace velkor {

using token::kFailure;
using token::Outcome;

class Pkcs12Archive {
 public:
  Pkcs12Archive() = default;
  Pkcs12Archive(const Pkcs12Archive &) = delete;
  Pkcs12Archive &operator=(const Pkcs12Archive &) = delete;

  // Each step fails with -1 and the message the import reports.
  // The bytes must begin with one complete PKCS#12 structure (bytes after
  // it are ignored, as other readers do) within the bounds.
  Outcome Open(const unsigned char *bytes, size_t size);
  // The MAC must verify with the password (UTF-8, `length` bytes); an empty
  // password also tries the absent password.  A file without a MAC passes,
  // its contents are then checked by decryption.  A MAC that asks for more
  // work than the bounds allow is refused before anything is derived.
  Outcome VerifyPassword(const unsigned char *utf8, size_t length);
  // Decrypts the contents with the verified password and collects the
  // certificates (at least one) and the private keys.  The code a refusal
  // shows is one of the kPkcs12 codes, that of a failure the crypto
  // library's.
  Outcome Import();

  size_t CertificateCount() const { return bags_.CertificateCount(); }
  const std::vector<unsigned char> &CertificateDer(size_t i) const { return bags_.CertificateDer(i); }
  // The file holds a private key whose public key matches certificate i.
  bool HasPrivateKey(size_t i) const { return bags_.KeyOf(i) != nullptr; }
  // Every private key of the file must be able to serve: a two-prime RSA
  // key whose parts hold together.
  Outcome CheckKeys() const;
  // The DER PrivateKeyInfo of certificate i's private key.
  Outcome ExportPkcs8(size_t i, platform::SecureBuffer *out) const;

 private:
  // The library context with the providers loaded into it; the providers
  // are unloaded before the context goes.
  class Context {
   public:
    Context();
    ~Context();
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    OSSL_LIB_CTX *get() const { return ctx_; }
    bool usable() const { return ctx_ != nullptr && default_ != nullptr; }
    bool legacyLoaded() const { return legacy_ != nullptr; }
    uint32_t failure() const { return failure_; }  // the library's code when not usable

   private:
    uint32_t failure_ = 0;
    OSSL_LIB_CTX *ctx_ = nullptr;
    OSSL_PROVIDER *default_ = nullptr;
    OSSL_PROVIDER *legacy_ = nullptr;
  };
  Step ImportSafes();
  // The bags of one safe of the authenticated safe; none for contents that
  // cannot be opened with a password.
  Step OpenSafe(PKCS7 *safe, SafeBags *bags);
  Step Unshroud(const PKCS12_SAFEBAG *bag, PrivateKeyInfo *key);
  // Charges the key derivation of an encryption and checks that its
  // cipher and digest are at hand.
  Step AllowAlgorithm(const X509_ALGOR *alg);
  Step Available(const AlgorithmNeeds &needs) const;

  // Declared first, so that it goes last: every object below may belong
  // to it.
  Context context_;
  platform::Owned<PKCS12, PKCS12_free> p12_;
  WorkBudget budget_;
  BagCollection bags_{context_.get()};
  const char *pass_ = nullptr;  // points into the caller's UTF-8 password
  int passLength_ = 0;
};

}  // namespace velkor

#endif  // PKCS12_PKCS12_ARCHIVE_H_
