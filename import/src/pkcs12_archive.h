// The PKCS#12 file's contents: password conversion, MAC check, decryption
// of the bags, the certificates in bag order with the knowledge of which of
// them has its private key in the file, and the export of that key as a
// DER PrivateKeyInfo.  All of it runs in a crypto library context of the
// program's own, with OpenSSL's default and legacy providers loaded, so
// that neither the machine's openssl.cnf nor the process-wide defaults
// decide which encryptions a file may use.
#ifndef IMPORT_PKCS12_ARCHIVE_H_
#define IMPORT_PKCS12_ARCHIVE_H_

#include <openssl/evp.h>
#include <openssl/pkcs12.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/secure.h"

namespace velkor {

enum class PasswordConversion { kOk, kConvertFailed, kNoMemory };

// Converts the password from the locale's multibyte text into a wide
// string (n + 1 characters, zero-filled, n counting the terminator) and from
// that into UTF-8, the form the PKCS#12 key derivation takes.  Both forms
// live in wiped buffers.
[[nodiscard]] PasswordConversion ConvertPassword(const char *localPassword, platform::SecureBuffer *wide,
                                                 platform::SecureBuffer *utf8);

// Encodes wide characters (whole code points) as UTF-8 into `out`, which
// must hold 4 bytes per character plus the terminator.  False for a value
// that is no Unicode scalar value.
[[nodiscard]] bool WideToUtf8(const wchar_t *wide, size_t count, unsigned char *out, size_t room,
                              size_t *written);

// The low 32 bits of the last error OpenSSL recorded, as the code that the
// messages show for a failing PKCS#12 or key-export step.
uint32_t LastCryptoError();

enum class KeyExport { kOk, kExportFailed, kNoMemory };

// What the private keys of a file are good for.
enum class KeyCondition {
  kUsable,
  // A key that is no two-prime RSA key (EC, DSA, RSA-PSS, more than two
  // primes) or whose modulus is beyond kMaxRsaBits.
  kNotTwoPrimeRsa,
  // An RSA key whose private parts do not hold together: n = p·q,
  // d·e ≡ 1 modulo p−1 and q−1, the CRT exponents and the coefficient.
  kDamaged,
};

// The largest RSA modulus a file's key may have; nothing is computed with a
// larger one.
inline constexpr int kMaxRsaBits = 16384;

// Codes of our own that stand where the crypto library's error code would
// be shown when a file is refused before the work it asks for is done, or
// cannot be read on this machine.  They never collide with OpenSSL's codes
// (their library field, bits 23 to 30, is one OpenSSL does not use).
// An iteration count of the MAC, of a PKCS#12 PBE / PBES1 or of a PBKDF2
// (scrypt: its cost) above kMaxIterations, or the key derivations of a
// whole file costing more than kMaxWorkInAll.
inline constexpr uint32_t kPkcs12TooManyIterations = 0x7F120001;
// More than kMaxSafes safes or kMaxBags bags in all, or bags nested deeper
// than kMaxBagDepth.
inline constexpr uint32_t kPkcs12TooManyBags = 0x7F120002;
// The file's encryption or MAC (RC2, RC4, DES, ...) needs OpenSSL's legacy
// provider, which is not installed on this machine.
inline constexpr uint32_t kPkcs12LegacyProviderMissing = 0x7F120003;

// The bounds.  The highest default of today's producers is 600,000
// iterations; a real file holds a few bags.
inline constexpr int64_t kMaxIterations = 10'000'000;
// The key derivations of one file together, in estimated nanoseconds of a
// present-day core (each iteration weighted by what its digest costs; see
// IterationCost): about a second or two of real work at the most, so that
// no file keeps the program busy for long before the token is touched,
// while a million iterations in every place of a file still pass.
inline constexpr uint64_t kMaxWorkInAll = 5'000'000'000;
inline constexpr size_t kMaxSafes = 64;
inline constexpr size_t kMaxBags = 64;
inline constexpr int kMaxBagDepth = 8;

class Pkcs12Archive {
 public:
  Pkcs12Archive() = default;
  Pkcs12Archive(const Pkcs12Archive &) = delete;
  Pkcs12Archive &operator=(const Pkcs12Archive &) = delete;

