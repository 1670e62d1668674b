#include "pkcs12_archive.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <langinfo.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "ber_to_der.h"
#include "der.h"

namespace velkor {

namespace {

struct X509Free {
  void operator()(X509 *x) const { X509_free(x); }
};
struct P8Free {
  void operator()(PKCS8_PRIV_KEY_INFO *p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};
struct BagsFree {
  void operator()(STACK_OF(PKCS12_SAFEBAG) * s) const { sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free); }
};
struct SafesFree {
  void operator()(STACK_OF(PKCS7) * s) const { sk_PKCS7_pop_free(s, PKCS7_free); }
};
struct PbeParamFree {
  void operator()(PBEPARAM *p) const { PBEPARAM_free(p); }
};
struct Pbe2ParamFree {
  void operator()(PBE2PARAM *p) const { PBE2PARAM_free(p); }
};
struct Pbkdf2ParamFree {
  void operator()(PBKDF2PARAM *p) const { PBKDF2PARAM_free(p); }
};
struct ScryptParamsFree {
  void operator()(SCRYPT_PARAMS *p) const { SCRYPT_PARAMS_free(p); }
};

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
  platform::SecureBuffer safeContents;
  if (BerToDer(ber, &safeContents) != BerConversion::kOk) return Count::kUnreadable;
  return CountSafeBags(der::Input(safeContents.data(), safeContents.size()), 0, seen);
}

// Counts the safes of the authenticated safe of the PFX in `ber`.
Count CountAuthSafes(std::span<const uint8_t> ber) {
  platform::SecureBuffer pfxDer;
  if (BerToDer(ber, &pfxDer) != BerConversion::kOk) return Count::kUnreadable;
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
  platform::SecureBuffer safes;
  if (BerToDer(octets.contents.span(), &safes) != BerConversion::kOk) return Count::kUnreadable;
  return CountElements(der::Input(safes.data(), safes.size()), kMaxSafes);
}

// The DER certificate inside a certificate bag, read off the bag's encoding:
// SafeBag { bagId, [0] CertBag { certId, [0] OCTET STRING } }.
bool CertificateInBag(const PKCS12_SAFEBAG *bag, std::vector<unsigned char> *certDer) {
  const int length = i2d_PKCS12_SAFEBAG(bag, nullptr);
  if (length <= 0) return false;
  std::vector<unsigned char> encoded(static_cast<size_t>(length));
  unsigned char *out = encoded.data();
  if (i2d_PKCS12_SAFEBAG(bag, &out) != length) return false;
  der::Input in(encoded.data(), encoded.size());
  der::Input safeBag, explicitBag, certBag, explicitCert, octets;
  if (!ReadConstructed(&in, &safeBag) || !safeBag.ReadAnyElement(nullptr) /* bagId */ ||
      !ReadConstructed(&safeBag, &explicitBag) || !ReadConstructed(&explicitBag, &certBag) ||
      !certBag.ReadAnyElement(nullptr) /* certId */ || !ReadConstructed(&certBag, &explicitCert) ||
      !explicitCert.ReadElement(der::kOctetString, &octets)) {
    return false;
  }
  certDer->assign(octets.data(), octets.data() + octets.size());
  return true;
}

// The certificate in a certificate bag's DER, decoded in the library context.
std::unique_ptr<X509, X509Free> DecodeCertificate(const unsigned char *der, size_t size, OSSL_LIB_CTX *ctx) {
  if (size > static_cast<size_t>(LONG_MAX)) return nullptr;
  X509 *cert = X509_new_ex(ctx, nullptr);
  if (cert == nullptr) return nullptr;
  const unsigned char *p = der;
  // On a decoding failure the object is freed and the pointer cleared.
  X509 *decoded = d2i_X509(&cert, &p, static_cast<long>(size));
  std::unique_ptr<X509, X509Free> owner(cert);
  if (decoded == nullptr) return nullptr;
  return owner;
}

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

uint32_t LastCryptoError() { return static_cast<uint32_t>(ERR_peek_last_error() & 0xFFFFFFFFul); }

bool WideToUtf8(const wchar_t *wide, size_t count, unsigned char *out, size_t room, size_t *written) {
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    auto c = static_cast<uint32_t>(wide[i]);
    unsigned char bytes[4];
    size_t len = 0;
    if (c < 0x80) {
      bytes[len++] = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
      bytes[len++] = static_cast<unsigned char>(0xC0 | (c >> 6));
      bytes[len++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return false;
      bytes[len++] = static_cast<unsigned char>(0xE0 | (c >> 12));
      bytes[len++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      bytes[len++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c <= 0x10FFFF) {
      bytes[len++] = static_cast<unsigned char>(0xF0 | (c >> 18));
      bytes[len++] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      bytes[len++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      bytes[len++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
      return false;
    }
    if (room - n < len + 1) return false;
    std::memcpy(out + n, bytes, len);
    platform::SecureWipe(bytes, sizeof bytes);
    n += len;
  }
  if (room - n < 1) return false;
  out[n] = 0;
  *written = n;
  return true;
}

namespace {

// glibc's SHIFT_JIS (and SHIFT_JISX0213) reads the single bytes 0x5C and
// 0x7E as YEN SIGN and OVERLINE; cp932, the code page the files' producers
// and our users' other tools use, reads them as backslash and tilde, and so
// do OpenSSL and Java.  Under such a locale those two characters can only
// have come from those two bytes (the full-width forms are other code
// points), so they are read back as cp932 reads them.  A double-byte
// character whose second byte is 0x5C was converted whole and is not
// touched.
void ReadAsCp932(wchar_t *wide, size_t count) {
  const char *codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || std::strncmp(codeset, "SHIFT_JIS", 9) != 0) return;
  for (size_t i = 0; i < count; ++i) {
    if (wide[i] == L'\u00A5') wide[i] = L'\\';
    if (wide[i] == L'\u203E') wide[i] = L'~';
  }
}

}  // namespace

PasswordConversion ConvertPassword(const char *localPassword, platform::SecureBuffer *wide,
                                   platform::SecureBuffer *utf8) {
  if (localPassword == nullptr) return PasswordConversion::kConvertFailed;
  // The converted length, counting the terminator.
  size_t converted = std::mbstowcs(nullptr, localPassword, 0);
  if (converted == static_cast<size_t>(-1)) return PasswordConversion::kConvertFailed;
  size_t n = converted + 1;
  // Room for n + 1 wide characters, zero-filled before the conversion.
  if (n > SIZE_MAX / sizeof(wchar_t) - 1 || !wide->Allocate((n + 1) * sizeof(wchar_t))) {
    return PasswordConversion::kNoMemory;
  }
  std::memset(wide->data(), 0, wide->size());
  auto *wideChars = reinterpret_cast<wchar_t *>(wide->data());
  if (std::mbstowcs(wideChars, localPassword, n + 1) == static_cast<size_t>(-1)) {
    return PasswordConversion::kConvertFailed;
  }
  ReadAsCp932(wideChars, converted);
  // Every code point takes at most 4 bytes of UTF-8.
  size_t utf8Room = 4 * converted + 1;
  if (!utf8->Allocate(utf8Room)) return PasswordConversion::kNoMemory;
  std::memset(utf8->data(), 0, utf8->size());
  size_t written = 0;
  if (!WideToUtf8(wideChars, converted, utf8->data(), utf8Room, &written)) {
    return PasswordConversion::kConvertFailed;
  }
  return PasswordConversion::kOk;
}

bool Pkcs12Archive::Refuse(uint32_t code) {
  if (!refused_) {
    refused_ = true;
    refusalCode_ = code;
  }
  return false;
}

bool Pkcs12Archive::Open(const unsigned char *bytes, size_t size) {
  p12_.reset();
  certs_.clear();
  keys_.clear();
  refused_ = false;
  refusalCode_ = 0;
  workSpent_ = 0;
  bagsSeen_ = 0;
  unusableKeySeen_ = false;
  if (bytes == nullptr || size == 0 || size > static_cast<size_t>(LONG_MAX)) return false;
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
    return false;
  }
  ERR_clear_error();
  // Bytes after the structure are not looked at.
  if (!context_.usable()) {
    Refuse(context_.failure());
  } else if (CountAuthSafes({bytes, static_cast<size_t>(p - bytes)}) != Count::kWithin) {
    // A count that cannot be completed (nesting deeper than it follows)
    // would let everything after that point through uncounted.
    Refuse(kPkcs12TooManyBags);
  }
  return true;
}

bool Pkcs12Archive::VerifyPassword(const unsigned char *utf8, size_t length) {
  if (!p12_ || length > static_cast<size_t>(INT_MAX)) return false;
  const char *pass = reinterpret_cast<const char *>(utf8);
  auto passLength = static_cast<int>(length);
  pass_ = pass;
  passLength_ = passLength;
  if (refused_ || !PKCS12_mac_present(p12_.get())) return true;
  const X509_ALGOR *macAlg = nullptr;
  const ASN1_INTEGER *iterations = nullptr;
  PKCS12_get0_mac(nullptr, &macAlg, nullptr, &iterations, p12_.get());
  const ASN1_OBJECT *macDigest = nullptr;
  if (macAlg != nullptr) X509_ALGOR_get0(&macDigest, nullptr, nullptr, macAlg);
  const int macDigestNid = OBJ_obj2nid(macDigest);
  if (!SpendIterations(iterations, macDigestNid) || !Available(NID_undef, macDigestNid)) {
    ERR_clear_error();
    return true;  // Import() reports the refusal
  }
  if (PKCS12_verify_mac(p12_.get(), pass, passLength) == 1) {
    ERR_clear_error();
    return true;
  }
  // An empty password may also mean no password at all: a second MAC, and
  // its iterations count too.
  if (length == 0 && !SpendIterations(iterations, macDigestNid)) {
    ERR_clear_error();
    return true;  // Import() reports the refusal
  }
  if (length == 0 && PKCS12_verify_mac(p12_.get(), nullptr, 0) == 1) {
    pass_ = nullptr;
    passLength_ = 0;
    ERR_clear_error();
    return true;
  }
  ERR_clear_error();
  pass_ = nullptr;
  passLength_ = 0;
  return false;
}

namespace {

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

bool Pkcs12Archive::SpendWork(uint64_t iterations, uint64_t costEach) {
  if (iterations > static_cast<uint64_t>(kMaxIterations)) return Refuse(kPkcs12TooManyIterations);
  const uint64_t work = (iterations < 1 ? 1 : iterations) * costEach;  // below 2^64: both factors are bounded
  if (work > kMaxWorkInAll - workSpent_) return Refuse(kPkcs12TooManyIterations);
  workSpent_ += work;
  return true;
}

bool Pkcs12Archive::SpendIterations(const ASN1_INTEGER *count, int digestNid, uint64_t derivations) {
  // An absent count means one iteration.
  int64_t n = 1;
  if (count != nullptr && ASN1_INTEGER_get_int64(&n, count) != 1) return Refuse(kPkcs12TooManyIterations);
  return SpendWork(n < 1 ? 1 : static_cast<uint64_t>(n), IterationCost(digestNid) * derivations);
}

bool Pkcs12Archive::Available(int cipherNid, int digestNid) {
  // With the legacy provider at hand, whatever is still missing is
  // reported by the library itself.
  if (context_.legacyLoaded()) return true;
  bool ok = true;
  ERR_set_mark();
  if (cipherNid != NID_undef) {
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(context_.get(), OBJ_nid2sn(cipherNid), nullptr);
    ok = cipher != nullptr;
    EVP_CIPHER_free(cipher);
  }
  if (ok && digestNid != NID_undef) {
    EVP_MD *md = EVP_MD_fetch(context_.get(), OBJ_nid2sn(digestNid), nullptr);
    ok = md != nullptr;
    EVP_MD_free(md);
  }
  ERR_pop_to_mark();
  return ok || Refuse(kPkcs12LegacyProviderMissing);
}

bool Pkcs12Archive::AllowAlgorithm(const X509_ALGOR *alg) {
  if (alg == nullptr) return true;  // the decryption reports it
  const ASN1_OBJECT *oid = nullptr;
  X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
  const int nid = OBJ_obj2nid(oid);
  if (nid == NID_pbes2) {
    std::unique_ptr<PBE2PARAM, Pbe2ParamFree> pbe2(
        static_cast<PBE2PARAM *>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter)));
    if (!pbe2 || pbe2->keyfunc == nullptr || pbe2->encryption == nullptr) return true;
    int digestNid = NID_undef;
    const int kdf = OBJ_obj2nid(pbe2->keyfunc->algorithm);
    if (kdf == NID_id_pbkdf2) {
      std::unique_ptr<PBKDF2PARAM, Pbkdf2ParamFree> kdfParams(static_cast<PBKDF2PARAM *>(
          ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter)));
      if (!kdfParams) return true;
      const int prf = kdfParams->prf != nullptr ? OBJ_obj2nid(kdfParams->prf->algorithm) : NID_hmacWithSHA1;
      if (EVP_PBE_find(EVP_PBE_TYPE_PRF, prf, nullptr, &digestNid, nullptr) != 1) digestNid = NID_undef;
      if (!SpendIterations(kdfParams->iter, digestNid)) return false;
    } else if (kdf == NID_id_scrypt) {
      std::unique_ptr<SCRYPT_PARAMS, ScryptParamsFree> kdfParams(static_cast<SCRYPT_PARAMS *>(
          ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(SCRYPT_PARAMS), pbe2->keyfunc->parameter)));
      if (!kdfParams) return true;
      // The cost of scrypt grows with N * r * p.
      uint64_t n = 0, r = 0, p = 0;
      if (ASN1_INTEGER_get_uint64(&n, kdfParams->costParameter) != 1 ||
          ASN1_INTEGER_get_uint64(&r, kdfParams->blockSize) != 1 ||
          ASN1_INTEGER_get_uint64(&p, kdfParams->parallelizationParameter) != 1) {
        return Refuse(kPkcs12TooManyIterations);
      }
      const auto bound = static_cast<uint64_t>(kMaxIterations);
      if (n > bound || r > bound || p > bound || (r != 0 && n > bound / r) || (r * n != 0 && p > bound / (r * n))) {
        return Refuse(kPkcs12TooManyIterations);
      }
      if (!SpendWork(n * r * p, kScryptUnitCost)) return false;
    }
    ERR_clear_error();
    return Available(OBJ_obj2nid(pbe2->encryption->algorithm), digestNid);
  }
  // PKCS#12 PBE and PKCS#5 PBES1 share their parameters.
  int cipherNid = NID_undef;
  int digestNid = NID_undef;
  if (EVP_PBE_find(EVP_PBE_TYPE_OUTER, nid, &cipherNid, &digestNid, nullptr) != 1) return true;
  std::unique_ptr<PBEPARAM, PbeParamFree> pbe(
      static_cast<PBEPARAM *>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), alg->parameter)));
  // A PKCS#12 PBE derives its key and its IV each over all iterations.
  const bool pkcs12Pbe = nid >= NID_pbe_WithSHA1And128BitRC4 && nid <= NID_pbe_WithSHA1And40BitRC2_CBC;
  if (pbe && !SpendIterations(pbe->iter, digestNid, pkcs12Pbe ? 2 : 1)) return false;
  ERR_clear_error();
  return Available(cipherNid, digestNid);
}

