// The PKCS#12 file's contents: password conversion, MAC check, decryption
// of the bags, the certificates in bag order with the knowledge of which of
// them has its private key in the file, and the export of that key as a
// DER PrivateKeyInfo.
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

class Pkcs12Archive {
 public:
  Pkcs12Archive() = default;
  Pkcs12Archive(const Pkcs12Archive &) = delete;
  Pkcs12Archive &operator=(const Pkcs12Archive &) = delete;

  // True when the bytes decode, completely, as one PKCS#12 structure.
  [[nodiscard]] bool Open(const unsigned char *bytes, size_t size);
  // True when the MAC verifies with the password (UTF-8, `length` bytes);
  // an empty password also tries the absent password.  A file without a MAC
  // passes, its contents are then checked by decryption.
  [[nodiscard]] bool VerifyPassword(const unsigned char *utf8, size_t length);
  // Decrypts the contents with the verified password and collects the
  // certificates in bag order and the private keys.  On failure *code holds
  // the crypto library's error.
  [[nodiscard]] bool Import(uint32_t *code);

  size_t CertificateCount() const { return certs_.size(); }
  const std::vector<unsigned char> &CertificateDer(size_t i) const { return certs_[i].der; }
  // The file holds a private key whose public key matches certificate i.
  bool HasPrivateKey(size_t i) const { return certs_[i].key != nullptr; }
  // The DER PrivateKeyInfo of certificate i's private key.
  [[nodiscard]] KeyExport ExportPkcs8(size_t i, platform::SecureBuffer *out, uint32_t *code) const;

 private:
  struct KeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
  };
  struct Pkcs12Free {
    void operator()(PKCS12 *p) const { PKCS12_free(p); }
  };
  using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
  struct Cert {
    std::vector<unsigned char> der;
    EVP_PKEY *key = nullptr;  // one of keys_, when it matches
  };

  [[nodiscard]] bool CollectBags(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth);

  std::unique_ptr<PKCS12, Pkcs12Free> p12_;
  const char *pass_ = nullptr;  // points into the caller's UTF-8 password
  int passLength_ = 0;
  std::vector<Cert> certs_;
  std::vector<Key> keys_;
};

}  // namespace velkor

#endif  // IMPORT_PKCS12_ARCHIVE_H_
