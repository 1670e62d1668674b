// The proof that the private key a renewal wrote works on the token, made
// after the last write and before the first deletion: the key signs a
// fresh challenge that the certificate's public key verifies, and decrypts
// a fresh challenge encrypted to that public key, each as the certificate's
// key usage asks.  A token that stores the key differently, limits its
// usages or mangles it is found here, while the old set is still whole.
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <vector>

#include "import_messages.h"
#include "import_run.h"
#include "pkcs12/pkcs12_budget.h"
#include "platform/owned.h"

namespace velkor {

namespace {

// The DER prefix of a DigestInfo of a SHA-256 digest (RFC 8017, 9.2).
constexpr std::array<unsigned char, 19> kSha256DigestInfoPrefix = {
    0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
constexpr size_t kChallengeSize = 32;

using Pkey = platform::Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;

// What the certificate lets its key do: sign (digitalSignature or
// nonRepudiation), decrypt (keyEncipherment); both without a key usage.
struct Usages {
  bool sign = false;
  bool decrypt = false;
};

Usages UsagesOf(X509 *cert) {
  if ((X509_get_extension_flags(cert) & EXFLAG_KUSAGE) == 0) return {true, true};
  const uint32_t usage = X509_get_key_usage(cert);
  return {(usage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) != 0, (usage & KU_KEY_ENCIPHERMENT) != 0};
}

}  // namespace

Outcome ImportRun::ProveNewKey() {
  const auto key = std::find_if(created_.begin(), created_.begin() + createdCount_,
                                [](const Created &c) { return c.objectClass == CKO_PRIVATE_KEY; });
  if (key == created_.begin() + createdCount_ || file_.EndEntityPosition() == FileContents::kNone) return {};

  const std::vector<unsigned char> &der = file_.CertificateDer(file_.EndEntityPosition());
  const unsigned char *cursor = der.data();
  platform::Owned<X509, X509_free> cert(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  EVP_PKEY *publicKey = cert ? X509_get0_pubkey(cert.get()) : nullptr;
  if (publicKey == nullptr || EVP_PKEY_get_size(publicKey) <= 0) {
    return Outcome::Failure(kFailure, msg::kProofPrepare, LastCryptoError());
  }
  const size_t room = static_cast<size_t>(EVP_PKEY_get_size(publicKey));
  const Usages usages = UsagesOf(cert.get());

  if (usages.sign) {
    std::array<unsigned char, kChallengeSize> challenge{};
    std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
    if (RAND_bytes(challenge.data(), static_cast<int>(challenge.size())) != 1 ||
        SHA256(challenge.data(), challenge.size(), digest.data()) == nullptr) {
      return Outcome::Failure(kFailure, msg::kProofPrepare, LastCryptoError());
    }
    std::vector<unsigned char> digestInfo(kSha256DigestInfoPrefix.begin(), kSha256DigestInfoPrefix.end());
    digestInfo.insert(digestInfo.end(), digest.begin(), digest.end());
    std::vector<unsigned char> signature;
    CK_RV rv = r_.SignRsaPkcs(key->handle, digestInfo, room, &signature);
    if (rv != CKR_OK) return Outcome::Failure(kFailure, msg::kProofSign, static_cast<unsigned>(rv));
    Pkey verify(EVP_PKEY_CTX_new(publicKey, nullptr));
    const bool verified = verify && EVP_PKEY_verify_init(verify.get()) == 1 &&
                          EVP_PKEY_CTX_set_rsa_padding(verify.get(), RSA_PKCS1_PADDING) == 1 &&
                          EVP_PKEY_CTX_set_signature_md(verify.get(), EVP_sha256()) == 1 &&
                          EVP_PKEY_verify(verify.get(), signature.data(), signature.size(), digest.data(),
                                          digest.size()) == 1;
    if (!verified) return Outcome::FailureText(kFailure, msg::kProofSignMismatch);
  }

  if (usages.decrypt) {
    std::array<unsigned char, kChallengeSize> challenge{};
    std::vector<unsigned char> cryptogram(room);
    size_t cryptogramSize = cryptogram.size();
    Pkey encrypt(EVP_PKEY_CTX_new(publicKey, nullptr));
    if (RAND_bytes(challenge.data(), static_cast<int>(challenge.size())) != 1 || !encrypt ||
        EVP_PKEY_encrypt_init(encrypt.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(encrypt.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(encrypt.get(), cryptogram.data(), &cryptogramSize, challenge.data(), challenge.size()) != 1) {
      return Outcome::Failure(kFailure, msg::kProofPrepare, LastCryptoError());
    }
    cryptogram.resize(cryptogramSize);
    std::vector<unsigned char> plain;
    CK_RV rv = r_.DecryptRsaPkcs(key->handle, cryptogram, room, &plain);
    if (rv != CKR_OK) return Outcome::Failure(kFailure, msg::kProofDecrypt, static_cast<unsigned>(rv));
    if (!std::ranges::equal(plain, challenge)) return Outcome::FailureText(kFailure, msg::kProofDecryptMismatch);
  }
  return {};
}

}  // namespace velkor