bool Pkcs12Archive::CountBags(const unsigned char *ber, size_t size) {
  if (ber == nullptr) return true;
  if (CountBagsOf({ber, size}, &bagsSeen_) != Count::kWithin) return Refuse(kPkcs12TooManyBags);
  return true;
}

bool Pkcs12Archive::OpenSafe(PKCS7 *safe, STACK_OF(PKCS12_SAFEBAG) * *bags) {
  *bags = nullptr;
  switch (OBJ_obj2nid(safe->type)) {
    case NID_pkcs7_data: {
      const ASN1_OCTET_STRING *data = safe->d.data;
      if (data != nullptr && !CountBags(data->data, static_cast<size_t>(data->length))) return false;
      *bags = PKCS12_unpack_p7data(safe);
      return *bags != nullptr;
    }
    case NID_pkcs7_encrypted: {
      const PKCS7_ENC_CONTENT *content = safe->d.encrypted != nullptr ? safe->d.encrypted->enc_data : nullptr;
      if (content == nullptr || content->algorithm == nullptr || content->enc_data == nullptr) {
        ERR_raise(ERR_LIB_PKCS12, PKCS12_R_DECODE_ERROR);
        return false;
      }
      if (!AllowAlgorithm(content->algorithm)) return false;
      PlainBytes plain;
      if (PKCS12_pbe_crypt_ex(content->algorithm, pass_, passLength_, content->enc_data->data,
                              content->enc_data->length, plain.out(), plain.size(), 0, context_.get(),
                              nullptr) == nullptr) {
        return false;
      }
      if (!CountBags(plain.data(), static_cast<size_t>(plain.length()))) return false;
      const unsigned char *p = plain.data();
      *bags = reinterpret_cast<STACK_OF(PKCS12_SAFEBAG) *>(
          ASN1_item_d2i(nullptr, &p, plain.length(), ASN1_ITEM_rptr(PKCS12_SAFEBAGS)));
      return *bags != nullptr;
    }
    default:
      return true;  // enveloped contents cannot be opened with a password
  }
}

