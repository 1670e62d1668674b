// Certificate shapes OpenSSL does not write on request (explicit v1,
// explicit non-critical flags, unique identifiers, duplicate or misplaced
// extensions), assembled around an OpenSSL-made name and key.
#include <gtest/gtest.h>

#include <optional>

#include "asn1x509/asn1x509.h"
#include "der.h"
#include "openssl_helper.h"

namespace asn1x509::testing {
namespace {

namespace der = asn1x509::der;

Bytes Element(uint8_t tag, const Bytes &contents) {
  Bytes out;
  der::Output(&out).AddElement(tag, contents);
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &part : parts) {
    for (uint8_t b : part) {
      out.push_back(b);
    }
  }
  return out;
}

Bytes Extension(const Bytes &oidContents, std::optional<uint8_t> critical, const Bytes &value) {
  Bytes body = Element(der::kObjectIdentifier, oidContents);
  if (critical) {
    body = Cat({body, Element(der::kBoolean, {*critical})});
  }
  return Element(der::kSequence, Cat({body, Element(der::kOctetString, value)}));
}

const Bytes kBasicConstraintsOid{0x55, 0x1D, 0x13};
const Bytes kSubjectKeyIdOid{0x55, 0x1D, 0x0E};
const Bytes kUnknownOid{0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x15, 0x07};  // 1.3.6.1.4.1.311.21.7

struct Shape {
  std::optional<Bytes> version;  // [0] contents (an INTEGER element)
  Bytes serial{0x02, 0x01, 0x01};
  std::vector<Bytes> extensions;
  bool extensionsPresent = false;
  Bytes uniqueIds;  // raw [1]/[2] elements
  Bytes timeBefore = Element(der::kUtcTime, {'2', '4', '0', '1', '0', '1', '0', '0', '0', '0', '0', '0', 'Z'});
};

Bytes Build(const Shape &s) {
  static const Bytes name = NameDer(MakeName({{"CN", V_ASN1_UTF8STRING, {'x'}}}).get());
  static const Bytes spki = [] {
    X509Ptr cert = MakeCert(CertRecipe{});
    unsigned char *out = nullptr;
    const int n = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert.get()), &out);
    Bytes b(out, out + n);
    OPENSSL_free(out);
    return b;
  }();
  const Bytes algorithm = Element(der::kSequence, Cat({Element(der::kObjectIdentifier,
                                                               {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}),
                                                       Element(der::kNull, {})}));
  const Bytes validity = Element(
      der::kSequence,
      Cat({s.timeBefore,
           Element(der::kGeneralizedTime, {'2', '0', '5', '0', '0', '1', '0', '1', '0', '0', '0', '0', '0', '0', 'Z'})}));
  Bytes tbs;
  if (s.version) {
    tbs = Element(der::ContextConstructed(0), *s.version);
  }
  tbs = Cat({tbs, s.serial, algorithm, name, validity, name, spki, s.uniqueIds});
  if (s.extensionsPresent) {
    Bytes list;
    for (const Bytes &e : s.extensions) {
      list = Cat({list, e});
    }
    tbs = Cat({tbs, Element(der::ContextConstructed(3), Element(der::kSequence, list))});
  }
  return Element(der::kSequence, Cat({Element(der::kSequence, tbs), algorithm, Element(der::kBitString, {0x00, 0xAB})}));
}

const Bytes kV3 = Element(der::kInteger, {0x02});

int32_t Load(X509CertHandle cert, const Bytes &der, uint32_t *err) {
  Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  return X509CertObjectSetPduBER(cert, &pdu, err);
}

class Shapes : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(X509CertObjectCreate(&cert_, &err_), 0); }
  void TearDown() override { EXPECT_EQ(X509CertObjectDestroy(cert_, &err_), 0); }
  X509CertParam Param() {
    X509CertParam p{};
    EXPECT_EQ(X509CertObjectGetParamUCert(cert_, &p, &err_), 0);
    return p;
  }
  X509CertHandle cert_ = nullptr;
  uint32_t err_ = 0;
};

TEST_F(Shapes, ExplicitV1IsReadAsV1) {
  Shape s;
  s.version = Element(der::kInteger, {0x00});
  ASSERT_EQ(Load(cert_, Build(s), &err_), 0) << std::hex << err_;
  EXPECT_EQ(Param().version, 0);
}

