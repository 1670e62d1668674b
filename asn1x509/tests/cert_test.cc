// Certificates made by OpenSSL, decoded and checked field by field
// against what OpenSSL itself reports.
#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <string>

#include "asn1x509/asn1x509.h"
#include "openssl_helper.h"

namespace asn1x509::testing {
namespace {

// Owns a certificate handle for one test.
class Cert {
 public:
  Cert() { EXPECT_EQ(X509CertObjectCreate(&handle_, &err_), 0); }
  ~Cert() { EXPECT_EQ(X509CertObjectDestroy(handle_, &err_), 0); }
  Cert(const Cert &) = delete;
  Cert &operator=(const Cert &) = delete;
  int32_t Load(const Bytes &der) {
    Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
    return X509CertObjectSetPduBER(handle_, &pdu, &err_);
  }
  X509CertParam Param() {
    X509CertParam p{};
    EXPECT_EQ(X509CertObjectGetParamUCert(handle_, &p, &err_), 0);
    return p;
  }
  X509CertHandle handle() const { return handle_; }
  uint32_t err() const { return err_; }

 private:
  X509CertHandle handle_ = nullptr;
  uint32_t err_ = 0;
};

Bytes PduBytes(const Pdu &pdu) { return ToBytes(pdu.data, pdu.length); }

Bytes SerialContent(const X509 *cert) {
  const ASN1_INTEGER *serial = X509_get0_serialNumber(cert);
  unsigned char *out = nullptr;
  const int n = i2d_ASN1_INTEGER(serial, &out);
  Bytes der(out, out + n);
  OPENSSL_free(out);
  // Strip the two-byte header (serials are below 128 bytes).
  return Bytes(der.begin() + 2, der.end());
}

Bytes ExtensionValue(const X509 *cert, int nid, int *critical) {
  const int index = X509_get_ext_by_NID(cert, nid, -1);
  if (index < 0) {
    return {};
  }
  X509_EXTENSION *ext = X509_get_ext(cert, index);
  *critical = X509_EXTENSION_get_critical(ext);
  const ASN1_OCTET_STRING *data = X509_EXTENSION_get_data(ext);
  return ToBytes(data->data, static_cast<size_t>(data->length));
}

struct CertCase {
  const char *label;
  CertRecipe recipe;
};

CertRecipe Recipe(int bits, Bytes serial) {
  CertRecipe s;
  s.keyBits = bits;
  s.serial = std::move(serial);
  return s;
}

std::vector<CertCase> Cases() {
  std::vector<CertCase> cases;
  cases.push_back({"rsa1024_serial_one_byte", Recipe(1024, {0x05})});
  cases.push_back({"rsa2048_serial_needs_zero_pad", Recipe(2048, {0x00, 0x80})});
  cases.push_back({"rsa3072_serial_20_bytes", Recipe(3072, Bytes(20, 0x7A))});
  cases.push_back({"serial_21_bytes_padded", [] {
                     Bytes b(21, 0xC3);
                     b[0] = 0x00;
                     return Recipe(2048, b);
                   }()});
  cases.push_back({"serial_negative", Recipe(2048, {0xFF, 0x7F})});
  cases.push_back({"serial_zero", Recipe(2048, {0x00})});
  {
    CertRecipe s = Recipe(2048, {0x01});
    s.v1 = true;
    cases.push_back({"v1_without_extensions", s});
  }
  {
    CertRecipe s = Recipe(2048, {0x02});
    s.notBefore = "491231235959Z";
    s.notAfter = "20510101000000Z";
    cases.push_back({"utc_and_generalized_times", s});
  }
  {
    CertRecipe s = Recipe(2048, {0x03});
    s.basicConstraints = "critical,CA:TRUE,pathlen:2";
    s.subjectKeyId = true;
    s.authorityKeyId = true;
    s.keyUsage = "critical,keyCertSign,cRLSign";
    cases.push_back({"ca_with_key_ids", s});
  }
  {
    CertRecipe s = Recipe(2048, {0x04});
    s.basicConstraints = "CA:FALSE";
    s.subjectKeyId = true;
    s.keyUsage = "digitalSignature";
    cases.push_back({"end_entity_non_critical", s});
  }
  {
    CertRecipe s = Recipe(2048, {0x06});
    s.subject = {{"C", V_ASN1_PRINTABLESTRING, {'J', 'P'}},
                 {"O", V_ASN1_UTF8STRING, {'O', 'r', 'g'}},
                 {"OU", V_ASN1_T61STRING, {'U', 'n', 'i', 't'}},
                 {"CN", V_ASN1_BMPSTRING, {0x5C, 0x71, 0x75, 0x30}, false},
                 {"serialNumber", V_ASN1_PRINTABLESTRING, {'4', '2'}, true}};
    cases.push_back({"subject_with_multi_valued_rdn", s});
  }
  return cases;
}

class CertDecode : public ::testing::TestWithParam<CertCase> {};

TEST_P(CertDecode, FieldsMatchOpenSsl) {
  const CertRecipe &recipe = GetParam().recipe;
  X509Ptr x509 = MakeCert(recipe);
  const Bytes der = CertDer(x509.get());
  Cert cert;
  ASSERT_EQ(cert.Load(der), 0) << std::hex << cert.err();
  X509CertParam p = cert.Param();

  Pdu whole{};
  ASSERT_EQ(X509CertObjectGetPduDER(cert.handle(), &whole, nullptr), 0);
  EXPECT_EQ(PduBytes(whole), der);

  EXPECT_EQ(p.version, X509_get_version(x509.get()));
  EXPECT_EQ(p.serial.serialForm, 1);
  EXPECT_EQ(ToBytes(p.serial.serialBytes, p.serial.serialLength), recipe.serial);
  EXPECT_EQ(ToBytes(p.serial.serialBytes, p.serial.serialLength), SerialContent(x509.get()));

  EXPECT_EQ(PduBytes(p.subjectDer), NameDer(X509_get_subject_name(x509.get())));
  EXPECT_EQ(PduBytes(p.issuerDer), NameDer(X509_get_issuer_name(x509.get())));
  // The name handles hold the same bytes.
  Pdu subject{}, issuer{};
  ASSERT_EQ(X509NameObjectGetPduDER(p.subject, &subject, nullptr), 0);
  ASSERT_EQ(X509NameObjectGetPduDER(p.issuer, &issuer, nullptr), 0);
  EXPECT_EQ(PduBytes(subject), PduBytes(p.subjectDer));
  EXPECT_EQ(PduBytes(issuer), PduBytes(p.issuerDer));

  const int expectedBefore = recipe.notBefore.size() == 13 ? X509_TIME_UTC : X509_TIME_GENERALIZED;
  const int expectedAfter = recipe.notAfter.size() == 13 ? X509_TIME_UTC : X509_TIME_GENERALIZED;
  EXPECT_EQ(p.notBefore.kind, expectedBefore);
  EXPECT_EQ(p.notAfter.kind, expectedAfter);
  EXPECT_EQ(std::string(p.notBefore.chars, p.notBefore.count), recipe.notBefore);
  EXPECT_EQ(std::string(p.notAfter.chars, p.notAfter.count), recipe.notAfter);

  // Subject public key bits and the SPKI as a whole.
  ASN1_BIT_STRING *key = X509_get0_pubkey_bitstr(x509.get());
  EXPECT_EQ(p.subjectPublicKey.bitLength, static_cast<uint32_t>(key->length) * 8);
  EXPECT_EQ(ToBytes(p.subjectPublicKey.bits, p.subjectPublicKey.bitLength / 8),
            ToBytes(key->data, static_cast<size_t>(key->length)));
  EXPECT_EQ(ToBytes(p.subjectPublicKey.bits, p.subjectPublicKey.bitLength / 8),
            Pkcs1PublicDer(RsaKey(recipe.keyBits)));
  unsigned char *spki = nullptr;
  const int spkiLength = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(x509.get()), &spki);
  EXPECT_EQ(PduBytes(p.subjectPublicKeyInfoDer), Bytes(spki, spki + spkiLength));
  OPENSSL_free(spki);

