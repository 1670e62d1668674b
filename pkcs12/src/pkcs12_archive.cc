#include "pkcs12/pkcs12_archive.h"

#include <openssl/err.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <climits>

#include "pkcs12/messages.h"

namespace velkor {

namespace {

void FreeSafes(STACK_OF(PKCS7) * safes) { sk_PKCS7_pop_free(safes, PKCS7_free); }

// Decrypted safe contents, wiped before release.
class PlainBytes {
 public:
  PlainBytes() = default;
  ~PlainBytes() { OPENSSL_clear_free(data_, static_cast<size_t>(size_)); }
  PlainBytes(const PlainBytes &) = delete;
  PlainBytes &operator=(const PlainBytes &) = delete;
  unsigned char **out() { return &data_; }
  int *size() { return &size_; }
  const unsigned char *data() const { return data_; }
  int length() const { return size_; }

 private:
  unsigned char *data_ = nullptr;
  int size_ = 0;
};

}  // namespace

Pkcs12Archive::Context::Context() {
  ctx_ = OSSL_LIB_CTX_new();
  if (ctx_ != nullptr) {
    default_ = OSSL_PROVIDER_load(ctx_, "default");
    // RC2, RC4, DES and the older digests live in the legacy provider.  A
    // machine without it still reads every other file.
    legacy_ = OSSL_PROVIDER_load(ctx_, "legacy");
  }
  if (!usable()) failure_ = LastCryptoError();
  ERR_clear_error();
}

Pkcs12Archive::Context::~Context() {
  if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
  if (default_ != nullptr) OSSL_PROVIDER_unload(default_);
  OSSL_LIB_CTX_free(ctx_);
}

Outcome Pkcs12Archive::Open(const unsigned char *bytes, size_t size) {
  p12_.reset();
  bags_.Clear();
  budget_ = WorkBudget();
  pass_ = nullptr;
  passLength_ = 0;
  if (bytes == nullptr || size == 0 || size > static_cast<size_t>(LONG_MAX)) {
    return Outcome::FailureText(kFailure, msg::kNotPfx);
  }
  ERR_clear_error();
  // Decoded into a structure of the library context, so that the MAC is
  // computed there too.
  PKCS12 *decoded = context_.usable() ? PKCS12_init_ex(NID_pkcs7_data, context_.get(), nullptr) : nullptr;
  const unsigned char *p = bytes;
  const bool ok = d2i_PKCS12(&decoded, &p, static_cast<long>(size)) != nullptr;
  p12_.reset(decoded);  // null after a failure: the decoder freed it
  if (!ok) {
    p12_.reset();
    ERR_clear_error();
    return Outcome::FailureText(kFailure, msg::kNotPfx);
  }
  ERR_clear_error();
  if (!context_.usable()) return Outcome::Failure(kFailure, msg::kPfxImport, context_.failure());
  // Bytes after the structure are not looked at.
  if (Step counted = budget_.CountSafes({bytes, static_cast<size_t>(p - bytes)}); !counted.done()) {
    return Outcome::Failure(kFailure, msg::kPfxImport, counted.code);
  }
  return {};
}

Outcome Pkcs12Archive::VerifyPassword(const unsigned char *utf8, size_t length) {
  pass_ = nullptr;
  passLength_ = 0;
  if (!p12_ || length > static_cast<size_t>(INT_MAX)) return Outcome::FailureText(kFailure, msg::kWrongPassword);
  const char *pass = reinterpret_cast<const char *>(utf8);
  auto passLength = static_cast<int>(length);
  pass_ = pass;
  passLength_ = passLength;
  if (!PKCS12_mac_present(p12_.get())) return {};
  const X509_ALGOR *macAlg = nullptr;
  const ASN1_INTEGER *iterations = nullptr;
  PKCS12_get0_mac(nullptr, &macAlg, nullptr, &iterations, p12_.get());
  const ASN1_OBJECT *macDigest = nullptr;
  if (macAlg != nullptr) X509_ALGOR_get0(&macDigest, nullptr, nullptr, macAlg);
  const int macDigestNid = OBJ_obj2nid(macDigest);
  Step allowed = budget_.ChargeIterations(iterations, macDigestNid);
  if (allowed.done()) allowed = Available({NID_undef, macDigestNid});
  if (!allowed.done()) {
    ERR_clear_error();
    return Outcome::Failure(kFailure, msg::kPfxImport, allowed.code);
  }
  if (PKCS12_verify_mac(p12_.get(), pass, passLength) == 1) {
    ERR_clear_error();
    return {};
  }
  // An empty password may also mean no password at all: a second MAC, and
  // its iterations count too.
  if (length == 0) {
    if (Step charged = budget_.ChargeIterations(iterations, macDigestNid); !charged.done()) {
      ERR_clear_error();
      return Outcome::Failure(kFailure, msg::kPfxImport, charged.code);
    }
    if (PKCS12_verify_mac(p12_.get(), nullptr, 0) == 1) {
      pass_ = nullptr;
      passLength_ = 0;
      ERR_clear_error();
      return {};
    }
  }
  ERR_clear_error();
  pass_ = nullptr;
  passLength_ = 0;
  return Outcome::FailureText(kFailure, msg::kWrongPassword);
}

Step Pkcs12Archive::Available(const AlgorithmNeeds &needs) const {
  // With the legacy provider at hand, whatever is still missing is
  // reported by the library itself.
  if (context_.legacyLoaded()) return Step::Done();
  bool ok = true;
  ERR_set_mark();
  if (needs.cipherNid != NID_undef) {
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(context_.get(), OBJ_nid2sn(needs.cipherNid), nullptr);
    ok = cipher != nullptr;
    EVP_CIPHER_free(cipher);
  }
  if (ok && needs.digestNid != NID_undef) {
    EVP_MD *md = EVP_MD_fetch(context_.get(), OBJ_nid2sn(needs.digestNid), nullptr);
    ok = md != nullptr;
    EVP_MD_free(md);
  }
  ERR_pop_to_mark();
  return ok ? Step::Done() : Step::Refused(kPkcs12LegacyProviderMissing);
}

Step Pkcs12Archive::AllowAlgorithm(const X509_ALGOR *alg) {
  AlgorithmNeeds needs;
  if (Step charged = budget_.ChargeAlgorithm(alg, &needs); !charged.done()) return charged;
  return Available(needs);
}

Step Pkcs12Archive::OpenSafe(PKCS7 *safe, SafeBags *bags) {
  bags->reset();
  switch (OBJ_obj2nid(safe->type)) {
    case NID_pkcs7_data: {
      const ASN1_OCTET_STRING *data = safe->d.data;
      if (data != nullptr) {
        Step counted = budget_.CountBags({data->data, static_cast<size_t>(data->length)});
        if (!counted.done()) return counted;
      }
      bags->reset(PKCS12_unpack_p7data(safe));
      return *bags ? Step::Done() : Step::Failed();
    }
    case NID_pkcs7_encrypted: {
      const PKCS7_ENC_CONTENT *content = safe->d.encrypted != nullptr ? safe->d.encrypted->enc_data : nullptr;
      if (content == nullptr || content->algorithm == nullptr || content->enc_data == nullptr) {
        ERR_raise(ERR_LIB_PKCS12, PKCS12_R_DECODE_ERROR);
        return Step::Failed();
      }
      if (Step allowed = AllowAlgorithm(content->algorithm); !allowed.done()) return allowed;
      PlainBytes plain;
      if (PKCS12_pbe_crypt_ex(content->algorithm, pass_, passLength_, content->enc_data->data,
                              content->enc_data->length, plain.out(), plain.size(), 0, context_.get(),
                              nullptr) == nullptr) {
        return Step::Failed();
      }
      if (Step counted = budget_.CountBags({plain.data(), static_cast<size_t>(plain.length())}); !counted.done()) {
        return counted;
      }
      const unsigned char *p = plain.data();
      bags->reset(reinterpret_cast<STACK_OF(PKCS12_SAFEBAG) *>(
          ASN1_item_d2i(nullptr, &p, plain.length(), ASN1_ITEM_rptr(PKCS12_SAFEBAGS))));
      return *bags ? Step::Done() : Step::Failed();
    }
    default:
      return Step::Done();  // enveloped contents cannot be opened with a password
  }
}

Step Pkcs12Archive::Unshroud(const PKCS12_SAFEBAG *bag, PrivateKeyInfo *key) {
  const X509_SIG *shrouded = PKCS12_SAFEBAG_get0_pkcs8(bag);
  const X509_ALGOR *alg = nullptr;
  if (shrouded != nullptr) X509_SIG_get0(shrouded, &alg, nullptr);
  if (Step allowed = AllowAlgorithm(alg); !allowed.done()) return allowed;
  key->reset(PKCS12_decrypt_skey_ex(bag, pass_, passLength_, context_.get(), nullptr));
  return *key ? Step::Done() : Step::Failed();
}

Step Pkcs12Archive::ImportSafes() {
  if (!p12_) return Step::Failed();
  platform::Owned<STACK_OF(PKCS7), FreeSafes> safes(PKCS12_unpack_authsafes(p12_.get()));
  if (!safes) return Step::Failed();
  const BagCollection::Unshroud unshroud = [this](const PKCS12_SAFEBAG *bag, PrivateKeyInfo *key) {
    return Unshroud(bag, key);
  };
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    SafeBags bags;
    if (Step opened = OpenSafe(sk_PKCS7_value(safes.get(), i), &bags); !opened.done()) return opened;
    if (!bags) continue;
    if (Step collected = bags_.Collect(bags.get(), unshroud); !collected.done()) return collected;
  }
  bags_.MatchKeys();
  return Step::Done();
}