TEST_F(Shapes, ExplicitNonCriticalAndUnknownExtensionsAreKept) {
  Shape s;
  s.version = kV3;
  s.extensionsPresent = true;
  s.extensions = {Extension(kUnknownOid, std::nullopt, {0x30, 0x03, 0x02, 0x01, 0x07}),
                  Extension(kBasicConstraintsOid, 0x00, {0x30, 0x00}),
                  Extension(kSubjectKeyIdOid, 0xFF, {0x04, 0x01, 0x55})};
  ASSERT_EQ(Load(cert_, Build(s), &err_), 0) << std::hex << err_;
  X509CertParam p = Param();
  EXPECT_EQ(p.extensionCount, 3u);
  X509Extension ext{};
  ASSERT_EQ(X509ExtObjectGetExtByObjid(p.extensions, &X509Objid_SubjectKeyId, &ext, &err_), 0);
  EXPECT_EQ(ext.critical, 1);
  EXPECT_EQ(ToBytes(ext.value.data, ext.value.length), (Bytes{0x04, 0x01, 0x55}));
  ASSERT_EQ(X509ExtObjectGetExtByObjid(p.extensions, &X509Objid_BasicConstraints, &ext, &err_), 0);
  EXPECT_EQ(ext.critical, 0);
  const int32_t unknown[] = {1, 3, 6, 1, 4, 1, 311, 21, 7};
  AsnObjid unknownId{unknown, 9};
  ASSERT_EQ(X509ExtObjectGetExtByObjid(p.extensions, &unknownId, &ext, &err_), 0);
  EXPECT_EQ(ToBytes(ext.value.data, ext.value.length), (Bytes{0x30, 0x03, 0x02, 0x01, 0x07}));
  X509BasicConstraints bc{};
  ASSERT_EQ(X509ExtObjectSgetBasicConstraints(p.extensions, &bc, &err_), 0);
  EXPECT_EQ(bc.cAPresent, 0);
  EXPECT_EQ(bc.cA, 0);
  EXPECT_EQ(bc.pathLenPresent, 0);
}

TEST_F(Shapes, UniqueIdentifiersInV2) {
  Shape s;
  s.version = Element(der::kInteger, {0x01});
  s.uniqueIds = Cat({Element(der::ContextPrimitive(1), {0x04, 0xF0}), Element(der::ContextPrimitive(2), {0x00, 0x0F})});
  ASSERT_EQ(Load(cert_, Build(s), &err_), 0) << std::hex << err_;
  X509CertParam p = Param();
  EXPECT_EQ(p.version, 1);
  EXPECT_EQ(p.issuerUniqueId.bitLength, 4u);
  EXPECT_EQ(p.subjectUniqueId.bitLength, 8u);
  EXPECT_EQ(p.extensions, nullptr);
}

TEST_F(Shapes, BasicConstraintsValues) {
  struct Case {
    const char *what;
    Bytes value;
    int32_t status;
    X509BasicConstraints expected;
    uint32_t code;
  } cases[] = {
      {"cA TRUE with pathLen 0", {0x30, 0x06, 0x01, 0x01, 0xFF, 0x02, 0x01, 0x00}, 0, {1, 1, 1, 0}, 0},
      {"pathLen only", {0x30, 0x03, 0x02, 0x01, 0x05}, 0, {0, 0, 1, 5}, 0},
      {"negative pathLen", {0x30, 0x03, 0x02, 0x01, 0xFF}, -1, {}, ASN1X509_ERR_STRUCTURE},
      {"BOOLEAN 0x01 is not DER", {0x30, 0x03, 0x01, 0x01, 0x01}, -1, {}, ASN1X509_ERR_DER},
      {"not a SEQUENCE", {0x04, 0x00}, -1, {}, ASN1X509_ERR_STRUCTURE},
      {"trailing element", {0x30, 0x05, 0x02, 0x01, 0x05, 0x05, 0x00}, -1, {}, ASN1X509_ERR_STRUCTURE},
  };
  for (const Case &c : cases) {
    Shape s;
    s.version = kV3;
    s.extensionsPresent = true;
    s.extensions = {Extension(kBasicConstraintsOid, 0xFF, c.value)};
    ASSERT_EQ(Load(cert_, Build(s), &err_), 0) << c.what;
    X509BasicConstraints bc{};
    uint32_t err = 0;
    EXPECT_EQ(X509ExtObjectSgetBasicConstraints(Param().extensions, &bc, &err), c.status) << c.what;
    if (c.status == 0) {
      EXPECT_EQ(bc.cAPresent, c.expected.cAPresent) << c.what;
      EXPECT_EQ(bc.cA, c.expected.cA) << c.what;
      EXPECT_EQ(bc.pathLenPresent, c.expected.pathLenPresent) << c.what;
      EXPECT_EQ(bc.pathLen, c.expected.pathLen) << c.what;
    } else {
      EXPECT_EQ(err, c.code) << c.what;
    }
  }
}