  // True when the bytes begin with one complete PKCS#12 structure (bytes
  // after it are ignored, as other readers do).
  [[nodiscard]] bool Open(const unsigned char *bytes, size_t size);
  // True when the MAC verifies with the password (UTF-8, `length` bytes);
  // an empty password also tries the absent password.  A file without a MAC
  // passes, its contents are then checked by decryption.  A file refused
  // for its bounds (or one this machine cannot read) also passes without
  // any key derivation: Import() reports it.
  [[nodiscard]] bool VerifyPassword(const unsigned char *utf8, size_t length);
  // Decrypts the contents with the verified password and collects the
  // certificates in bag order (a certificate whose DER equals one already
  // collected counts once) and the private keys.  On failure *code holds
  // the crypto library's error or one of the kPkcs12 codes above.
  [[nodiscard]] bool Import(uint32_t *code);

  size_t CertificateCount() const { return certs_.size(); }
  const std::vector<unsigned char> &CertificateDer(size_t i) const { return certs_[i].der; }
  // The file holds a private key whose public key matches certificate i.
  bool HasPrivateKey(size_t i) const { return certs_[i].key != nullptr; }
  // Whether every private key of the file can serve: a key that is not a
  // two-prime RSA key was never decoded, an RSA key is checked here.
  [[nodiscard]] KeyCondition CheckKeys() const;
  // The DER PrivateKeyInfo of certificate i's private key.
  [[nodiscard]] KeyExport ExportPkcs8(size_t i, platform::SecureBuffer *out, uint32_t *code) const;

 private:
  struct KeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
  };
  struct Pkcs12Free {
    void operator()(PKCS12 *p) const { PKCS12_free(p); }
  };
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
  using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
  struct Cert {
    std::vector<unsigned char> der;
    EVP_PKEY *key = nullptr;  // one of keys_, when it matches
  };

  [[nodiscard]] bool CollectBags(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth);
  [[nodiscard]] bool AddCertificate(const PKCS12_SAFEBAG *bag);
  [[nodiscard]] bool AddKey(const PKCS8_PRIV_KEY_INFO *p8);
  [[nodiscard]] bool OpenSafe(PKCS7 *safe, STACK_OF(PKCS12_SAFEBAG) * *bags);
  [[nodiscard]] bool CountBags(const unsigned char *ber, size_t size);
  // Counts the iterations an encryption algorithm asks for against the
  // bounds and checks that its cipher and digest are at hand; sets
  // refusal_ and returns false when the file is refused.
  [[nodiscard]] bool AllowAlgorithm(const X509_ALGOR *alg);
  // `derivations` runs of a key derivation over `count` iterations of the
  // digest `digestNid`.
  [[nodiscard]] bool SpendIterations(const ASN1_INTEGER *count, int digestNid, uint64_t derivations = 1);
  [[nodiscard]] bool SpendWork(uint64_t iterations, uint64_t costEach);
  [[nodiscard]] bool Available(int cipherNid, int digestNid);
  bool Refuse(uint32_t code);  // always false

  // Declared first, so that it goes last: every object below may belong
  // to it.
  Context context_;
  std::unique_ptr<PKCS12, Pkcs12Free> p12_;
  // Set when the file is refused (or cannot be read here) before the work
  // it asks for; Import() then fails with this code.
  bool refused_ = false;
  uint32_t refusalCode_ = 0;
  uint64_t workSpent_ = 0;  // estimated nanoseconds, see kMaxWorkInAll
  size_t bagsSeen_ = 0;
  // A key bag held a key that is no two-prime RSA key within kMaxRsaBits.
  bool unusableKeySeen_ = false;
  const char *pass_ = nullptr;  // points into the caller's UTF-8 password
  int passLength_ = 0;
  std::vector<Cert> certs_;
  std::vector<Key> keys_;
};

}  // namespace velkor

#endif  // IMPORT_PKCS12_ARCHIVE_H_
