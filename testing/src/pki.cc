// PKI factory on OpenSSL 3: RSA keys, certificates and PKCS#12 files made to
// measure for tests.
#include "testtoken/testtoken.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <map>
#include <mutex>

namespace testtoken {

namespace {

[[noreturn]] void sslFail(const std::string& what) {
  unsigned long code = ERR_get_error();
  char text[256] = "no OpenSSL error";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  throw Error(what + ": " + text);
}

using platform::Owned;

using NamePtr = Owned<X509_NAME, X509_NAME_free>;
using IntegerPtr = Owned<ASN1_INTEGER, ASN1_INTEGER_free>;
using TimePtr = Owned<ASN1_TIME, ASN1_TIME_free>;
using OctetPtr = Owned<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using ObjectPtr = Owned<ASN1_OBJECT, ASN1_OBJECT_free>;
using ExtensionPtr = Owned<X509_EXTENSION, X509_EXTENSION_free>;
using BasicConstraintsPtr = Owned<BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free>;
using AuthorityKeyIdPtr = Owned<AUTHORITY_KEYID, AUTHORITY_KEYID_free>;
using PubkeyPtr = Owned<X509_PUBKEY, X509_PUBKEY_free>;
using Pkcs12Ptr = Owned<PKCS12, PKCS12_free>;

void freeBagStack(STACK_OF(PKCS12_SAFEBAG) * s) { sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free); }
void freeSafeStack(STACK_OF(PKCS7) * s) { sk_PKCS7_pop_free(s, PKCS7_free); }
using BagStack = Owned<STACK_OF(PKCS12_SAFEBAG), freeBagStack>;
using SafeStack = Owned<STACK_OF(PKCS7), freeSafeStack>;

template <typename T, typename F>
Bytes toDer(T* object, F i2d) {
  int len = i2d(object, nullptr);
  if (len <= 0) sslFail("DER encoding");
  Bytes out(static_cast<std::size_t>(len));
  unsigned char* p = out.data();
  i2d(object, &p);
  return out;
}

void appendDerLength(Bytes& out, std::size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<unsigned char>(length));
    return;
  }
  Bytes digits;
  for (std::size_t v = length; v != 0; v >>= 8) digits.insert(digits.begin(), static_cast<unsigned char>(v & 0xFF));
  out.push_back(static_cast<unsigned char>(0x80 | digits.size()));
  out.insert(out.end(), digits.begin(), digits.end());
}

// UTF-8 to code points; throws on malformed text.
std::vector<char32_t> decodeUtf8(const std::string& text) {
  std::vector<char32_t> out;
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size() + (extra == 0 ? 1 : 0))
      throw Error("malformed UTF-8 in a name value");
    char32_t cp = extra == 0 ? c : static_cast<char32_t>(c & (0x3F >> extra));
    for (int k = 1; k <= extra; ++k) {
      auto d = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((d & 0xC0) != 0x80) throw Error("malformed UTF-8 in a name value");
      cp = (cp << 6) | (d & 0x3F);
    }
    out.push_back(cp);
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

int asn1Type(StringType type) {
  switch (type) {
    case StringType::Utf8: return V_ASN1_UTF8STRING;
    case StringType::Printable: return V_ASN1_PRINTABLESTRING;
    case StringType::Ia5: return V_ASN1_IA5STRING;
    case StringType::Teletex: return V_ASN1_T61STRING;
    case StringType::Bmp: return V_ASN1_BMPSTRING;
    case StringType::Universal: return V_ASN1_UNIVERSALSTRING;
    case StringType::Numeric: return V_ASN1_NUMERICSTRING;
    case StringType::Visible: return V_ASN1_VISIBLESTRING;
  }
  return V_ASN1_UTF8STRING;
}

Bytes encodeValue(const Ava& ava) {
  if (ava.raw || (ava.stringType != StringType::Bmp && ava.stringType != StringType::Universal))
    return toBytes(ava.value);
  Bytes out;
  for (char32_t cp : decodeUtf8(ava.value)) {
    if (ava.stringType == StringType::Universal) {
      for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>((cp >> shift) & 0xFF));
    } else if (cp > 0xFFFF) {  // outside UCS-2: written as a surrogate pair
      char32_t v = cp - 0x10000;
      char32_t hi = 0xD800 + (v >> 10), lo = 0xDC00 + (v & 0x3FF);
      for (char32_t u : {hi, lo}) {
        out.push_back(static_cast<unsigned char>(u >> 8));
        out.push_back(static_cast<unsigned char>(u & 0xFF));
      }
    } else {
      out.push_back(static_cast<unsigned char>(cp >> 8));
      out.push_back(static_cast<unsigned char>(cp & 0xFF));
    }
  }
  return out;
}