TEST_F(Shapes, EmptyExtensionListHasHandleButNoEntries) {
  Shape s;
  s.version = kV3;
  s.extensionsPresent = true;
  ASSERT_EQ(Load(cert_, Build(s), &err_), 0);
  X509CertParam p = Param();
  ASSERT_NE(p.extensions, nullptr);
  EXPECT_EQ(p.extensionCount, 0u);
  X509BasicConstraints bc{};
  EXPECT_EQ(X509ExtObjectSgetBasicConstraints(p.extensions, &bc, &err_), -1);
  EXPECT_EQ(err_, ASN1X509_ERR_NO_BASIC_CONSTRAINTS);
}

struct Refused {
  const char *reason;
  Shape shape;
  uint32_t expected;
};

std::vector<Refused> RefusedShapes() {
  std::vector<Refused> out;
  {
    Shape s;
    s.version = kV3;
    s.extensionsPresent = true;
    s.extensions = {Extension(kSubjectKeyIdOid, std::nullopt, {0x04, 0x00}),
                    Extension(kSubjectKeyIdOid, std::nullopt, {0x04, 0x00})};
    out.push_back({"the same extension twice", s, ASN1X509_ERR_STRUCTURE});
  }
  {
    Shape s;
    s.extensionsPresent = true;
    s.extensions = {Extension(kSubjectKeyIdOid, std::nullopt, {0x04, 0x00})};
    out.push_back({"extensions in a v1 certificate", s, ASN1X509_ERR_STRUCTURE});
  }
  {
    Shape s;
    s.uniqueIds = Element(der::ContextPrimitive(1), {0x00});
    out.push_back({"unique identifier in a v1 certificate", s, ASN1X509_ERR_STRUCTURE});
  }
  {
    Shape s;
    s.version = Element(der::kInteger, {0x03});
    out.push_back({"version 4", s, ASN1X509_ERR_UNSUPPORTED});
  }
  {
    Shape s;
    s.serial = {0x02, 0x00};
    out.push_back({"empty serial", s, ASN1X509_ERR_DER});
  }
  {
    Shape s;
    s.serial = {0x02, 0x02, 0x00, 0x01};
    out.push_back({"serial with a redundant zero octet", s, ASN1X509_ERR_DER});
  }
  {
    Shape s;
    s.timeBefore = Element(der::kUtcTime, {'2', '4', '0', '1', '0', '1', '0', '0', '0', '0', 'Z'});
    out.push_back({"UTCTime without seconds", s, ASN1X509_ERR_DER});
  }
  {
    Shape s;
    s.timeBefore = Element(der::kOctetString, {0x00});
    out.push_back({"time of another type", s, ASN1X509_ERR_STRUCTURE});
  }
  {
    Shape s;
    s.version = kV3;
    s.extensionsPresent = true;
    s.extensions = {Extension(kSubjectKeyIdOid, 0x01, {0x04, 0x00})};
    out.push_back({"critical flag 0x01", s, ASN1X509_ERR_DER});
  }
  return out;
}

TEST_F(Shapes, Refused) {
  for (const Refused &r : RefusedShapes()) {
    uint32_t err = 0;
    EXPECT_EQ(Load(cert_, Build(r.shape), &err), -1) << r.reason;
    EXPECT_EQ(err, r.expected) << r.reason;
  }
}

}  // namespace
}  // namespace asn1x509::testing
