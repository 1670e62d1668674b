// RSA keys from OpenSSL: PKCS#8 PrivateKeyInfo, PKCS#1 private and public
// keys, compared with OpenSSL's own numbers.
#include <gtest/gtest.h>
#include <openssl/core_names.h>

#include "asn1x509/asn1x509.h"
#include "openssl_helper.h"

namespace asn1x509::testing {
namespace {

Bytes PduBytes(const Pdu &pdu) { return ToBytes(pdu.data, pdu.length); }

void ExpectPrivateMatches(const PKCS1RSAPrivateKeyParam &p, EVP_PKEY *key) {
  EXPECT_EQ(p.version, 0);
  EXPECT_EQ(PduBytes(p.modulus), RsaParam(key, OSSL_PKEY_PARAM_RSA_N));
  EXPECT_EQ(PduBytes(p.publicExponent), RsaParam(key, OSSL_PKEY_PARAM_RSA_E));
  EXPECT_EQ(PduBytes(p.privateExponent), RsaParam(key, OSSL_PKEY_PARAM_RSA_D));
  EXPECT_EQ(PduBytes(p.prime1), RsaParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1));
  EXPECT_EQ(PduBytes(p.prime2), RsaParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2));
  EXPECT_EQ(PduBytes(p.exponent1), RsaParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT1));
  EXPECT_EQ(PduBytes(p.exponent2), RsaParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT2));
  EXPECT_EQ(PduBytes(p.coefficient), RsaParam(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1));
}

class KeySizes : public ::testing::TestWithParam<int> {};

TEST_P(KeySizes, Pkcs8IntoPkcs1) {
  EVP_PKEY *key = RsaKey(GetParam());
  const Bytes der = Pkcs8Der(key);
  uint32_t err = 0;
  PKCS8PrivateKeyInfoHandle info = nullptr;
  PKCS1RSAPrivateKeyHandle rsa = nullptr;
  ASSERT_EQ(PKCS8PrivateKeyInfoObjectCreate(&info, &err), 0);
  ASSERT_EQ(PKCS1RSAPrivateKeyObjectCreate(&rsa, &err), 0);
  Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  ASSERT_EQ(PKCS8PrivateKeyInfoObjectSetPduBER(info, &pdu, &err), 0) << std::hex << err;
  ASSERT_EQ(PKCS8PrivateKeyInfoObjectGetParamRSAKey(info, &rsa, &err), 0) << std::hex << err;
  // The key object owns its copy: the PKCS#8 object may go first.
  EXPECT_EQ(PKCS8PrivateKeyInfoObjectDestroy(info, &err), 0);
  PKCS1RSAPrivateKeyParam p{};
  ASSERT_EQ(PKCS1RSAPrivateKeyObjectGetParam(rsa, &p, &err), 0);
  ExpectPrivateMatches(p, key);
  EXPECT_EQ(PKCS1RSAPrivateKeyObjectDestroy(rsa, &err), 0);
}

TEST_P(KeySizes, Pkcs1PrivateAndPublic) {
  EVP_PKEY *key = RsaKey(GetParam());
  uint32_t err = 0;
  const Bytes priv = Pkcs1PrivateDer(key);
  PKCS1RSAPrivateKeyHandle rsa = nullptr;
  ASSERT_EQ(PKCS1RSAPrivateKeyObjectCreate(&rsa, &err), 0);
  Pdu pdu{priv.data(), static_cast<uint32_t>(priv.size())};
  ASSERT_EQ(PKCS1RSAPrivateKeyObjectSetPduBER(rsa, &pdu, &err), 0);
  PKCS1RSAPrivateKeyParam p{};
  ASSERT_EQ(PKCS1RSAPrivateKeyObjectGetParam(rsa, &p, &err), 0);
  ExpectPrivateMatches(p, key);
  EXPECT_EQ(PKCS1RSAPrivateKeyObjectDestroy(rsa, &err), 0);

  const Bytes pub = Pkcs1PublicDer(key);
  PKCS1RSAPublicKeyHandle pk = nullptr;
  ASSERT_EQ(PKCS1RSAPublicKeyObjectCreate(&pk, &err), 0);
  Pdu pubPdu{pub.data(), static_cast<uint32_t>(pub.size())};
  ASSERT_EQ(PKCS1RSAPublicKeyObjectSetPduBER(pk, &pubPdu, &err), 0);
  PKCS1RSAPublicKeyParam q{};
  ASSERT_EQ(PKCS1RSAPublicKeyObjectGetParam(pk, &q, &err), 0);
  EXPECT_EQ(PduBytes(q.modulus), RsaParam(key, OSSL_PKEY_PARAM_RSA_N));
  EXPECT_EQ(PduBytes(q.publicExponent), RsaParam(key, OSSL_PKEY_PARAM_RSA_E));
  EXPECT_EQ(q.modulus.length * 8, static_cast<uint32_t>(GetParam()));
  EXPECT_EQ(PKCS1RSAPublicKeyObjectDestroy(pk, &err), 0);
}

