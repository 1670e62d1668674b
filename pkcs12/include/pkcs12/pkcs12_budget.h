// What a PKCS#12 file may ask of the program before it is refused: the
// iterations of its key derivations, weighed by what their digests cost,
// and the number of its safes and bags, counted on its bytes before the
// crypto library decodes them.  Also the outcome of one step over a file.
#ifndef PKCS12_PKCS12_BUDGET_H_
#define PKCS12_PKCS12_BUDGET_H_

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace velkor {

// The low 32 bits of the last error OpenSSL recorded, as the code that the
// messages show for a failing PKCS#12 or key-export step.
uint32_t LastCryptoError();

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

// The outcome of one step over a file's contents.
struct [[nodiscard]] Step {
  enum class Kind : uint8_t { kDone, kRefused, kFailed };
  Kind kind = Kind::kDone;
  // kRefused: one of the kPkcs12 codes above, or the crypto library's code
  // when its context cannot be had; kFailed: the library's last error when
  // the step failed.
  uint32_t code = 0;

  static Step Done() { return {}; }
  static Step Refused(uint32_t why) { return {Kind::kRefused, why}; }
  // Takes the library's last error now, where the failure was raised.
  static Step Failed() { return {Kind::kFailed, LastCryptoError()}; }
  bool done() const { return kind == Kind::kDone; }
};

// The cipher and digest an encryption needs at hand; NID_undef where
// there is nothing to check.
struct AlgorithmNeeds {
  int cipherNid = NID_undef;
  int digestNid = NID_undef;
};

// The work and the structure of one file against the bounds above.
class WorkBudget {
 public:
  // Charges `derivations` runs of a key derivation over `count` iterations
  // (absent: one) of the digest `digestNid`.
  Step ChargeIterations(const ASN1_INTEGER *count, int digestNid, uint64_t derivations = 1);
  // Charges the key derivation an encryption's algorithm identifier asks
  // for (PKCS#12 PBE, PBES1, PBES2 with PBKDF2 or scrypt) and names in
  // *needs what it needs at hand.  Parameters that cannot be read are left
  // to the decryption to report.
  Step ChargeAlgorithm(const X509_ALGOR *alg, AlgorithmNeeds *needs);
  // Counts the safes of a PFX (the bytes of its structure).
  Step CountSafes(std::span<const uint8_t> pfx) const;
  // Counts the bags of a SafeContents (bytes after it are ignored), those
  // of nested safe contents included, on top of the bags counted before.
  Step CountBags(std::span<const uint8_t> safeContents);

 private:
  Step ChargeWork(uint64_t iterations, uint64_t costEach);

  uint64_t workSpent_ = 0;  // estimated nanoseconds, see kMaxWorkInAll
  size_t bagsSeen_ = 0;
};

}  // namespace velkor

#endif  // PKCS12_PKCS12_BUDGET_H_
