#include "pkcs12/pkcs12_budget.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>

#include "pkcs12/ber_to_der.h"
#include "der.h"
#include "platform/owned.h"
#include "platform/secure.h"

namespace velkor {

uint32_t LastCryptoError() { return static_cast<uint32_t>(ERR_peek_last_error() & 0xFFFFFFFFul); }

namespace {

// ---- Counting the safes and bags of a file before they are decoded -------------------
//
// The bags and safes of a file are counted on its bytes before the crypto
// library decodes them, so that a file with a hundred thousand bags is
// refused after reading their headers.  The bytes are turned into DER first
// (BerToDer) and then read with the strict DER reader; a file whose count
// cannot be completed is refused like one with too many.

namespace der = asn1x509::der;

// 1.2.840.113549.1.12.10.1.6, the bag that holds further bags.
constexpr uint8_t kSafeContentsBagOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x0A, 0x01, 0x06};

bool IsConstructed(const der::Element &element) { return (element.tag & der::kConstructed) != 0; }

// The contents of the constructed element at the front of `in`.
bool ReadConstructed(der::Input *in, der::Input *contents) {
  der::Element element;
  if (!in->ReadAnyElement(&element) || !IsConstructed(element)) return false;
  *contents = element.contents;
  return true;
}

enum class Count { kWithin, kTooMany, kUnreadable };

// Counts the elements inside the constructed element at the front of
// `in`, stopping once they exceed limit.
Count CountElements(der::Input in, size_t limit) {
  der::Input elements;
  if (!ReadConstructed(&in, &elements)) return Count::kUnreadable;
  size_t n = 0;
  while (!elements.empty()) {
    if (!elements.ReadAnyElement(nullptr)) return Count::kUnreadable;
    if (++n > limit) return Count::kTooMany;
  }
  return Count::kWithin;
}

// Counts the bags of the SafeContents at the front of `in` into *seen,
// the bags of nested safe contents included.
Count CountSafeBags(der::Input in, int depth, size_t *seen) {
  if (depth > kMaxBagDepth) return Count::kTooMany;
  der::Input bags;
  if (!ReadConstructed(&in, &bags)) return Count::kUnreadable;
  while (!bags.empty()) {
    der::Element bag;
    if (!bags.ReadAnyElement(&bag)) return Count::kUnreadable;
    if (++*seen > kMaxBags) return Count::kTooMany;
    if (!IsConstructed(bag)) continue;
    der::Input parts = bag.contents;
    der::Element type;
    if (!parts.ReadAnyElement(&type) || type.tag != der::kObjectIdentifier ||
        !std::ranges::equal(type.contents.span(), kSafeContentsBagOid)) {
      continue;
    }
    der::Input explicitValue;  // [0] EXPLICIT
    if (!ReadConstructed(&parts, &explicitValue)) continue;
    if (der::Input inner = explicitValue; !inner.ReadAnyElement(nullptr)) continue;
    Count c = CountSafeBags(explicitValue, depth + 1, seen);
    if (c == Count::kTooMany) return c;
  }
  return Count::kWithin;
}

// Counts the bags of the SafeContents in `ber` (bytes after it are ignored)
// into *seen.
Count CountBagsOf(std::span<const uint8_t> ber, size_t *seen) {
  platform::SecureBuffer converted;
  std::span<const uint8_t> safeContents;
  if (BerToDer(ber, &converted, &safeContents) != BerConversion::kOk) return Count::kUnreadable;
  return CountSafeBags(der::Input(safeContents.data(), safeContents.size()), 0, seen);
}

// Counts the safes of the authenticated safe of the PFX in `ber`.
Count CountAuthSafes(std::span<const uint8_t> ber) {
  platform::SecureBuffer converted;
  std::span<const uint8_t> pfxDer;
  if (BerToDer(ber, &converted, &pfxDer) != BerConversion::kOk) return Count::kUnreadable;
  der::Input pfx(pfxDer.data(), pfxDer.size());
  der::Input parts, info, content;
  if (!ReadConstructed(&pfx, &parts) || !parts.ReadAnyElement(nullptr) /* version */ ||
      !ReadConstructed(&parts, &info) || !info.ReadAnyElement(nullptr) /* content type */ ||
      !ReadConstructed(&info, &content)) {
    return Count::kUnreadable;
  }
  // The conversion joined an OCTET STRING cut into pieces; a constructed
  // one left is none.
  der::Element octets;
  if (!content.ReadAnyElement(&octets) || IsConstructed(octets)) return Count::kUnreadable;
  platform::SecureBuffer convertedSafes;
  std::span<const uint8_t> safes;
  if (BerToDer(octets.contents.span(), &convertedSafes, &safes) != BerConversion::kOk) return Count::kUnreadable;
  return CountElements(der::Input(safes.data(), safes.size()), kMaxSafes);
}

// Estimated nanoseconds of one iteration of a key derivation with this
// digest on a present-day core (OpenSSL 3.0, HMAC or the PKCS#12 KDF,
// measured and rounded up about twofold).  A digest not named here costs
// as much as the dearest one named.
uint64_t IterationCost(int digestNid) {
  switch (digestNid) {
    case NID_md5:
    case NID_sha1:
      return 500;
    case NID_sha224:
    case NID_sha256:
      return 700;
    case NID_sha384:
    case NID_sha512:
      return 1000;
    case NID_sha3_224:
    case NID_sha3_256:
    case NID_sha3_384:
    case NID_sha3_512:
      return 1500;
    default:
      return 3000;  // SHA-512/224, SHA-512/256, SM3, BLAKE2, ...
  }
}

// One unit of scrypt's N·r·p: a Salsa20/8 block mix of 128·r bytes.
constexpr uint64_t kScryptUnitCost = 1000;

}  // namespace