INSTANTIATE_TEST_SUITE_P(Rsa, KeySizes, ::testing::Values(1024, 2048, 3072));

struct RejectedKey {
  const char *reason;
  Bytes der;
  uint32_t expected;
};

// RSAPublicKey shapes that must be refused.
const RejectedKey kRejectedPublic[] = {
    {"empty input", {}, ASN1X509_ERR_STRUCTURE},
    {"missing exponent", {0x30, 0x03, 0x02, 0x01, 0x05}, ASN1X509_ERR_STRUCTURE},
    {"negative modulus", {0x30, 0x06, 0x02, 0x01, 0x85, 0x02, 0x01, 0x03}, ASN1X509_ERR_STRUCTURE},
    {"non-minimal modulus", {0x30, 0x07, 0x02, 0x02, 0x00, 0x05, 0x02, 0x01, 0x03}, ASN1X509_ERR_DER},
    {"extra element", {0x30, 0x08, 0x02, 0x01, 0x05, 0x02, 0x01, 0x03, 0x05, 0x00}, ASN1X509_ERR_STRUCTURE},
    {"trailing byte", {0x30, 0x06, 0x02, 0x01, 0x05, 0x02, 0x01, 0x03, 0x00}, ASN1X509_ERR_DER},
};

TEST(RsaPublicKey, Rejections) {
  for (const RejectedKey &r : kRejectedPublic) {
    PKCS1RSAPublicKeyHandle pk = nullptr;
    uint32_t err = 0;
    ASSERT_EQ(PKCS1RSAPublicKeyObjectCreate(&pk, &err), 0);
    Pdu pdu{r.der.data(), static_cast<uint32_t>(r.der.size())};
    EXPECT_EQ(PKCS1RSAPublicKeyObjectSetPduBER(pk, &pdu, &err), -1) << r.reason;
    EXPECT_EQ(err, r.expected) << r.reason;
    PKCS1RSAPublicKeyParam q{};
    err = 0;
    EXPECT_EQ(PKCS1RSAPublicKeyObjectGetParam(pk, &q, &err), -1) << r.reason;
    EXPECT_EQ(err, ASN1X509_ERR_STATE) << r.reason;
    EXPECT_EQ(PKCS1RSAPublicKeyObjectDestroy(pk, &err), 0);
  }
}

TEST(RsaPublicKey, SmallNumbersAndZeroKeepOneOctet) {
  const Bytes der{0x30, 0x07, 0x02, 0x02, 0x00, 0x80, 0x02, 0x01, 0x00};
  PKCS1RSAPublicKeyHandle pk = nullptr;
  uint32_t err = 0;
  ASSERT_EQ(PKCS1RSAPublicKeyObjectCreate(&pk, &err), 0);
  Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  ASSERT_EQ(PKCS1RSAPublicKeyObjectSetPduBER(pk, &pdu, &err), 0);
  PKCS1RSAPublicKeyParam q{};
  ASSERT_EQ(PKCS1RSAPublicKeyObjectGetParam(pk, &q, &err), 0);
  EXPECT_EQ(PduBytes(q.modulus), Bytes{0x80});
  EXPECT_EQ(PduBytes(q.publicExponent), Bytes{0x00});
  EXPECT_EQ(PKCS1RSAPublicKeyObjectDestroy(pk, &err), 0);
}