NamePtr buildName(const Name& name) {
  NamePtr out(X509_NAME_new());
  if (!out) sslFail("X509_NAME_new");
  for (const Rdn& rdn : name) {
    if (rdn.empty()) throw Error("empty RDN");
    bool first = true;
    for (const Ava& ava : rdn) {
      ObjectPtr obj(OBJ_txt2obj(ava.type.c_str(), 0));
      if (!obj) sslFail("unknown attribute type " + ava.type);
      Bytes value = encodeValue(ava);
      static const unsigned char empty = 0;
      if (X509_NAME_add_entry_by_OBJ(out.get(), obj.get(), asn1Type(ava.stringType),
                                     value.empty() ? &empty : value.data(), static_cast<int>(value.size()), -1,
                                     first ? 0 : -1) != 1)
        sslFail("X509_NAME_add_entry_by_OBJ " + ava.type);
      first = false;
    }
  }
  return out;
}

TimePtr makeTime(std::time_t t, TimeEncoding encoding) {
  ASN1_TIME* out = nullptr;
  switch (encoding) {
    case TimeEncoding::Auto: out = ASN1_TIME_set(nullptr, t); break;
    case TimeEncoding::UtcTime: out = ASN1_UTCTIME_set(nullptr, t); break;
    case TimeEncoding::GeneralizedTime: out = ASN1_GENERALIZEDTIME_set(nullptr, t); break;
  }
  if (out == nullptr) sslFail("time out of range for the chosen encoding");
  return TimePtr(out);
}

Bytes keyHash(EVP_PKEY* key) {
  X509_PUBKEY* raw = nullptr;
  if (X509_PUBKEY_set(&raw, key) != 1) sslFail("X509_PUBKEY_set");
  PubkeyPtr pub(raw);
  // SHA-1 over the subjectPublicKey bits, as for a key identifier.
  const unsigned char* bits = nullptr;
  int bitsLength = 0;
  if (X509_PUBKEY_get0_param(nullptr, &bits, &bitsLength, nullptr, pub.get()) != 1) sslFail("X509_PUBKEY_get0_param");
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(bits, static_cast<std::size_t>(bitsLength), md, &len, EVP_sha1(), nullptr) != 1)
    sslFail("EVP_Digest");
  return Bytes(md, md + len);
}

OctetPtr octets(const Bytes& value) {
  OctetPtr os(ASN1_OCTET_STRING_new());
  if (!os || ASN1_OCTET_STRING_set(os.get(), value.data(), static_cast<int>(value.size())) != 1)
    sslFail("ASN1_OCTET_STRING_set");
  return os;
}

// OpenSSL's legacy provider (RC2), loaded once and unloaded at exit.
class LegacyProviders {
 public:
  LegacyProviders() {
    // Loading one provider explicitly turns off the implicit default one.
    defaultProvider_ = OSSL_PROVIDER_load(nullptr, "default");
    legacyProvider_ = OSSL_PROVIDER_load(nullptr, "legacy");
  }
  ~LegacyProviders() {
    if (legacyProvider_ != nullptr) OSSL_PROVIDER_unload(legacyProvider_);
    if (defaultProvider_ != nullptr) OSSL_PROVIDER_unload(defaultProvider_);
  }
  LegacyProviders(const LegacyProviders&) = delete;
  LegacyProviders& operator=(const LegacyProviders&) = delete;
  bool loaded() const { return defaultProvider_ != nullptr && legacyProvider_ != nullptr; }

 private:
  OSSL_PROVIDER* defaultProvider_ = nullptr;
  OSSL_PROVIDER* legacyProvider_ = nullptr;
};

void ensureLegacyProvider() {
  static LegacyProviders providers;
  if (!providers.loaded()) sslFail("cannot load OpenSSL's legacy provider");
}

}  // namespace

// ---- names ----------------------------------------------------------------------------------

Name simpleName(const std::vector<Ava>& avas) {
  Name name;
  for (const auto& a : avas) name.push_back(Rdn{a});
  return name;
}

Bytes nameDer(const Name& name) {
  NamePtr n = buildName(name);
  return toDer(n.get(), i2d_X509_NAME);
}

// ---- Key ------------------------------------------------------------------------------------

Key Key::rsa(int bits) {
  EVP_PKEY* pkey = EVP_RSA_gen(static_cast<unsigned int>(bits));
  if (pkey == nullptr) sslFail("RSA key generation");
  return Key(pkey);
}

Key Key::pooledRsa(int index, int bits) {
  static std::mutex lock;
  static std::map<std::pair<int, int>, Key> pool;
  std::lock_guard<std::mutex> guard(lock);
  auto it = pool.find({bits, index});
  if (it == pool.end()) it = pool.emplace(std::make_pair(bits, index), rsa(bits)).first;
  return it->second;
}

Key Key::adopt(EVP_PKEY* owned) {
  if (owned == nullptr) throw Error("Key::adopt(nullptr)");
  return Key(owned);
}

