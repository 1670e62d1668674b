// The PKI factory: names, serials, validity encodings, extensions and
// PKCS#12 files read back with OpenSSL.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "testtoken/testtoken.h"

using namespace testtoken;

namespace {

struct Pki {
  CertAuthority ca = CertAuthority::create(simpleName({{"C", "JP", StringType::Printable}, {"CN", "Test CA"}}));
  Key key = Key::rsa(2048);
  Certificate ee = ca.issue(eeParams(), key);

  static CertParams eeParams() {
    CertParams params;
    params.subject = simpleName({{"C", "JP", StringType::Printable}, {"O", "Example"}, {"CN", "User One"}});
    params.serial = serialFromNumber(0x1234);
    params.basicConstraints = BasicConstraints::CaFalse;
    return params;
  }
};

Pki& pki() {
  static Pki instance;
  return instance;
}

// The certificates of a PKCS#12 file in bag order.
std::vector<Bytes> certBagOrder(const Bytes& der, const char* pass) {
  const unsigned char* p = der.data();
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(der.size()));
  EXPECT_NE(p12, nullptr);
  std::vector<Bytes> out;
  if (p12 == nullptr) return out;
  STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12);
  for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
    PKCS7* p7 = sk_PKCS7_value(safes, i);
    STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
    int nid = OBJ_obj2nid(p7->type);
    if (nid == NID_pkcs7_data)
      bags = PKCS12_unpack_p7data(p7);
    else if (nid == NID_pkcs7_encrypted)
      bags = PKCS12_unpack_p7encdata(p7, pass, -1);
    for (int j = 0; j < sk_PKCS12_SAFEBAG_num(bags); ++j) {
      PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, j);
      if (PKCS12_SAFEBAG_get_nid(bag) != NID_certBag) continue;
      X509* x = PKCS12_SAFEBAG_get1_cert(bag);
      out.push_back(Certificate::adopt(x).der());
    }
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
  }
  sk_PKCS7_pop_free(safes, PKCS7_free);
  PKCS12_free(p12);
  return out;
}

struct Parsed {
  bool ok = false;
  bool hasKey = false;
  bool keyMatches = false;
  std::optional<Bytes> cert;
  std::vector<Bytes> ca;
};

Parsed parse(const Bytes& der, const char* pass) {
  Parsed r;
  const unsigned char* p = der.data();
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(der.size()));
  if (p12 == nullptr) return r;
  EVP_PKEY* pkey = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* ca = nullptr;
  r.ok = PKCS12_parse(p12, pass, &pkey, &cert, &ca) == 1;
  ERR_clear_error();
  if (pkey != nullptr) {
    r.hasKey = true;
    r.keyMatches = EVP_PKEY_eq(pkey, pki().key.get()) == 1;
  }
  if (cert != nullptr) r.cert = Certificate::adopt(cert).der();
  for (int i = 0; i < sk_X509_num(ca); ++i) r.ca.push_back(Certificate::adopt(X509_dup(sk_X509_value(ca, i))).der());
  sk_X509_pop_free(ca, X509_free);
  EVP_PKEY_free(pkey);
  PKCS12_free(p12);
  return r;
}

}  // namespace

TEST(PkiTest, Pkcs12ReadsBackWithKeyAndCertificates) {
  Pkcs12Params params;
  params.password = "pass word";
  params.key = &pki().key;
  params.certs = {&pki().ee, &pki().ca.cert};
  params.friendlyName = "user";
  Bytes der = makePkcs12(params);
  Parsed r = parse(der, "pass word");
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.keyMatches);
  EXPECT_EQ(r.cert, pki().ee.der());
  EXPECT_EQ(r.ca, std::vector<Bytes>{pki().ca.cert.der()});
  EXPECT_FALSE(parse(der, "wrong").ok);
  EXPECT_EQ(certBagOrder(der, "pass word"), (std::vector<Bytes>{pki().ee.der(), pki().ca.cert.der()}));
}

TEST(PkiTest, Pkcs12BagOrderAndEncryptions) {
  for (auto enc : {Pkcs12Encryption::Aes256, Pkcs12Encryption::Legacy3Des, Pkcs12Encryption::LegacyRc2,
                   Pkcs12Encryption::None}) {
    Pkcs12Params params;
    params.password = "secret";
    params.key = &pki().key;
    params.certs = {&pki().ca.cert, &pki().ee};
    params.encryption = enc;
    params.keyFirst = enc == Pkcs12Encryption::None;
    Bytes der = makePkcs12(params);
    EXPECT_EQ(certBagOrder(der, "secret"), (std::vector<Bytes>{pki().ca.cert.der(), pki().ee.der()}))
        << static_cast<int>(enc);
    Parsed r = parse(der, "secret");
    EXPECT_TRUE(r.ok) << static_cast<int>(enc);
    EXPECT_TRUE(r.keyMatches) << static_cast<int>(enc);
    EXPECT_EQ(r.cert, pki().ee.der()) << static_cast<int>(enc);
  }
}

TEST(PkiTest, Pkcs12WithoutKeyAndEmptyPasswords) {
  Pkcs12Params params;
  params.certs = {&pki().ee};
  params.encryption = Pkcs12Encryption::Legacy3Des;
  Bytes empty = makePkcs12(params);  // password ""
  Parsed r = parse(empty, "");
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.hasKey);
  EXPECT_EQ(r.ca.size() + (r.cert ? 1u : 0u), 1u);

  params.absentPassword = true;
  Bytes absent = makePkcs12(params);
  const unsigned char* p = absent.data();
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(absent.size()));
  ASSERT_NE(p12, nullptr);
  EXPECT_EQ(PKCS12_verify_mac(p12, nullptr, 0), 1);
  EXPECT_EQ(PKCS12_verify_mac(p12, "", 0), 0);  // "" and no password differ for the MAC
  PKCS12_free(p12);
  ERR_clear_error();

  Pkcs12Params none;
  none.password = "x";
  Bytes nothing = makePkcs12(none);
  EXPECT_TRUE(certBagOrder(nothing, "x").empty());
}