bool Pkcs12Archive::AddCertificate(const PKCS12_SAFEBAG *bag) {
  std::vector<unsigned char> bagDer;
  if (!CertificateInBag(bag, &bagDer)) {
    ERR_raise(ERR_LIB_PKCS12, PKCS12_R_DECODE_ERROR);
    return false;
  }
  std::unique_ptr<X509, X509Free> cert = DecodeCertificate(bagDer.data(), bagDer.size(), context_.get());
  if (!cert) return false;
  int len = i2d_X509(cert.get(), nullptr);
  if (len <= 0) return false;
  Cert entry;
  entry.der.resize(static_cast<size_t>(len));
  unsigned char *out = entry.der.data();
  if (i2d_X509(cert.get(), &out) != len) return false;
  // The same certificate in two bags (a CA of the key's chain and again as
  // a trusted entry) is one certificate.
  for (const Cert &known : certs_) {
    if (known.der == entry.der) return true;
  }
  certs_.push_back(std::move(entry));
  return true;
}

bool Pkcs12Archive::AddKey(const PKCS8_PRIV_KEY_INFO *p8) {
  if (p8 == nullptr) return false;
  // Told by its algorithm identifier before anything is decoded: decoding
  // some key types computes with their parameters (a DSA key's public value
  // is an exponentiation modulo a p of any size).
  const ASN1_OBJECT *algorithm = nullptr;
  if (PKCS8_pkey_get0(&algorithm, nullptr, nullptr, nullptr, p8) != 1) return false;
  if (OBJ_obj2nid(algorithm) != NID_rsaEncryption) {
    unusableKeySeen_ = true;
    return true;
  }
  Key key(EVP_PKCS82PKEY_ex(p8, context_.get(), nullptr));
  if (!key) return false;
  BIGNUM *third = nullptr;
  const bool multiPrime = EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR3, &third) == 1;
  BN_free(third);
  ERR_clear_error();
  if (multiPrime || EVP_PKEY_get_bits(key.get()) > kMaxRsaBits) {
    unusableKeySeen_ = true;
    return true;
  }
  keys_.push_back(std::move(key));
  return true;
}