Step WorkBudget::ChargeWork(uint64_t iterations, uint64_t costEach) {
  if (iterations > static_cast<uint64_t>(kMaxIterations)) return Step::Refused(kPkcs12TooManyIterations);
  const uint64_t work = (iterations < 1 ? 1 : iterations) * costEach;  // below 2^64: both factors are bounded
  if (work > kMaxWorkInAll - workSpent_) return Step::Refused(kPkcs12TooManyIterations);
  workSpent_ += work;
  return Step::Done();
}

Step WorkBudget::ChargeIterations(const ASN1_INTEGER *count, int digestNid, uint64_t derivations) {
  // An absent count means one iteration.
  int64_t n = 1;
  if (count != nullptr && ASN1_INTEGER_get_int64(&n, count) != 1) return Step::Refused(kPkcs12TooManyIterations);
  return ChargeWork(n < 1 ? 1 : static_cast<uint64_t>(n), IterationCost(digestNid) * derivations);
}

Step WorkBudget::ChargeAlgorithm(const X509_ALGOR *alg, AlgorithmNeeds *needs) {
  *needs = AlgorithmNeeds{};
  if (alg == nullptr) return Step::Done();  // the decryption reports it
  const ASN1_OBJECT *oid = nullptr;
  X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
  const int nid = OBJ_obj2nid(oid);
  if (nid == NID_pbes2) {
    platform::Owned<PBE2PARAM, PBE2PARAM_free> pbe2(
        static_cast<PBE2PARAM *>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter)));
    if (!pbe2 || pbe2->keyfunc == nullptr || pbe2->encryption == nullptr) return Step::Done();
    int digestNid = NID_undef;
    const int kdf = OBJ_obj2nid(pbe2->keyfunc->algorithm);
    if (kdf == NID_id_pbkdf2) {
      platform::Owned<PBKDF2PARAM, PBKDF2PARAM_free> kdfParams(static_cast<PBKDF2PARAM *>(
          ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter)));
      if (!kdfParams) return Step::Done();
      const int prf = kdfParams->prf != nullptr ? OBJ_obj2nid(kdfParams->prf->algorithm) : NID_hmacWithSHA1;
      if (EVP_PBE_find(EVP_PBE_TYPE_PRF, prf, nullptr, &digestNid, nullptr) != 1) digestNid = NID_undef;
      if (Step charged = ChargeIterations(kdfParams->iter, digestNid); !charged.done()) return charged;
    } else if (kdf == NID_id_scrypt) {
      platform::Owned<SCRYPT_PARAMS, SCRYPT_PARAMS_free> kdfParams(static_cast<SCRYPT_PARAMS *>(
          ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(SCRYPT_PARAMS), pbe2->keyfunc->parameter)));
      if (!kdfParams) return Step::Done();
      // The cost of scrypt grows with N * r * p.
      uint64_t n = 0, r = 0, p = 0;
      if (ASN1_INTEGER_get_uint64(&n, kdfParams->costParameter) != 1 ||
          ASN1_INTEGER_get_uint64(&r, kdfParams->blockSize) != 1 ||
          ASN1_INTEGER_get_uint64(&p, kdfParams->parallelizationParameter) != 1) {
        return Step::Refused(kPkcs12TooManyIterations);
      }
      const auto bound = static_cast<uint64_t>(kMaxIterations);
      if (n > bound || r > bound || p > bound || (r != 0 && n > bound / r) || (r * n != 0 && p > bound / (r * n))) {
        return Step::Refused(kPkcs12TooManyIterations);
      }
      if (Step charged = ChargeWork(n * r * p, kScryptUnitCost); !charged.done()) return charged;
    }
    ERR_clear_error();
    *needs = {OBJ_obj2nid(pbe2->encryption->algorithm), digestNid};
    return Step::Done();
  }
  // PKCS#12 PBE and PKCS#5 PBES1 share their parameters.
  int cipherNid = NID_undef;
  int digestNid = NID_undef;
  if (EVP_PBE_find(EVP_PBE_TYPE_OUTER, nid, &cipherNid, &digestNid, nullptr) != 1) return Step::Done();
  platform::Owned<PBEPARAM, PBEPARAM_free> pbe(
      static_cast<PBEPARAM *>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), alg->parameter)));
  // A PKCS#12 PBE derives its key and its IV each over all iterations.
  const bool pkcs12Pbe = nid >= NID_pbe_WithSHA1And128BitRC4 && nid <= NID_pbe_WithSHA1And40BitRC2_CBC;
  if (pbe) {
    if (Step charged = ChargeIterations(pbe->iter, digestNid, pkcs12Pbe ? 2 : 1); !charged.done()) return charged;
  }
  ERR_clear_error();
  *needs = {cipherNid, digestNid};
  return Step::Done();
}

Step WorkBudget::CountSafes(std::span<const uint8_t> pfx) const {
  return CountAuthSafes(pfx) == Count::kWithin ? Step::Done() : Step::Refused(kPkcs12TooManyBags);
}

Step WorkBudget::CountBags(std::span<const uint8_t> safeContents) {
  if (safeContents.data() == nullptr) return Step::Done();
  return CountBagsOf(safeContents, &bagsSeen_) == Count::kWithin ? Step::Done() : Step::Refused(kPkcs12TooManyBags);
}

}  // namespace velkor