Outcome Pkcs12Archive::Import() {
  bags_.Clear();
  ERR_clear_error();
  const Step imported = ImportSafes();
  // Every bag is open: the caller may wipe the password now.
  pass_ = nullptr;
  passLength_ = 0;
  if (!imported.done()) {
    bags_.Clear();
    ERR_clear_error();
    return Outcome::Failure(kFailure, msg::kPfxImport, imported.code);
  }
  // A file without any certificate has nothing to import.
  if (bags_.CertificateCount() == 0) return Outcome::FailureText(kFailure, msg::kNoCert);
  return {};
}

Outcome Pkcs12Archive::CheckKeys() const {
  switch (bags_.CheckKeys()) {
    case KeyCondition::kUsable:
      return {};
    case KeyCondition::kNotTwoPrimeRsa:
      return Outcome::FailureText(kFailure, msg::kKeyNotRsa);
    case KeyCondition::kDamaged:
      break;
  }
  return Outcome::FailureText(kFailure, msg::kKeyDamaged);
}

Outcome Pkcs12Archive::ExportPkcs8(size_t i, platform::SecureBuffer *out) const {
  ERR_clear_error();
  if (i >= bags_.CertificateCount() || bags_.KeyOf(i) == nullptr) {
    return Outcome::Failure(kFailure, msg::kKeyExport, LastCryptoError());
  }
  PrivateKeyInfo p8(EVP_PKEY2PKCS8(bags_.KeyOf(i)));
  int length = p8 ? i2d_PKCS8_PRIV_KEY_INFO(p8.get(), nullptr) : -1;
  if (length <= 0) {
    const uint32_t code = LastCryptoError();
    ERR_clear_error();
    return Outcome::Failure(kFailure, msg::kKeyExport, code);
  }
  if (!out->Allocate(static_cast<size_t>(length))) return Outcome::FailureText(kFailure, msg::kKeyExportMemory);
  unsigned char *p = out->data();
  if (i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &p) != length) {
    const uint32_t code = LastCryptoError();
    ERR_clear_error();
    out->Release();
    return Outcome::Failure(kFailure, msg::kKeyExport, code);
  }
  return {};
}

}  // namespace velkor