  const std::vector<int32_t> rsa{1, 2, 840, 113549, 1, 1, 1};
  const std::vector<int32_t> sha256rsa{1, 2, 840, 113549, 1, 1, 11};
  EXPECT_EQ(std::vector<int32_t>(p.publicKeyAlgorithm.arcs, p.publicKeyAlgorithm.arcs + p.publicKeyAlgorithm.count),
            rsa);
  EXPECT_EQ(std::vector<int32_t>(p.signatureAlgorithm.arcs, p.signatureAlgorithm.arcs + p.signatureAlgorithm.count),
            sha256rsa);
  EXPECT_EQ(PduBytes(p.publicKeyParameters), (Bytes{0x05, 0x00}));
  EXPECT_EQ(PduBytes(p.signatureParameters), (Bytes{0x05, 0x00}));

  // tbsCertificate: the raw bytes OpenSSL signed.
  unsigned char *tbs = nullptr;
  const int tbsLength = i2d_re_X509_tbs(x509.get(), &tbs);
  EXPECT_EQ(PduBytes(p.tbsCertificateDer), Bytes(tbs, tbs + tbsLength));
  OPENSSL_free(tbs);

  // Extensions, each compared with OpenSSL's view of it.
  EXPECT_EQ(p.extensionCount, static_cast<uint32_t>(X509_get_ext_count(x509.get())));
  if (recipe.v1 || X509_get_ext_count(x509.get()) == 0) {
    EXPECT_EQ(p.extensions, nullptr);
    return;
  }
  ASSERT_NE(p.extensions, nullptr);
  struct Probe {
    const AsnObjid *id;
    int nid;
  } probes[] = {{&X509Objid_SubjectKeyId, NID_subject_key_identifier},
                {&X509Objid_AuthorityKeyId, NID_authority_key_identifier},
                {&X509Objid_BasicConstraints, NID_basic_constraints}};
  for (const Probe &probe : probes) {
    int critical = -1;
    const Bytes expected = ExtensionValue(x509.get(), probe.nid, &critical);
    X509Extension ext{};
    uint32_t err = 0;
    if (critical < 0) {
      EXPECT_EQ(X509ExtObjectGetExtByObjid(p.extensions, probe.id, &ext, &err), -1);
      EXPECT_EQ(err, ASN1X509_ERR_EXT_NOT_FOUND);
      continue;
    }
    ASSERT_EQ(X509ExtObjectGetExtByObjid(p.extensions, probe.id, &ext, &err), 0);
    EXPECT_EQ(PduBytes(ext.value), expected);
    EXPECT_EQ(ext.critical, critical);
    EXPECT_EQ(AsnCompareObjid(&ext.extnId, probe.id, &err), 0);
  }