namespace {

struct BnFree {
  void operator()(BIGNUM *b) const { BN_clear_free(b); }
};
struct BnCtxFree {
  void operator()(BN_CTX *c) const { BN_CTX_free(c); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn Param(const EVP_PKEY *key, const char *name) {
  BIGNUM *value = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &value) != 1) return nullptr;
  return Bn(value);
}

// The arithmetic of a two-prime RSA key: n = p·q, d·e ≡ 1 modulo p−1 and
// modulo q−1, dp = d mod (p−1), dq = d mod (q−1), q·qinv ≡ 1 mod p.  The
// primes are not tested for primality (the cost of that grows with the
// cube of their size, and a changed prime already breaks n = p·q); every
// check here is a few multiplications and reductions.
bool RsaKeyHoldsTogether(const EVP_PKEY *key) {
  Bn n = Param(key, OSSL_PKEY_PARAM_RSA_N), e = Param(key, OSSL_PKEY_PARAM_RSA_E),
     d = Param(key, OSSL_PKEY_PARAM_RSA_D), p = Param(key, OSSL_PKEY_PARAM_RSA_FACTOR1),
     q = Param(key, OSSL_PKEY_PARAM_RSA_FACTOR2), dp = Param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1),
     dq = Param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2), qinv = Param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
  std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_secure_new());
  Bn product(BN_secure_new()), pMinus1(BN_secure_new()), qMinus1(BN_secure_new()), r(BN_secure_new());
  if (!n || !e || !d || !p || !q || !dp || !dq || !qinv || !ctx || !product || !pMinus1 || !qMinus1 || !r) {
    return false;
  }
  if (BN_cmp(p.get(), BN_value_one()) <= 0 || BN_cmp(q.get(), BN_value_one()) <= 0 || BN_is_negative(d.get()) ||
      BN_is_negative(e.get())) {
    return false;
  }
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