Key Key::fromPrivateKeyInfo(const Bytes& der) {
  const unsigned char* p = der.data();
  EVP_PKEY* pkey = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size()));
  if (pkey == nullptr) sslFail("d2i_AutoPrivateKey");
  return Key(pkey);
}

Key::Key(const Key& other) : pkey_(other.pkey_.get()) {
  if (pkey_) EVP_PKEY_up_ref(pkey_.get());
}

Key& Key::operator=(const Key& other) {
  if (this != &other) {
    if (other.pkey_) EVP_PKEY_up_ref(other.pkey_.get());
    pkey_.reset(other.pkey_.get());
  }
  return *this;
}

Key::~Key() = default;

Bytes Key::privateKeyInfoDer() const {
  PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(pkey_.get());
  if (p8 == nullptr) sslFail("EVP_PKEY2PKCS8");
  Bytes out;
  try {
    out = toDer(p8, i2d_PKCS8_PRIV_KEY_INFO);
  } catch (...) {
    PKCS8_PRIV_KEY_INFO_free(p8);
    throw;
  }
  PKCS8_PRIV_KEY_INFO_free(p8);
  return out;
}

Bytes Key::publicKeyInfoDer() const { return toDer(pkey_.get(), i2d_PUBKEY); }

static Bytes keyBn(EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) sslFail(std::string("EVP_PKEY_get_bn_param ") + name);
  Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, out.data());
  BN_free(bn);
  return out;
}

Bytes Key::modulus() const { return keyBn(pkey_.get(), OSSL_PKEY_PARAM_RSA_N); }
Bytes Key::publicExponent() const { return keyBn(pkey_.get(), OSSL_PKEY_PARAM_RSA_E); }
int Key::bits() const { return EVP_PKEY_get_bits(pkey_.get()); }

// ---- Certificate ---------------------------------------------------------------------------------

Certificate Certificate::fromDer(const Bytes& der) {
  const unsigned char* p = der.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (x == nullptr) sslFail("d2i_X509");
  return Certificate(x);
}

Certificate Certificate::adopt(X509* owned) {
  if (owned == nullptr) throw Error("Certificate::adopt(nullptr)");
  return Certificate(owned);
}

Certificate::Certificate(const Certificate& other) : cert_(other.cert_.get()) {
  if (cert_) X509_up_ref(cert_.get());
}

Certificate& Certificate::operator=(const Certificate& other) {
  if (this != &other) {
    if (other.cert_) X509_up_ref(other.cert_.get());
    cert_.reset(other.cert_.get());
  }
  return *this;
}

Certificate::~Certificate() = default;

Bytes Certificate::der() const { return toDer(cert_.get(), i2d_X509); }
Bytes Certificate::subjectDer() const { return toDer(X509_get_subject_name(cert_.get()), i2d_X509_NAME); }
Bytes Certificate::issuerDer() const { return toDer(X509_get_issuer_name(cert_.get()), i2d_X509_NAME); }
Bytes Certificate::serialDer() const {
  return toDer(X509_get_serialNumber(cert_.get()), i2d_ASN1_INTEGER);
}

Bytes Certificate::serialContent() const {
  Bytes der = serialDer();
  std::size_t pos = 1;
  std::size_t lengthBytes = (der[pos] & 0x80) != 0 ? (der[pos] & 0x7F) : 0;
  pos += 1 + lengthBytes;
  return Bytes(der.begin() + static_cast<std::ptrdiff_t>(pos), der.end());
}

std::optional<Bytes> Certificate::subjectKeyId() const {
  const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(cert_.get());
  if (ski == nullptr) return std::nullopt;
  const unsigned char* p = ASN1_STRING_get0_data(ski);
  return Bytes(p, p + ASN1_STRING_length(ski));
}

std::string Certificate::subjectText() const {
  char buffer[1024];
  X509_NAME_oneline(X509_get_subject_name(cert_.get()), buffer, sizeof buffer);
  return buffer;
}

// ---- issuing ----------------------------------------------------------------------------------------

Bytes serialFromUnsigned(const Bytes& magnitude) {
  Bytes out = magnitude;
  while (out.size() > 1 && out[0] == 0 && (out[1] & 0x80) == 0) out.erase(out.begin());
  if (out.empty()) out.push_back(0);
  if ((out[0] & 0x80) != 0) out.insert(out.begin(), 0);
  return out;
}

Bytes serialFromNumber(std::uint64_t number) {
  Bytes magnitude;
  for (int shift = 56; shift >= 0; shift -= 8) magnitude.push_back(static_cast<unsigned char>((number >> shift) & 0xFF));
  return serialFromUnsigned(magnitude);
}