  X509BasicConstraints bc{};
  uint32_t err = 0;
  BASIC_CONSTRAINTS *obc =
      static_cast<BASIC_CONSTRAINTS *>(X509_get_ext_d2i(x509.get(), NID_basic_constraints, nullptr, nullptr));
  if (obc == nullptr) {
    EXPECT_EQ(X509ExtObjectSgetBasicConstraints(p.extensions, &bc, &err), -1);
    EXPECT_EQ(err, ASN1X509_ERR_NO_BASIC_CONSTRAINTS);
    return;
  }
  ASSERT_EQ(X509ExtObjectSgetBasicConstraints(p.extensions, &bc, &err), 0);
  EXPECT_EQ(bc.cA, obc->ca ? 1 : 0);
  EXPECT_EQ(bc.cAPresent, obc->ca ? 1 : 0);  // DER leaves FALSE out
  EXPECT_EQ(bc.pathLenPresent, obc->pathlen != nullptr ? 1 : 0);
  if (obc->pathlen != nullptr) {
    EXPECT_EQ(bc.pathLen, ASN1_INTEGER_get(obc->pathlen));
  }
  BASIC_CONSTRAINTS_free(obc);
}

INSTANTIATE_TEST_SUITE_P(OpenSsl, CertDecode, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<CertCase> &param) { return param.param.label; });

TEST(CertObject, EndEntityWithoutBasicConstraintsReportsAbsence) {
  CertRecipe recipe;
  recipe.subjectKeyId = true;
  Cert cert;
  ASSERT_EQ(cert.Load(CertDer(MakeCert(recipe).get())), 0);
  X509CertParam p = cert.Param();
  ASSERT_NE(p.extensions, nullptr);
  X509BasicConstraints bc{};
  uint32_t err = 0;
  EXPECT_EQ(X509ExtObjectSgetBasicConstraints(p.extensions, &bc, &err), -1);
  EXPECT_EQ(err, 0x0146F204u);
}

