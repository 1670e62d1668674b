// The certificates and private keys in the bags of a PKCS#12 file: the
// certificates in bag order (a certificate whose DER equals one already
// collected counts once), the two-prime RSA keys, and which certificate
// holds the public half of which key.
#ifndef PKCS12_PKCS12_BAGS_H_
#define PKCS12_PKCS12_BAGS_H_

#include <openssl/evp.h>
#include <openssl/pkcs12.h>

#include <cstddef>
#include <functional>
#include <vector>

#include "pkcs12/pkcs12_budget.h"
#include "platform/owned.h"

namespace velkor {

// What the private keys of a file are good for.
enum class KeyCondition {
  kUsable,
  // A key that is no two-prime RSA key (EC, DSA, RSA-PSS, more than two
  // primes) or whose modulus is beyond kMaxRsaBits.
  kNotTwoPrimeRsa,
  // An RSA key whose parts do not hold together: a public exponent that
  // is even, below 3 or not below n, n = p·q, d·e ≡ 1 modulo p−1 and q−1,
  // the CRT exponents and the coefficient.
  kDamaged,
};

// The largest RSA modulus a file's key may have; nothing is computed with a
// larger one.
inline constexpr int kMaxRsaBits = 16384;

using PrivateKeyInfo = platform::Owned<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
// Frees a stack of bags and the bags in it.
void FreeSafeBags(STACK_OF(PKCS12_SAFEBAG) * bags);
using SafeBags = platform::Owned<STACK_OF(PKCS12_SAFEBAG), FreeSafeBags>;

class BagCollection {
 public:
  // Opens a shrouded key bag: its key derivation charged and the bag
  // decrypted by the archive, which holds the password and the context.
  using Unshroud = std::function<Step(const PKCS12_SAFEBAG *bag, PrivateKeyInfo *key)>;

  // Keys and certificates are decoded in the library context `ctx`, which
  // outlives the collection.
  explicit BagCollection(OSSL_LIB_CTX *ctx) : ctx_(ctx) {}
  BagCollection(const BagCollection &) = delete;
  BagCollection &operator=(const BagCollection &) = delete;

  void Clear();
  // Collects the certificates and private keys of `bags` and of the safe
  // contents nested in them.
  Step Collect(const STACK_OF(PKCS12_SAFEBAG) * bags, const Unshroud &unshroud) {
    return Collect(bags, 0, unshroud);
  }
  // Pairs every certificate with the private key whose public half it holds.
  void MatchKeys();

  size_t CertificateCount() const { return certs_.size(); }
  const std::vector<unsigned char> &CertificateDer(size_t i) const { return certs_[i].der; }
  // The private key of certificate i; null when the file holds none.
  const EVP_PKEY *KeyOf(size_t i) const { return certs_[i].key; }
  // Whether every private key of the file can serve: a key that is not a
  // two-prime RSA key was never decoded, an RSA key is checked here.
  [[nodiscard]] KeyCondition CheckKeys() const;

 private:
  using Key = platform::Owned<EVP_PKEY, EVP_PKEY_free>;
  struct Cert {
    std::vector<unsigned char> der;
    const EVP_PKEY *key = nullptr;  // one of keys_, when it matches
  };

  Step Collect(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth, const Unshroud &unshroud);
  Step AddCertificate(const PKCS12_SAFEBAG *bag);
  Step AddKey(const PKCS8_PRIV_KEY_INFO *p8);

  OSSL_LIB_CTX *ctx_;
  std::vector<Cert> certs_;
  std::vector<Key> keys_;
  // A key bag held a key that is no two-prime RSA key within kMaxRsaBits.
  bool unusableKeySeen_ = false;
};

}  // namespace velkor

#endif  // PKCS12_PKCS12_BAGS_H_
