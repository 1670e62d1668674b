#include "pkcs12/pkcs12_bags.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <climits>

#include "der.h"

namespace velkor {

namespace {

namespace der = asn1x509::der;

using Certificate = platform::Owned<X509, X509_free>;
using Bn = platform::Owned<BIGNUM, BN_clear_free>;

// The DER certificate inside a certificate bag, read off the bag's encoding
// (the library's own, so DER): SafeBag { bagId, [0] CertBag { certId,
// [0] OCTET STRING } }.
bool CertificateInBag(const PKCS12_SAFEBAG *bag, std::vector<unsigned char> *certDer) {
  const int length = i2d_PKCS12_SAFEBAG(bag, nullptr);
  if (length <= 0) return false;
  std::vector<unsigned char> encoded(static_cast<size_t>(length));
  unsigned char *out = encoded.data();
  if (i2d_PKCS12_SAFEBAG(bag, &out) != length) return false;
  der::Input in(encoded.data(), encoded.size());
  der::Input safeBag, bagValue, certBag, certValue, octets;
  if (!in.ReadElement(der::kSequence, &safeBag) || !safeBag.ReadElement(der::kObjectIdentifier, nullptr) ||
      !safeBag.ReadElement(der::ContextConstructed(0), &bagValue) ||
      !bagValue.ReadElement(der::kSequence, &certBag) || !certBag.ReadElement(der::kObjectIdentifier, nullptr) ||
      !certBag.ReadElement(der::ContextConstructed(0), &certValue) ||
      !certValue.ReadElement(der::kOctetString, &octets)) {
    return false;
  }
  certDer->assign(octets.data(), octets.data() + octets.size());
  return true;
}

// The certificate in a certificate bag's DER, decoded in the library context.
Certificate DecodeCertificate(const unsigned char *der, size_t size, OSSL_LIB_CTX *ctx) {
  if (size > static_cast<size_t>(LONG_MAX)) return nullptr;
  X509 *cert = X509_new_ex(ctx, nullptr);
  if (cert == nullptr) return nullptr;
  const unsigned char *p = der;
  // On a decoding failure the object is freed and the pointer cleared.
  X509 *decoded = d2i_X509(&cert, &p, static_cast<long>(size));
  Certificate owner(cert);
  if (decoded == nullptr) return nullptr;
  return owner;
}

Bn Param(const EVP_PKEY *key, const char *name) {
  BIGNUM *value = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &value) != 1) return nullptr;
  return Bn(value);
}

// The arithmetic of a two-prime RSA key: a public exponent e that is odd,
// at least 3 and below n (e = 1 with d = 1 holds together but leaves every
// message as it is), n = p·q, d·e ≡ 1 modulo p−1 and modulo q−1,
// dp = d mod (p−1), dq = d mod (q−1), q·qinv ≡ 1 mod p.  The
// primes are not tested for primality (the cost of that grows with the
// cube of their size, and a changed prime already breaks n = p·q); every
// check here is a few multiplications and reductions.
bool RsaKeyHoldsTogether(const EVP_PKEY *key) {
  Bn n = Param(key, OSSL_PKEY_PARAM_RSA_N), e = Param(key, OSSL_PKEY_PARAM_RSA_E),
     d = Param(key, OSSL_PKEY_PARAM_RSA_D), p = Param(key, OSSL_PKEY_PARAM_RSA_FACTOR1),
     q = Param(key, OSSL_PKEY_PARAM_RSA_FACTOR2), dp = Param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1),
     dq = Param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2), qinv = Param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
  platform::Owned<BN_CTX, BN_CTX_free> ctx(BN_CTX_secure_new());
  Bn product(BN_secure_new()), pMinus1(BN_secure_new()), qMinus1(BN_secure_new()), r(BN_secure_new());
  if (!n || !e || !d || !p || !q || !dp || !dq || !qinv || !ctx || !product || !pMinus1 || !qMinus1 || !r) {
    return false;
  }
  if (BN_cmp(p.get(), BN_value_one()) <= 0 || BN_cmp(q.get(), BN_value_one()) <= 0 || BN_is_negative(d.get()) ||
      BN_is_negative(e.get())) {
    return false;
  }
  if (!BN_is_odd(e.get()) || BN_is_one(e.get()) || BN_cmp(e.get(), n.get()) >= 0) return false;
  // n = p·q
  if (BN_mul(product.get(), p.get(), q.get(), ctx.get()) != 1 || BN_cmp(product.get(), n.get()) != 0) return false;
  if (BN_sub(pMinus1.get(), p.get(), BN_value_one()) != 1 || BN_sub(qMinus1.get(), q.get(), BN_value_one()) != 1) {
    return false;
  }
  // d·e ≡ 1 modulo p−1 and q−1 (so modulo their least common multiple)
  for (const BIGNUM *m : {pMinus1.get(), qMinus1.get()}) {
    if (BN_mod_mul(r.get(), d.get(), e.get(), m, ctx.get()) != 1 || !BN_is_one(r.get())) return false;
  }
  // the CRT exponents
  if (BN_nnmod(r.get(), d.get(), pMinus1.get(), ctx.get()) != 1 || BN_cmp(r.get(), dp.get()) != 0) return false;
  if (BN_nnmod(r.get(), d.get(), qMinus1.get(), ctx.get()) != 1 || BN_cmp(r.get(), dq.get()) != 0) return false;
  // the coefficient: qinv < p and q·qinv ≡ 1 mod p
  if (BN_is_negative(qinv.get()) || BN_cmp(qinv.get(), p.get()) >= 0) return false;
  return BN_mod_mul(r.get(), q.get(), qinv.get(), p.get(), ctx.get()) == 1 && BN_is_one(r.get());
}

}  // namespace