KeyCondition Pkcs12Archive::CheckKeys() const {
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

bool Pkcs12Archive::CollectBags(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth) {
  if (depth > kMaxBagDepth) return Refuse(kPkcs12TooManyBags);
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    const PKCS12_SAFEBAG *bag = sk_PKCS12_SAFEBAG_value(bags, i);
    switch (PKCS12_SAFEBAG_get_nid(bag)) {
      case NID_certBag:
        if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;
        if (!AddCertificate(bag)) return false;
        break;
      case NID_keyBag:
        if (!AddKey(PKCS12_SAFEBAG_get0_p8inf(bag))) return false;
        break;
      case NID_pkcs8ShroudedKeyBag: {
        const X509_SIG *shrouded = PKCS12_SAFEBAG_get0_pkcs8(bag);
        const X509_ALGOR *alg = nullptr;
        if (shrouded != nullptr) X509_SIG_get0(shrouded, &alg, nullptr);
        if (!AllowAlgorithm(alg)) return false;
        std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> p8(
            PKCS12_decrypt_skey_ex(bag, pass_, passLength_, context_.get(), nullptr));
        if (!p8 || !AddKey(p8.get())) return false;
        break;
      }
      case NID_safeContentsBag:
        if (!CollectBags(PKCS12_SAFEBAG_get0_safes(bag), depth + 1)) return false;
        break;
      default:
        break;  // CRL and secret bags carry nothing for the token
    }
  }
  return true;
}