TEST(PkiTest, NamesWithStringTypesAndMultiValuedRdns) {
  EXPECT_EQ(nameDer(simpleName({{"CN", "A", StringType::Bmp}})),
            (Bytes{0x30, 0x0D, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x03, 0x1E, 0x02, 0x00, 0x41}));
  EXPECT_EQ(nameDer(simpleName({{"CN", "A", StringType::Universal}})),
            (Bytes{0x30, 0x0F, 0x31, 0x0D, 0x30, 0x0B, 0x06, 0x03, 0x55, 0x04, 0x03, 0x1C, 0x04, 0x00, 0x00, 0x00,
                   0x41}));
  // Two values in one RDN: one SET with two sequences.
  Name multi = {Rdn{{"O", "X", StringType::Printable}, {"OU", "Y", StringType::Utf8}}};
  EXPECT_EQ(nameDer(multi), (Bytes{0x30, 0x16, 0x31, 0x14, 0x30, 0x08, 0x06, 0x03, 0x55, 0x04, 0x0A, 0x13,
                                   0x01, 'X', 0x30, 0x08, 0x06, 0x03, 0x55, 0x04, 0x0B, 0x0C, 0x01, 'Y'}));
  // Teletex bytes go in unchanged; UTF-8 text as UTF-8.
  Bytes t61 = nameDer(simpleName({{"CN", "\xE9", StringType::Teletex}}));
  EXPECT_EQ(t61[11], 0x14);
  EXPECT_EQ(t61.back(), 0xE9);
  Bytes jp = nameDer(simpleName({{"CN", "\xE5\xB1\xB1"}}));  // U+5C71
  EXPECT_EQ(jp[11], 0x0C);
  EXPECT_EQ(jp.back(), 0xB1);
}

TEST(PkiTest, CertificateFields) {
  Key& key = pki().key;
  CertParams params;
  params.subject = simpleName({{"CN", "Fields"}});
  params.serial = serialFromUnsigned({0x80, 0x01});
  params.notBefore = 946684800;  // 2000-01-01
  params.notBeforeEncoding = TimeEncoding::GeneralizedTime;
  params.notAfter = 4102444800;  // 2100-01-01: GeneralizedTime anyway
  params.subjectKeyId = KeyIdMode::Given;
  params.subjectKeyIdValue = {1, 2, 3};
  Certificate c = pki().ca.issue(params, key);
  EXPECT_EQ(c.serialContent(), (Bytes{0x00, 0x80, 0x01}));
  EXPECT_EQ(c.serialDer(), (Bytes{0x02, 0x03, 0x00, 0x80, 0x01}));
  EXPECT_EQ(ASN1_STRING_type(X509_get0_notBefore(c.get())), V_ASN1_GENERALIZEDTIME);
  EXPECT_EQ(ASN1_STRING_type(X509_get0_notAfter(c.get())), V_ASN1_GENERALIZEDTIME);
  EXPECT_EQ(X509_get_ext_by_NID(c.get(), NID_basic_constraints, -1), -1);
  EXPECT_EQ(c.subjectKeyId(), (Bytes{1, 2, 3}));
  const ASN1_OCTET_STRING* akid = X509_get0_authority_key_id(c.get());
  ASSERT_NE(akid, nullptr);
  EXPECT_EQ(Bytes(ASN1_STRING_get0_data(akid), ASN1_STRING_get0_data(akid) + ASN1_STRING_length(akid)),
            *pki().ca.cert.subjectKeyId());
  EXPECT_EQ(c.issuerDer(), pki().ca.cert.subjectDer());

  CertParams utc = params;
  utc.notBeforeEncoding = TimeEncoding::UtcTime;
  utc.basicConstraints = BasicConstraints::CaTrue;
  utc.authorityKeyId = KeyIdMode::Absent;
  Certificate u = pki().ca.issue(utc, key);
  EXPECT_EQ(ASN1_STRING_type(X509_get0_notBefore(u.get())), V_ASN1_UTCTIME);
  EXPECT_NE(X509_get_extension_flags(u.get()) & EXFLAG_CA, 0u);
  EXPECT_EQ(X509_get0_authority_key_id(u.get()), nullptr);

  EXPECT_NE(X509_get_extension_flags(pki().ee.get()) & EXFLAG_BCONS, 0u);
  EXPECT_EQ(X509_get_extension_flags(pki().ee.get()) & EXFLAG_CA, 0u);
  EXPECT_EQ(X509_verify(pki().ee.get(), pki().ca.key.get()), 1);

  CertParams bad = params;
  bad.serial = {0x00, 0x01};  // not minimal
  EXPECT_THROW(pki().ca.issue(bad, key), Error);
}

TEST(PkiTest, KeysRoundTrip) {
  Key k = Key::fromPrivateKeyInfo(pki().key.privateKeyInfoDer());
  EXPECT_EQ(k.modulus(), pki().key.modulus());
  EXPECT_EQ(k.publicExponent(), (Bytes{0x01, 0x00, 0x01}));
  EXPECT_EQ(k.bits(), 2048);
  Certificate copy = Certificate::fromDer(pki().ee.der());
  EXPECT_EQ(copy.subjectDer(), pki().ee.subjectDer());
}