Certificate issueCertificate(const CertParams& params, const Key& subjectKey, const Key& issuerKey,
                             const Certificate* issuerCert) {
  X509* raw = X509_new();
  if (raw == nullptr) sslFail("X509_new");
  Certificate cert = Certificate::adopt(raw);
  X509* x = cert.get();

  if (X509_set_version(x, X509_VERSION_3) != 1) sslFail("X509_set_version");

  // Serial: the contents octets as given (minimal two's complement).
  Bytes serialDer{V_ASN1_INTEGER};
  appendDerLength(serialDer, params.serial.size());
  serialDer.insert(serialDer.end(), params.serial.begin(), params.serial.end());
  const unsigned char* sp = serialDer.data();
  IntegerPtr serial(d2i_ASN1_INTEGER(nullptr, &sp, static_cast<long>(serialDer.size())));
  if (!serial) sslFail("serial number " + toHex(params.serial) + " (contents octets must be minimal)");
  if (X509_set_serialNumber(x, serial.get()) != 1) sslFail("X509_set_serialNumber");

  NamePtr subject = buildName(params.subject);
  if (X509_set_subject_name(x, subject.get()) != 1) sslFail("X509_set_subject_name");
  if (params.issuer) {
    NamePtr issuer = buildName(*params.issuer);
    if (X509_set_issuer_name(x, issuer.get()) != 1) sslFail("X509_set_issuer_name");
  } else if (issuerCert != nullptr) {
    if (X509_set_issuer_name(x, X509_get_subject_name(issuerCert->get())) != 1) sslFail("X509_set_issuer_name");
  } else {
    if (X509_set_issuer_name(x, subject.get()) != 1) sslFail("X509_set_issuer_name");
  }

  TimePtr notBefore = makeTime(params.notBefore, params.notBeforeEncoding);
  TimePtr notAfter = makeTime(params.notAfter, params.notAfterEncoding);
  if (X509_set1_notBefore(x, notBefore.get()) != 1 || X509_set1_notAfter(x, notAfter.get()) != 1)
    sslFail("validity");
  if (X509_set_pubkey(x, subjectKey.get()) != 1) sslFail("X509_set_pubkey");

  if (params.basicConstraints != BasicConstraints::Absent) {
    BasicConstraintsPtr bc(BASIC_CONSTRAINTS_new());
    if (!bc) sslFail("BASIC_CONSTRAINTS_new");
    bc->ca = params.basicConstraints == BasicConstraints::CaTrue ? 0xFF : 0;
    if (params.pathLength) {
      bc->pathlen = ASN1_INTEGER_new();
      if (bc->pathlen == nullptr || ASN1_INTEGER_set(bc->pathlen, *params.pathLength) != 1) sslFail("pathLen");
    }
    if (X509_add1_ext_i2d(x, NID_basic_constraints, bc.get(), params.basicConstraintsCritical ? 1 : 0,
                          X509V3_ADD_DEFAULT) != 1)
      sslFail("basicConstraints");
  }

  if (params.subjectKeyId != KeyIdMode::Absent) {
    Bytes id = params.subjectKeyId == KeyIdMode::Given ? params.subjectKeyIdValue : keyHash(subjectKey.get());
    OctetPtr os = octets(id);
    if (X509_add1_ext_i2d(x, NID_subject_key_identifier, os.get(), 0, X509V3_ADD_DEFAULT) != 1)
      sslFail("subjectKeyIdentifier");
  }

  if (params.authorityKeyId != KeyIdMode::Absent) {
    Bytes id;
    if (params.authorityKeyId == KeyIdMode::Given) {
      id = params.authorityKeyIdValue;
    } else if (issuerCert != nullptr && issuerCert->subjectKeyId()) {
      id = *issuerCert->subjectKeyId();
    } else {
      id = keyHash(issuerKey.get());
    }
    AuthorityKeyIdPtr akid(AUTHORITY_KEYID_new());
    if (!akid) sslFail("AUTHORITY_KEYID_new");
    akid->keyid = octets(id).release();
    if (X509_add1_ext_i2d(x, NID_authority_key_identifier, akid.get(), 0, X509V3_ADD_DEFAULT) != 1)
      sslFail("authorityKeyIdentifier");
  }

  if (!params.keyUsage.empty()) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuerCert != nullptr ? issuerCert->get() : x, x, nullptr, nullptr, 0);
    ExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage, params.keyUsage.c_str()));
    if (!ext || X509_add_ext(x, ext.get(), -1) != 1) sslFail("keyUsage " + params.keyUsage);
  }

  for (const Extension& e : params.extensions) {
    ObjectPtr obj(OBJ_txt2obj(e.oid.c_str(), 0));
    if (!obj) sslFail("extension OID " + e.oid);
    OctetPtr value = octets(e.value);
    ExtensionPtr ext(X509_EXTENSION_create_by_OBJ(nullptr, obj.get(), e.critical ? 1 : 0, value.get()));
    if (!ext || X509_add_ext(x, ext.get(), -1) != 1) sslFail("extension " + e.oid);
  }

  const EVP_MD* md = EVP_get_digestbyname(params.digest.c_str());
  if (md == nullptr) throw Error("unknown digest " + params.digest);
  if (X509_sign(x, issuerKey.get(), md) <= 0) sslFail("X509_sign");
  return cert;
}