bool Pkcs12Archive::Import(uint32_t *code) {
  certs_.clear();
  keys_.clear();
  unusableKeySeen_ = false;
  ERR_clear_error();
  bool ok = false;
  do {
    if (!p12_ || refused_) break;
    std::unique_ptr<STACK_OF(PKCS7), SafesFree> safes(PKCS12_unpack_authsafes(p12_.get()));
    if (!safes) break;
    bool bagsOk = true;
    for (int i = 0; bagsOk && i < sk_PKCS7_num(safes.get()); ++i) {
      STACK_OF(PKCS12_SAFEBAG) *opened = nullptr;
      bagsOk = OpenSafe(sk_PKCS7_value(safes.get(), i), &opened);
      std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), BagsFree> bags(opened);
      if (bagsOk && bags) bagsOk = CollectBags(bags.get(), 0);
    }
    if (!bagsOk) break;
    // A certificate belongs to a private key of the file when the key's
    // public half is the certificate's.
    for (Cert &cert : certs_) {
      std::unique_ptr<X509, X509Free> x = DecodeCertificate(cert.der.data(), cert.der.size(), context_.get());
      if (!x) continue;
      for (Key &key : keys_) {
        if (X509_check_private_key(x.get(), key.get()) == 1) {
          cert.key = key.get();
          break;
        }
      }
    }
    ERR_clear_error();
    ok = true;
  } while (false);
  if (!ok) {
    *code = refused_ ? refusalCode_ : LastCryptoError();
    certs_.clear();
    keys_.clear();
    ERR_clear_error();
  }
  return ok;
}

KeyExport Pkcs12Archive::ExportPkcs8(size_t i, platform::SecureBuffer *out, uint32_t *code) const {
  ERR_clear_error();
  if (i >= certs_.size() || certs_[i].key == nullptr) {
    *code = LastCryptoError();
    return KeyExport::kExportFailed;
  }
  std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> p8(EVP_PKEY2PKCS8(certs_[i].key));
  int length = p8 ? i2d_PKCS8_PRIV_KEY_INFO(p8.get(), nullptr) : -1;
  if (length <= 0) {
    *code = LastCryptoError();
    ERR_clear_error();
    return KeyExport::kExportFailed;
  }
  if (!out->Allocate(static_cast<size_t>(length))) return KeyExport::kNoMemory;
  unsigned char *p = out->data();
  if (i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &p) != length) {
    *code = LastCryptoError();
    ERR_clear_error();
    out->Release();
    return KeyExport::kExportFailed;
  }
  return KeyExport::kOk;
}

}  // namespace velkor
