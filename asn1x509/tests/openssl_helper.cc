#include "openssl_helper.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <map>
#include <stdexcept>

namespace asn1x509::testing {

namespace {

void Check(bool ok, const char *what) {
  if (!ok) {
    throw std::runtime_error(std::string("OpenSSL step failed: ") + what);
  }
}

void AddExtension(X509 *cert, X509V3_CTX *ctx, int nid, const std::string &value) {
  X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
  Check(ext != nullptr, "X509V3_EXT_conf_nid");
  Check(X509_add_ext(cert, ext, -1) == 1, "X509_add_ext");
  X509_EXTENSION_free(ext);
}

void SetTime(ASN1_TIME *field, const std::string &text) {
  // ASN1_TIME_set_string picks UTCTime for 13 characters and
  // GeneralizedTime for 15 without the RFC 5280 year rule.
  Check(ASN1_TIME_set_string(field, text.c_str()) == 1, "ASN1_TIME_set_string");
}

}  // namespace

EVP_PKEY *RsaKey(int bits) {
  static std::map<int, PkeyPtr> cache;
  auto it = cache.find(bits);
  if (it == cache.end()) {
    EVP_PKEY *key = EVP_RSA_gen(static_cast<unsigned>(bits));
    Check(key != nullptr, "EVP_RSA_gen");
    it = cache.emplace(bits, PkeyPtr(key)).first;
  }
  return it->second.get();
}

NamePtr MakeName(const std::vector<Attribute> &attributes) {
  NamePtr name(X509_NAME_new());
  Check(name != nullptr, "X509_NAME_new");
  for (const Attribute &a : attributes) {
    Check(X509_NAME_add_entry_by_txt(name.get(), a.type.c_str(), a.stringType, a.value.data(),
                                     static_cast<int>(a.value.size()), -1, a.sameRdn ? -1 : 0) == 1,
          "X509_NAME_add_entry_by_txt");
  }
  return name;
}

Bytes NameDer(const X509_NAME *name) {
  unsigned char *out = nullptr;
  const int n = i2d_X509_NAME(name, &out);
  Check(n >= 0, "i2d_X509_NAME");
  Bytes bytes(out, out + n);
  OPENSSL_free(out);
  return bytes;
}

X509Ptr MakeCert(const CertRecipe &recipe) {
  EVP_PKEY *key = RsaKey(recipe.keyBits);
  X509Ptr cert(X509_new());
  Check(cert != nullptr, "X509_new");
  if (!recipe.v1) {
    Check(X509_set_version(cert.get(), X509_VERSION_3) == 1, "X509_set_version");
  }
  // The serial's content octets wrapped in an INTEGER header and decoded,
  // so that any shape (negative, zero, long) comes out exactly as given.
  Bytes serialDer{0x02, static_cast<uint8_t>(recipe.serial.size())};
  serialDer.insert(serialDer.end(), recipe.serial.begin(), recipe.serial.end());
  const unsigned char *p = serialDer.data();
  ASN1_INTEGER *serial = d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(serialDer.size()));
  Check(serial != nullptr, "d2i_ASN1_INTEGER");
  Check(X509_set_serialNumber(cert.get(), serial) == 1, "X509_set_serialNumber");
  ASN1_INTEGER_free(serial);
  NamePtr subject = MakeName(recipe.subject);
  NamePtr issuer = MakeName(recipe.issuer);
  Check(X509_set_subject_name(cert.get(), subject.get()) == 1, "X509_set_subject_name");
  Check(X509_set_issuer_name(cert.get(), issuer.get()) == 1, "X509_set_issuer_name");
  SetTime(X509_getm_notBefore(cert.get()), recipe.notBefore);
  SetTime(X509_getm_notAfter(cert.get()), recipe.notAfter);
  Check(X509_set_pubkey(cert.get(), key) == 1, "X509_set_pubkey");
  if (!recipe.v1) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    if (recipe.basicConstraints) {
      AddExtension(cert.get(), &ctx, NID_basic_constraints, *recipe.basicConstraints);
    }
    if (recipe.subjectKeyId) {
      AddExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
    }
    if (recipe.authorityKeyId) {
      AddExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
    }
    if (recipe.keyUsage) {
      AddExtension(cert.get(), &ctx, NID_key_usage, *recipe.keyUsage);
    }
  }
  Check(X509_sign(cert.get(), key, EVP_sha256()) > 0, "X509_sign");
  return cert;
}

Bytes CertDer(const X509 *cert) {
  unsigned char *out = nullptr;
  const int n = i2d_X509(cert, &out);
  Check(n > 0, "i2d_X509");
  Bytes bytes(out, out + n);
  OPENSSL_free(out);
  return bytes;
}

Bytes Pkcs8Der(EVP_PKEY *key) {
  PKCS8_PRIV_KEY_INFO *info = EVP_PKEY2PKCS8(key);
  Check(info != nullptr, "EVP_PKEY2PKCS8");
  unsigned char *out = nullptr;
  const int n = i2d_PKCS8_PRIV_KEY_INFO(info, &out);
  PKCS8_PRIV_KEY_INFO_free(info);
  Check(n > 0, "i2d_PKCS8_PRIV_KEY_INFO");
  Bytes bytes(out, out + n);
  OPENSSL_clear_free(out, static_cast<size_t>(n));
  return bytes;
}

Bytes Pkcs1PrivateDer(EVP_PKEY *key) {
  unsigned char *out = nullptr;
  const int n = i2d_PrivateKey(key, &out);
  Check(n > 0, "i2d_PrivateKey");
  Bytes bytes(out, out + n);
  OPENSSL_clear_free(out, static_cast<size_t>(n));
  return bytes;
}

Bytes Pkcs1PublicDer(EVP_PKEY *key) {
  unsigned char *out = nullptr;
  const int n = i2d_PublicKey(key, &out);
  Check(n > 0, "i2d_PublicKey");
  Bytes bytes(out, out + n);
  OPENSSL_free(out);
  return bytes;
}

Bytes RsaParam(EVP_PKEY *key, const char *name) {
  BIGNUM *bn = nullptr;
  Check(EVP_PKEY_get_bn_param(key, name, &bn) == 1, name);
  Bytes bytes(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, bytes.data());
  BN_clear_free(bn);
  if (bytes.empty()) {
    bytes.push_back(0);
  }
  return bytes;
}

Bytes ToBytes(const unsigned char *data, size_t length) {
  return length == 0 ? Bytes{} : Bytes(data, data + length);
}

std::string Hex(const Bytes &bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

}  // namespace asn1x509::testing