CertAuthority CertAuthority::create(const Name& subject, int bits) {
  Key key = Key::rsa(bits);
  CertParams params;
  params.subject = subject;
  params.serial = serialFromNumber(1);
  params.basicConstraints = BasicConstraints::CaTrue;
  params.keyUsage = "critical,keyCertSign,cRLSign";
  params.authorityKeyId = KeyIdMode::Computed;
  params.notAfter = std::time(nullptr) + 10L * 365 * 24 * 3600;
  Certificate cert = issueCertificate(params, key, key, nullptr);
  return CertAuthority{std::move(key), std::move(cert)};
}

Certificate CertAuthority::issue(const CertParams& params, const Key& subjectKey) const {
  return issueCertificate(params, subjectKey, key, &cert);
}

// ---- PKCS#12 ----------------------------------------------------------------------------------------

namespace {

// Rewrites the iteration count of a PKCS#12 PBE / PBES1 algorithm, or of
// the PBKDF2 of a PBES2 one, without deriving anything.
void declareIterations(X509_ALGOR* alg, long count, int prfNid) {
  if (OBJ_obj2nid(alg->algorithm) == NID_pbes2) {
    Owned<PBE2PARAM, PBE2PARAM_free> pbe2(
        static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter)));
    if (!pbe2) sslFail("PBE2PARAM");
    Owned<PBKDF2PARAM, PBKDF2PARAM_free> kdf(static_cast<PBKDF2PARAM*>(
        ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter)));
    if (kdf && prfNid != NID_undef) {
      X509_ALGOR_free(kdf->prf);
      kdf->prf = X509_ALGOR_new();
      if (kdf->prf == nullptr || X509_ALGOR_set0(kdf->prf, OBJ_nid2obj(prfNid), V_ASN1_NULL, nullptr) != 1)
        sslFail("PBKDF2 PRF");
    }
    if (!kdf || ASN1_INTEGER_set(kdf->iter, count) != 1 ||
        ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), kdf.get(), &pbe2->keyfunc->parameter) == nullptr ||
        ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBE2PARAM), pbe2.get(), &alg->parameter) == nullptr)
      sslFail("PBKDF2 iteration count");
    return;
  }
  Owned<PBEPARAM, PBEPARAM_free> pbe(
      static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), alg->parameter)));
  if (!pbe || ASN1_INTEGER_set(pbe->iter, count) != 1 ||
      ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBEPARAM), pbe.get(), &alg->parameter) == nullptr)
    sslFail("PBE iteration count");
}

// A shrouded key bag of `key` under PBES2 with scrypt of the given costs
// and AES-256-CBC, pushed onto *bags (made when absent).
PKCS12_SAFEBAG* scryptKeyBag(EVP_PKEY* key, const char* pass, const Pkcs12Params::ScryptCost& cost, BagStack* bags) {
  X509_ALGOR* alg = PKCS5_pbe2_set_scrypt(EVP_aes_256_cbc(), nullptr, 0, nullptr, cost.n, cost.r, cost.p);
  if (alg == nullptr) sslFail("PKCS5_pbe2_set_scrypt");
  Owned<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free> p8(EVP_PKEY2PKCS8(key));
  X509_SIG* shrouded = p8 ? PKCS8_set0_pbe(pass, pass != nullptr ? -1 : 0, p8.get(), alg) : nullptr;
  if (shrouded == nullptr) sslFail("PKCS8_set0_pbe");
  PKCS12_SAFEBAG* bag = PKCS12_SAFEBAG_create0_pkcs8(shrouded);
  if (bag == nullptr) {
    X509_SIG_free(shrouded);
    sslFail("PKCS12_SAFEBAG_create0_pkcs8");
  }
  if (!*bags) bags->reset(sk_PKCS12_SAFEBAG_new_null());
  if (!*bags || sk_PKCS12_SAFEBAG_push(bags->get(), bag) == 0) {
    PKCS12_SAFEBAG_free(bag);
    sslFail("sk_PKCS12_SAFEBAG_push");
  }
  return bag;
}

Bytes derTlv(unsigned char tag, const Bytes& content) {
  Bytes out{tag};
  appendDerLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

// `depth` indefinite-length SEQUENCEs one inside the other around a NULL.
Bytes indefinitelyNested(std::size_t depth) {
  Bytes out;
  for (std::size_t i = 0; i < depth; ++i) out.insert(out.end(), {0x30, 0x80});
  out.insert(out.end(), {0x05, 0x00});
  for (std::size_t i = 0; i < depth; ++i) out.insert(out.end(), {0x00, 0x00});
  return out;
}

// tag, indefinite length, `head` and `body`, end-of-contents.
Bytes indefiniteTlv(unsigned char tag, const Bytes& head, const Bytes& body) {
  Bytes out{tag, 0x80};
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), body.begin(), body.end());
  out.insert(out.end(), {0x00, 0x00});
  return out;
}