TEST(CertObject, ReloadReplacesContentAndFailedLoadLeavesNothing) {
  CertRecipe a, b;
  a.serial = {0x11};
  b.serial = {0x22};
  Cert cert;
  ASSERT_EQ(cert.Load(CertDer(MakeCert(a).get())), 0);
  ASSERT_EQ(cert.Load(CertDer(MakeCert(b).get())), 0);
  X509CertParam p = cert.Param();
  EXPECT_EQ(ToBytes(p.serial.serialBytes, p.serial.serialLength), Bytes{0x22});

  EXPECT_EQ(cert.Load(Bytes{0x30, 0x00}), -1);
  EXPECT_EQ(cert.err(), ASN1X509_ERR_STRUCTURE);
  X509CertParam q{};
  uint32_t err = 0;
  EXPECT_EQ(X509CertObjectGetParamUCert(cert.handle(), &q, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_STATE);
}

TEST(CertObject, ReloadFromItsOwnDer) {
  const Bytes der = CertDer(MakeCert(CertRecipe{}).get());
  Cert cert;
  ASSERT_EQ(cert.Load(der), 0);
  Pdu own{};
  uint32_t err = 0;
  ASSERT_EQ(X509CertObjectGetPduDER(cert.handle(), &own, &err), 0);
  ASSERT_EQ(X509CertObjectSetPduBER(cert.handle(), &own, &err), 0);
  ASSERT_EQ(X509CertObjectGetPduDER(cert.handle(), &own, &err), 0);
  EXPECT_EQ(ToBytes(own.data, own.length), der);
}

TEST(CertObject, OwnedNamesRefuseTheirOwnDestroy) {
  Cert cert;
  ASSERT_EQ(cert.Load(CertDer(MakeCert(CertRecipe{}).get())), 0);
  X509CertParam p = cert.Param();
  uint32_t err = 0;
  EXPECT_EQ(X509NameObjectDestroy(p.subject, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_STATE);
}

// Every truncation of a real certificate is refused, and never read past.
TEST(CertObject, EveryTruncationIsRefused) {
  CertRecipe recipe;
  recipe.basicConstraints = "CA:TRUE";
  recipe.subjectKeyId = true;
  const Bytes der = CertDer(MakeCert(recipe).get());
  Cert cert;
  for (size_t n = 0; n < der.size(); ++n) {
    Bytes cut(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(cert.Load(cut), -1) << n;
  }
}

struct Mutation {
  const char *reason;
  size_t offset;  // from the start of the certificate
  uint8_t value;
  uint32_t expected;
};

// Single-byte changes at known places of the outer framing.
TEST(CertObject, RejectedMutations) {
  const Bytes der = CertDer(MakeCert(CertRecipe{}).get());
  // der[0] is the outer SEQUENCE; der[1] 0x82 + two length bytes.
  ASSERT_EQ(der[1], 0x82);
  const Mutation mutations[] = {
      {"outer tag is not SEQUENCE", 0, 0x31, ASN1X509_ERR_STRUCTURE},
      {"indefinite outer length", 1, 0x80, ASN1X509_ERR_DER},
      {"outer length beyond the input", 3, static_cast<uint8_t>(der[3] + 1), ASN1X509_ERR_DER},
      {"tbs tag is not SEQUENCE", 4, 0x04, ASN1X509_ERR_STRUCTURE},
  };
  for (const Mutation &m : mutations) {
    Bytes bad = der;
    bad[m.offset] = m.value;
    Cert cert;
    EXPECT_EQ(cert.Load(bad), -1) << m.reason;
    EXPECT_EQ(cert.err(), m.expected) << m.reason;
  }
  Bytes trailing = der;
  trailing.push_back(0x00);
  Cert cert;
  EXPECT_EQ(cert.Load(trailing), -1) << "trailing byte";
  EXPECT_EQ(cert.err(), ASN1X509_ERR_DER);
}

TEST(CertObject, ArgumentsAndState) {
  uint32_t err = 0;
  EXPECT_EQ(X509CertObjectCreate(nullptr, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_ARGUMENT);
  Cert cert;
  Pdu out{};
  err = 0;
  EXPECT_EQ(X509CertObjectGetPduDER(cert.handle(), &out, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_STATE);
  err = 0;
  EXPECT_EQ(X509CertObjectSetPduBER(cert.handle(), nullptr, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_ARGUMENT);
  // A handle of another kind is refused, not misread.
  X509NameHandle name = nullptr;
  ASSERT_EQ(X509NameObjectCreate(&name, &err), 0);
  err = 0;
  EXPECT_EQ(X509CertObjectGetPduDER(reinterpret_cast<X509CertHandle>(name), &out, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_ARGUMENT);
  EXPECT_EQ(X509NameObjectDestroy(name, &err), 0);
}

}  // namespace
}  // namespace asn1x509::testing