void FreeSafeBags(STACK_OF(PKCS12_SAFEBAG) * bags) { sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free); }

void BagCollection::Clear() {
  certs_.clear();
  keys_.clear();
  unusableKeySeen_ = false;
}

Step BagCollection::AddCertificate(const PKCS12_SAFEBAG *bag) {
  std::vector<unsigned char> bagDer;
  if (!CertificateInBag(bag, &bagDer)) {
    ERR_raise(ERR_LIB_PKCS12, PKCS12_R_DECODE_ERROR);
    return Step::Failed();
  }
  Certificate cert = DecodeCertificate(bagDer.data(), bagDer.size(), ctx_);
  if (!cert) return Step::Failed();
  int len = i2d_X509(cert.get(), nullptr);
  if (len <= 0) return Step::Failed();
  Cert entry;
  entry.der.resize(static_cast<size_t>(len));
  unsigned char *out = entry.der.data();
  if (i2d_X509(cert.get(), &out) != len) return Step::Failed();
  // The same certificate in two bags (a CA of the key's chain and again as
  // a trusted entry) is one certificate.
  for (const Cert &known : certs_) {
    if (known.der == entry.der) return Step::Done();
  }
  certs_.push_back(std::move(entry));
  return Step::Done();
}

Step BagCollection::AddKey(const PKCS8_PRIV_KEY_INFO *p8) {
  if (p8 == nullptr) return Step::Failed();
  // Told by its algorithm identifier before anything is decoded: decoding
  // some key types computes with their parameters (a DSA key's public value
  // is an exponentiation modulo a p of any size).
  const ASN1_OBJECT *algorithm = nullptr;
  if (PKCS8_pkey_get0(&algorithm, nullptr, nullptr, nullptr, p8) != 1) return Step::Failed();
  if (OBJ_obj2nid(algorithm) != NID_rsaEncryption) {
    unusableKeySeen_ = true;
    return Step::Done();
  }
  Key key(EVP_PKCS82PKEY_ex(p8, ctx_, nullptr));
  if (!key) return Step::Failed();
  BIGNUM *third = nullptr;
  const bool multiPrime = EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR3, &third) == 1;
  BN_free(third);
  ERR_clear_error();
  if (multiPrime || EVP_PKEY_get_bits(key.get()) > kMaxRsaBits) {
    unusableKeySeen_ = true;
    return Step::Done();
  }
  keys_.push_back(std::move(key));
  return Step::Done();
}

KeyCondition BagCollection::CheckKeys() const {
  if (unusableKeySeen_) return KeyCondition::kNotTwoPrimeRsa;
  KeyCondition condition = KeyCondition::kUsable;
  for (const Key &key : keys_) {
    if (!RsaKeyHoldsTogether(key.get())) {
      condition = KeyCondition::kDamaged;
      break;
    }
  }
  ERR_clear_error();
  return condition;
}

Step BagCollection::Collect(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth, const Unshroud &unshroud) {
  if (depth > kMaxBagDepth) return Step::Refused(kPkcs12TooManyBags);
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    const PKCS12_SAFEBAG *bag = sk_PKCS12_SAFEBAG_value(bags, i);
    Step step = Step::Done();
    switch (PKCS12_SAFEBAG_get_nid(bag)) {
      case NID_certBag:
        if (PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate) step = AddCertificate(bag);
        break;
      case NID_keyBag:
        step = AddKey(PKCS12_SAFEBAG_get0_p8inf(bag));
        break;
      case NID_pkcs8ShroudedKeyBag: {
        PrivateKeyInfo p8;
        step = unshroud(bag, &p8);
        if (step.done()) step = AddKey(p8.get());
        break;
      }
      case NID_safeContentsBag:
        step = Collect(PKCS12_SAFEBAG_get0_safes(bag), depth + 1, unshroud);
        break;
      default:
        break;  // CRL and secret bags carry nothing for the token
    }
    if (!step.done()) return step;
  }
  return Step::Done();
}

void BagCollection::MatchKeys() {
  // A certificate belongs to a private key of the file when the key's
  // public half is the certificate's.
  for (Cert &cert : certs_) {
    Certificate x = DecodeCertificate(cert.der.data(), cert.der.size(), ctx_);
    if (!x) continue;
    for (const Key &key : keys_) {
      if (X509_check_private_key(x.get(), key.get()) == 1) {
        cert.key = key.get();
        break;
      }
    }
  }
  ERR_clear_error();
}

}  // namespace velkor