// An OID of no PKCS#12 bag or PKCS#7 content type: its value is ANY.
const Bytes kUnknownTypeOid = {0x06, 0x05, 0x2B, 0x06, 0x01, 0x04, 0x01};  // 1.3.6.1.4.1

// A data safe whose SafeContents is `bags` (each a whole SafeBag).
PKCS7* dataSafeOf(const Bytes& bags) {
  const Bytes dataOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
  Bytes info = dataOid;
  Bytes content = derTlv(0xA0, derTlv(0x04, derTlv(0x30, bags)));
  info.insert(info.end(), content.begin(), content.end());
  Bytes der = derTlv(0x30, info);
  const unsigned char* p = der.data();
  PKCS7* safe = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()));
  if (safe == nullptr) sslFail("data safe");
  return safe;
}

}  // namespace

Bytes makePkcs12(const Pkcs12Params& params) {
  int nidKey = NID_aes_256_cbc, nidCert = NID_aes_256_cbc;
  const EVP_MD* macMd = EVP_sha256();
  switch (params.encryption) {
    case Pkcs12Encryption::Aes256: break;
    case Pkcs12Encryption::Legacy3Des:
      nidKey = nidCert = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
      macMd = EVP_sha1();
      break;
    case Pkcs12Encryption::LegacyRc2:
      ensureLegacyProvider();
      nidKey = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
      nidCert = NID_pbe_WithSHA1And40BitRC2_CBC;
      macMd = EVP_sha1();
      break;
    case Pkcs12Encryption::None:
      nidKey = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
      nidCert = -1;
      macMd = EVP_sha1();
      break;
  }
  const char* pass = params.absentPassword ? nullptr : params.password.c_str();

  std::optional<std::size_t> keyIndex = params.keyCertIndex;
  if (!keyIndex && params.key != nullptr) {
    for (std::size_t i = 0; i < params.certs.size(); ++i) {
      if (EVP_PKEY_eq(X509_get0_pubkey(params.certs[i]->get()), params.key->get()) == 1) {
        keyIndex = i;
        break;
      }
    }
    ERR_clear_error();
  }
  Bytes localKeyId;
  if (keyIndex && *keyIndex < params.certs.size()) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (X509_digest(params.certs[*keyIndex]->get(), EVP_sha1(), md, &len) != 1) sslFail("X509_digest");
    localKeyId.assign(md, md + len);
  }

  BagStack certBags;
  for (std::size_t i = 0; i < params.certs.size(); ++i) {
    STACK_OF(PKCS12_SAFEBAG)* bags = certBags.release();
    PKCS12_SAFEBAG* bag = PKCS12_add_cert(&bags, params.certs[i]->get());
    certBags.reset(bags);
    if (bag == nullptr) sslFail("PKCS12_add_cert");
    if (keyIndex && *keyIndex == i && params.key != nullptr) {
      if (!localKeyId.empty() &&
          PKCS12_add_localkeyid(bag, localKeyId.data(), static_cast<int>(localKeyId.size())) != 1)
        sslFail("PKCS12_add_localkeyid");
      if (!params.friendlyName.empty() && PKCS12_add_friendlyname_utf8(bag, params.friendlyName.c_str(), -1) != 1)
        sslFail("PKCS12_add_friendlyname");
    }
  }

  if (certBags && params.nestingDepth > 0) {
    // SafeContents { SafeBag { safeContentsBag, [0] SafeContents } }, as deep as asked.
    const Bytes safeContentsBagOid = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x0A, 0x01, 0x06};
    Bytes contents = toDer(certBags.get(), [](const STACK_OF(PKCS12_SAFEBAG) * bags, unsigned char** out) {
      return ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(bags), out, ASN1_ITEM_rptr(PKCS12_SAFEBAGS));
    });
    for (int depth = 0; depth < params.nestingDepth; ++depth) {
      Bytes bag = safeContentsBagOid;
      Bytes value = derTlv(0xA0, contents);
      bag.insert(bag.end(), value.begin(), value.end());
      contents = derTlv(0x30, derTlv(0x30, bag));
    }
    const unsigned char* p = contents.data();
    certBags.reset(reinterpret_cast<STACK_OF(PKCS12_SAFEBAG)*>(
        ASN1_item_d2i(nullptr, &p, static_cast<long>(contents.size()), ASN1_ITEM_rptr(PKCS12_SAFEBAGS))));
    if (!certBags) sslFail("nested safe contents");
  }

  BagStack keyBags;
  if (params.key != nullptr) {
    STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
    PKCS12_SAFEBAG* bag = nullptr;
    if (!params.keyScrypt) bag = PKCS12_add_key(&bags, params.key->get(), 0, params.iterations, nidKey, pass);
    keyBags.reset(bags);
    if (params.keyScrypt) bag = scryptKeyBag(params.key->get(), pass, *params.keyScrypt, &keyBags);
    if (bag == nullptr) sslFail("PKCS12_add_key");
    if (params.declaredIterationsAt == Pkcs12Spot::KeyBag) {
      X509_ALGOR* alg = nullptr;
      X509_SIG_getm(const_cast<X509_SIG*>(PKCS12_SAFEBAG_get0_pkcs8(bag)), &alg, nullptr);
      if (alg == nullptr) sslFail("shrouded key bag");
      declareIterations(alg, params.declaredIterations, params.declaredPrf);
    }
    if (!localKeyId.empty() &&
        PKCS12_add_localkeyid(bag, localKeyId.data(), static_cast<int>(localKeyId.size())) != 1)
      sslFail("PKCS12_add_localkeyid");
    if (!params.friendlyName.empty() && PKCS12_add_friendlyname_utf8(bag, params.friendlyName.c_str(), -1) != 1)
      sslFail("PKCS12_add_friendlyname");
  }

  // PrivateKeyInfos given as bytes go in as plain key bags, never decoded
  // here (a hostile one may cost minutes to decode).
  for (const Bytes& info : params.plainKeyInfos) {
    const unsigned char* p = info.data();
    PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(info.size()));
    if (p8 == nullptr) sslFail("PrivateKeyInfo");
    PKCS12_SAFEBAG* bag = PKCS12_SAFEBAG_create0_p8inf(p8);
    if (bag == nullptr) {
      PKCS8_PRIV_KEY_INFO_free(p8);
      sslFail("PKCS12_SAFEBAG_create0_p8inf");
    }
    if (!keyBags) keyBags.reset(sk_PKCS12_SAFEBAG_new_null());
    if (!keyBags || sk_PKCS12_SAFEBAG_push(keyBags.get(), bag) == 0) {
      PKCS12_SAFEBAG_free(bag);
      sslFail("sk_PKCS12_SAFEBAG_push");
    }
  }

  SafeStack safes;
  auto addCertSafe = [&] {
    if (!certBags) return;
    STACK_OF(PKCS7)* s = safes.release();
    int ok = PKCS12_add_safe(&s, certBags.get(), nidCert, params.iterations, pass);
    safes.reset(s);
    if (ok != 1) sslFail("PKCS12_add_safe (certificates)");
    if (params.declaredIterationsAt == Pkcs12Spot::CertSafe) {
      PKCS7* safe = sk_PKCS7_value(safes.get(), sk_PKCS7_num(safes.get()) - 1);
      if (OBJ_obj2nid(safe->type) != NID_pkcs7_encrypted) throw Error("the certificate safe is not encrypted");
      declareIterations(safe->d.encrypted->enc_data->algorithm, params.declaredIterations, params.declaredPrf);
    }
  };
  auto addKeySafe = [&] {
    if (!keyBags) return;
    STACK_OF(PKCS7)* s = safes.release();
    int ok = PKCS12_add_safe(&s, keyBags.get(), -1, 0, nullptr);
    safes.reset(s);
    if (ok != 1) sslFail("PKCS12_add_safe (key)");
  };
  if (params.keyFirst) {
    addKeySafe();
    addCertSafe();
  } else {
    addCertSafe();
    addKeySafe();
  }
  if (params.indefiniteNestingInBag > 0) {
    // The nested bag first, then the filler bags of the next paragraph.
    // The bag itself of indefinite length, so that its end is found only
    // by following the nesting.
    Bytes bags = indefiniteTlv(0x30, kUnknownTypeOid, indefiniteTlv(0xA0, {}, indefinitelyNested(params.indefiniteNestingInBag)));
    const Bytes fillerBag = derTlv(0x30, [] {
      Bytes b = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x0A, 0x01, 0x03};  // certBag
      Bytes certBag = {0x06, 0x0A, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x16, 0x01};  // x509Certificate
      Bytes certValue = derTlv(0xA0, derTlv(0x04, {0x30, 0x00}));
      certBag.insert(certBag.end(), certValue.begin(), certValue.end());
      Bytes wrapped = derTlv(0xA0, derTlv(0x30, certBag));
      b.insert(b.end(), wrapped.begin(), wrapped.end());
      return b;
    }());
    for (std::size_t i = 0; i < params.fillerBags; ++i) bags.insert(bags.end(), fillerBag.begin(), fillerBag.end());
    if (!safes) safes.reset(sk_PKCS7_new_null());
    PKCS7* safe = dataSafeOf(bags);
    if (!safes || sk_PKCS7_push(safes.get(), safe) == 0) {
      PKCS7_free(safe);
      sslFail("sk_PKCS7_push");
    }
  } else if (params.fillerBags > 0) {
    BagStack filler(sk_PKCS12_SAFEBAG_new_null());
    OctetPtr value = octets({0x30, 0x00});
    if (!filler) sslFail("sk_PKCS12_SAFEBAG_new_null");
    for (std::size_t i = 0; i < params.fillerBags; ++i) {
      PKCS12_SAFEBAG* bag =
          PKCS12_item_pack_safebag(value.get(), ASN1_ITEM_rptr(ASN1_OCTET_STRING), NID_x509Certificate, NID_certBag);
      if (bag == nullptr || sk_PKCS12_SAFEBAG_push(filler.get(), bag) == 0) {
        PKCS12_SAFEBAG_free(bag);
        sslFail("filler bag");
      }
    }
    STACK_OF(PKCS7)* s = safes.release();
    int ok = PKCS12_add_safe(&s, filler.get(), -1, 0, nullptr);
    safes.reset(s);
    if (ok != 1) sslFail("PKCS12_add_safe (filler)");
  }
  if (params.fillerSafes > 0) {
    BagStack none(sk_PKCS12_SAFEBAG_new_null());
    if (!none) sslFail("sk_PKCS12_SAFEBAG_new_null");
    for (std::size_t i = 0; i < params.fillerSafes; ++i) {
      STACK_OF(PKCS7)* s = safes.release();
      int ok = PKCS12_add_safe(&s, none.get(), -1, 0, nullptr);
      safes.reset(s);
      if (ok != 1) sslFail("PKCS12_add_safe (empty)");
    }
  }
  if (!safes) {
    // Nothing at all: an empty authenticated safe.
    safes.reset(sk_PKCS7_new_null());
    if (!safes) sslFail("sk_PKCS7_new_null");
  }

  Pkcs12Ptr p12;
  if (params.indefiniteNestingInFirstSafe > 0) {
    // A first safe of indefinite length, nested inside, then the others:
    // the authenticated safe is written here byte for byte (OpenSSL would
    // re-encode it in definite lengths), inside a PFX that OpenSSL then
    // gives its MAC.
    Bytes authSafe = indefiniteTlv(0x30, kUnknownTypeOid,
                                   indefiniteTlv(0xA0, {}, indefinitelyNested(params.indefiniteNestingInFirstSafe)));
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
      Bytes safe = toDer(sk_PKCS7_value(safes.get(), i), i2d_PKCS7);
      authSafe.insert(authSafe.end(), safe.begin(), safe.end());
    }
    Bytes pfx = {0x02, 0x01, 0x03};
    Bytes content = derTlv(0x30, [&] {
      Bytes info = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};  // id-data
      Bytes octets = derTlv(0xA0, derTlv(0x04, derTlv(0x30, authSafe)));
      info.insert(info.end(), octets.begin(), octets.end());
      return info;
    }());
    pfx.insert(pfx.end(), content.begin(), content.end());
    pfx = derTlv(0x30, pfx);
    const unsigned char* p = pfx.data();
    p12.reset(d2i_PKCS12(nullptr, &p, static_cast<long>(pfx.size())));
    if (!p12) sslFail("PFX with a nested first safe");
  } else {
    p12.reset(PKCS12_add_safes(safes.get(), 0));
    if (!p12) sslFail("PKCS12_add_safes");
  }
  const bool declaredMac = params.declaredIterationsAt == Pkcs12Spot::Mac;
  // Two iterations at least, so that the count is written and can be rewritten.
  if (params.mac &&
      PKCS12_set_mac(p12.get(), pass, -1, nullptr, 0,
                     declaredMac ? 2 : (params.macIterations > 0 ? params.macIterations : params.iterations),
                     macMd) != 1)
    sslFail("PKCS12_set_mac");
  if (declaredMac) {
    const ASN1_INTEGER* count = nullptr;
    PKCS12_get0_mac(nullptr, nullptr, nullptr, &count, p12.get());
    if (count == nullptr || ASN1_INTEGER_set(const_cast<ASN1_INTEGER*>(count), params.declaredIterations) != 1)
      sslFail("MAC iteration count");
  }
  return toDer(p12.get(), i2d_PKCS12);
}

void writePkcs12(const std::filesystem::path& path, const Pkcs12Params& params) { writeFile(path, makePkcs12(params)); }

bool signatureVerifies(const Certificate& cert, const Bytes& data, const Bytes& signature) {
  EVP_PKEY* key = X509_get0_pubkey(cert.get());
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return ctx && key != nullptr && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
}

Bytes encryptFor(const Certificate& cert, const Bytes& data) {
  EVP_PKEY* key = X509_get0_pubkey(cert.get());
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      key != nullptr ? EVP_PKEY_CTX_new(key, nullptr) : nullptr, EVP_PKEY_CTX_free);
  std::size_t size = 0;
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), nullptr, &size, data.data(), data.size()) != 1)
    throw Error("cannot encrypt for the certificate's public key");
  Bytes out(size);
  if (EVP_PKEY_encrypt(ctx.get(), out.data(), &size, data.data(), data.size()) != 1)
    throw Error("cannot encrypt for the certificate's public key");
  out.resize(size);
  return out;
}

}  // namespace testtoken