// A PKCS#8 wrapper around `inner` with the given algorithm identifier.
Bytes Pkcs8(const Bytes &version, const Bytes &algorithm, const Bytes &inner) {
  Bytes out;
  out.reserve(version.size() + algorithm.size() + inner.size() + 4);
  out.push_back(0x30);
  out.push_back(static_cast<uint8_t>(version.size() + algorithm.size() + inner.size() + 2));
  for (const Bytes *part : {&version, &algorithm}) {
    for (uint8_t b : *part) {
      out.push_back(b);
    }
  }
  out.push_back(0x04);
  out.push_back(static_cast<uint8_t>(inner.size()));
  for (uint8_t b : inner) {
    out.push_back(b);
  }
  return out;
}

TEST(Pkcs8, Rejections) {
  const Bytes v0{0x02, 0x01, 0x00};
  const Bytes rsaAlg{0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
  // id-ecPublicKey 1.2.840.10045.2.1 with NULL parameters.
  const Bytes ecAlg{0x30, 0x0B, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x05, 0x00};
  const Bytes tinyKey{0x30, 0x03, 0x02, 0x01, 0x00};
  struct Case {
    const char *reason;
    Bytes der;
    bool setFails;
    uint32_t expected;
  } cases[] = {
      {"not RSA", Pkcs8(v0, ecAlg, tinyKey), true, ASN1X509_ERR_UNSUPPORTED},
      {"version 2", Pkcs8({0x02, 0x01, 0x02}, rsaAlg, tinyKey), true, ASN1X509_ERR_UNSUPPORTED},
      {"inner key is no RSAPrivateKey", Pkcs8(v0, rsaAlg, tinyKey), false, ASN1X509_ERR_STRUCTURE},
      {"multi-prime inner key", Pkcs8(v0, rsaAlg, {0x30, 0x03, 0x02, 0x01, 0x01}), false,
       ASN1X509_ERR_UNSUPPORTED},
  };
  for (const Case &c : cases) {
    uint32_t err = 0;
    PKCS8PrivateKeyInfoHandle info = nullptr;
    PKCS1RSAPrivateKeyHandle rsa = nullptr;
    ASSERT_EQ(PKCS8PrivateKeyInfoObjectCreate(&info, &err), 0);
    ASSERT_EQ(PKCS1RSAPrivateKeyObjectCreate(&rsa, &err), 0);
    Pdu pdu{c.der.data(), static_cast<uint32_t>(c.der.size())};
    const int32_t set = PKCS8PrivateKeyInfoObjectSetPduBER(info, &pdu, &err);
    if (c.setFails) {
      EXPECT_EQ(set, -1) << c.reason;
    } else {
      ASSERT_EQ(set, 0) << c.reason;
      EXPECT_EQ(PKCS8PrivateKeyInfoObjectGetParamRSAKey(info, &rsa, &err), -1) << c.reason;
    }
    EXPECT_EQ(err, c.expected) << c.reason;
    EXPECT_EQ(PKCS8PrivateKeyInfoObjectDestroy(info, &err), 0);
    EXPECT_EQ(PKCS1RSAPrivateKeyObjectDestroy(rsa, &err), 0);
  }
}

TEST(Pkcs8, ReloadWithBadKeyLeavesNoStaleParameters) {
  EVP_PKEY *key = RsaKey(1024);
  const Bytes good = Pkcs1PrivateDer(key);
  const Bytes bad{0x30, 0x03, 0x02, 0x01, 0x00};
  uint32_t err = 0;
  PKCS1RSAPrivateKeyHandle rsa = nullptr;
  ASSERT_EQ(PKCS1RSAPrivateKeyObjectCreate(&rsa, &err), 0);
  Pdu pdu{good.data(), static_cast<uint32_t>(good.size())};
  ASSERT_EQ(PKCS1RSAPrivateKeyObjectSetPduBER(rsa, &pdu, &err), 0);
  Pdu badPdu{bad.data(), static_cast<uint32_t>(bad.size())};
  EXPECT_EQ(PKCS1RSAPrivateKeyObjectSetPduBER(rsa, &badPdu, &err), -1);
  PKCS1RSAPrivateKeyParam p{};
  err = 0;
  EXPECT_EQ(PKCS1RSAPrivateKeyObjectGetParam(rsa, &p, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_STATE);
  EXPECT_EQ(PKCS1RSAPrivateKeyObjectDestroy(rsa, &err), 0);
}

}  // namespace
}  // namespace asn1x509::testing
