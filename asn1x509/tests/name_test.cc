// Names: decoding OpenSSL-made names, typed views, building names and
// comparing the result with OpenSSL's encoding of the same name.
#include <gtest/gtest.h>

#include <string>

#include "asn1x509/asn1x509.h"
#include "openssl_helper.h"

namespace asn1x509::testing {
namespace {

class Name {
 public:
  Name() { EXPECT_EQ(X509NameObjectCreate(&handle_, &err_), 0); }
  ~Name() { EXPECT_EQ(X509NameObjectDestroy(handle_, &err_), 0); }
  Name(const Name &) = delete;
  Name &operator=(const Name &) = delete;
  int32_t Load(const Bytes &der) {
    Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
    return X509NameObjectSetPduBER(handle_, &pdu, &err_);
  }
  Bytes Der() {
    Pdu pdu{};
    EXPECT_EQ(X509NameObjectGetPduDER(handle_, &pdu, &err_), 0);
    return ToBytes(pdu.data, pdu.length);
  }
  uint32_t Rdns() {
    uint32_t n = 0;
    EXPECT_EQ(X509NameObjectCalRDN(handle_, &n, &err_), 0);
    return n;
  }
  uint32_t Avas(uint32_t rdn) {
    uint32_t n = 0;
    EXPECT_EQ(X509NameObjectCalAVA(handle_, rdn, &n, &err_), 0);
    return n;
  }
  X509NameHandle handle() const { return handle_; }
  uint32_t err() const { return err_; }

 private:
  X509NameHandle handle_ = nullptr;
  uint32_t err_ = 0;
};

Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

// Every DirectoryString type, one AVA each, the way OpenSSL encodes them.
struct StringCase {
  const char *label;
  int opensslType;
  uint8_t tag;
  int32_t choice;
  Bytes content;
};

const StringCase kStrings[] = {
    {"teletex", V_ASN1_T61STRING, 0x14, DIRSTR_TELETEX, Text("Teletex")},
    {"printable", V_ASN1_PRINTABLESTRING, 0x13, DIRSTR_PRINTABLE, Text("Printable 1")},
    // "日本" as UCS-2 big-endian.
    {"bmp_japanese", V_ASN1_BMPSTRING, 0x1E, DIRSTR_BMP, {0x65, 0xE5, 0x67, 0x2C}},
    // U+1F600 as UCS-4 big-endian.
    {"universal", V_ASN1_UNIVERSALSTRING, 0x1C, DIRSTR_UNIVERSAL, {0x00, 0x01, 0xF6, 0x00}},
    // "東京" in UTF-8.
    {"utf8", V_ASN1_UTF8STRING, 0x0C, DIRSTR_UTF8, {0xE6, 0x9D, 0xB1, 0xE4, 0xBA, 0xAC}},
    {"ia5", V_ASN1_IA5STRING, 0x16, DIRSTR_IA5, Text("a@b")},
    {"empty_utf8", V_ASN1_UTF8STRING, 0x0C, DIRSTR_UTF8, {}},
};

class NameStrings : public ::testing::TestWithParam<StringCase> {};

TEST_P(NameStrings, DecodeAndTypedView) {
  const StringCase &c = GetParam();
  NamePtr x = MakeName({{"CN", c.opensslType, c.content}});
  const Bytes der = NameDer(x.get());
  Name name;
  ASSERT_EQ(name.Load(der), 0) << std::hex << name.err();
  EXPECT_EQ(name.Der(), der);
  ASSERT_EQ(name.Rdns(), 1u);
  ASSERT_EQ(name.Avas(0), 1u);

  X509AVA ava{};
  uint32_t err = 0;
  ASSERT_EQ(X509NameObjectGetAVA(name.handle(), 0, 0, &ava, &err), 0);
  Bytes expectedValue{c.tag, static_cast<uint8_t>(c.content.size())};
  expectedValue.insert(expectedValue.end(), c.content.begin(), c.content.end());
  EXPECT_EQ(ToBytes(ava.value, ava.valueLength), expectedValue);
  const int32_t cn[] = {2, 5, 4, 3};
  AsnObjid commonName{cn, 4};
  EXPECT_EQ(AsnCompareObjid(&commonName, &ava.type, &err), 0);

  const X509AVA *pointer = nullptr;
  ASSERT_EQ(X509NameObjectGetAVAp(name.handle(), 0, 0, &pointer, &err), 0);
  EXPECT_EQ(pointer->value, ava.value);

  X509TypedAVA typed{};
  ASSERT_EQ(X509NameObjectSgetAVA(name.handle(), 0, 0, &typed, &err), 0);
  EXPECT_EQ(typed.kind, X509_AVA_COMMON_NAME);
  EXPECT_EQ(typed.directoryString.choice, c.choice);
  EXPECT_EQ(ToBytes(typed.directoryString.data, typed.directoryString.length), c.content);
}

// The setters build every DirectoryString alternative as OpenSSL does;
// ia5String is not one of them.
TEST(NameBuild, CommonNameOfEachChoiceEqualsOpenSsl) {
  for (const StringCase &c : kStrings) {
    Name name;
    DirectoryStringValue value{c.choice, c.content.data(), static_cast<uint32_t>(c.content.size())};
    uint32_t err = 0;
    if (c.choice == DIRSTR_IA5) {
      EXPECT_EQ(X509NameObjectSsetCommonName(name.handle(), &value, &err), -1) << c.label;
      EXPECT_EQ(err, ASN1X509_ERR_CHOICE) << c.label;
      continue;
    }
    ASSERT_EQ(X509NameObjectSsetCommonName(name.handle(), &value, &err), 0) << c.label;
    EXPECT_EQ(name.Der(), NameDer(MakeName({{"CN", c.opensslType, c.content}}).get())) << c.label;
  }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, NameStrings, ::testing::ValuesIn(kStrings),
                         [](const ::testing::TestParamInfo<StringCase> &param) { return param.param.label; });

TEST(NameObject, MultiValuedRdnsDecodeInStoredOrder) {
  NamePtr x = MakeName({{"C", V_ASN1_PRINTABLESTRING, Text("JP")},
                        {"O", V_ASN1_UTF8STRING, Text("Org")},
                        {"OU", V_ASN1_UTF8STRING, Text("Unit A"), true},
                        {"CN", V_ASN1_UTF8STRING, Text("Taro")}});
  const Bytes der = NameDer(x.get());
  Name name;
  ASSERT_EQ(name.Load(der), 0);
  EXPECT_EQ(name.Der(), der);
  ASSERT_EQ(name.Rdns(), 3u);
  EXPECT_EQ(name.Avas(0), 1u);
  EXPECT_EQ(name.Avas(1), 2u);
  EXPECT_EQ(name.Avas(2), 1u);
  // Each AVA value equals OpenSSL's entry, in OpenSSL's order.
  int entry = 0;
  for (uint32_t r = 0; r < 3; ++r) {
    for (uint32_t a = 0; a < name.Avas(r); ++a, ++entry) {
      X509AVA ava{};
      uint32_t err = 0;
      ASSERT_EQ(X509NameObjectGetAVA(name.handle(), r, a, &ava, &err), 0);
      X509_NAME_ENTRY *e = X509_NAME_get_entry(x.get(), entry);
      const ASN1_STRING *data = X509_NAME_ENTRY_get_data(e);
      EXPECT_EQ(ToBytes(ava.value + 2, ava.valueLength - 2),
                ToBytes(data->data, static_cast<size_t>(data->length)));
    }
  }
}

TEST(NameObject, TypedKindsOfEveryAttribute) {
  struct KindCase {
    const char *type;
    int kind;
  } kinds[] = {{"C", X509_AVA_COUNTRY},          {"O", X509_AVA_ORGANIZATION}, {"OU", X509_AVA_ORG_UNIT},
               {"CN", X509_AVA_COMMON_NAME},     {"L", X509_AVA_LOCALITY},     {"ST", X509_AVA_STATE},
               {"serialNumber", X509_AVA_SERIAL_NUMBER}, {"SN", X509_AVA_SURNAME},
               {"GN", X509_AVA_GIVEN_NAME},      {"initials", X509_AVA_INITIALS},
               {"generationQualifier", X509_AVA_GENERATION}, {"street", X509_AVA_STREET},
               {"title", X509_AVA_TITLE},        {"dnQualifier", X509_AVA_DN_QUALIFIER}};
  for (const KindCase &k : kinds) {
    NamePtr x = MakeName({{k.type, V_ASN1_PRINTABLESTRING, Text("AB")}});
    Name name;
    ASSERT_EQ(name.Load(NameDer(x.get())), 0) << k.type;
    X509TypedAVA typed{};
    uint32_t err = 0;
    ASSERT_EQ(X509NameObjectSgetAVA(name.handle(), 0, 0, &typed, &err), 0) << k.type;
    EXPECT_EQ(typed.kind, k.kind) << k.type;
    if (k.kind == X509_AVA_COUNTRY) {
      EXPECT_EQ(ToBytes(typed.country.data, typed.country.length), Text("AB"));
    } else {
      EXPECT_EQ(typed.directoryString.choice, DIRSTR_PRINTABLE) << k.type;
      EXPECT_EQ(ToBytes(typed.directoryString.data, typed.directoryString.length), Text("AB"));
    }
  }
}

TEST(NameObject, TypedViewRejections) {
  struct Rejection {
    const char *reason;
    Bytes der;
    uint32_t expected;
  } rejections[] = {
      {"emailAddress has no typed kind",
       NameDer(MakeName({{"emailAddress", V_ASN1_IA5STRING, Text("a@b")}}).get()), ASN1X509_ERR_UNSUPPORTED},
      {"country cannot be a BMPString", NameDer(MakeName({{"C", V_ASN1_BMPSTRING, Bytes{0, 'J', 0, 'P'}}}).get()),
       ASN1X509_ERR_STRUCTURE},
      {"commonName as OCTET STRING is no DirectoryString",
       {0x30, 0x0C, 0x31, 0x0A, 0x30, 0x08, 0x06, 0x03, 0x55, 0x04, 0x03, 0x04, 0x01, 'x'}, ASN1X509_ERR_STRUCTURE},
  };
  for (const Rejection &r : rejections) {
    Name name;
    ASSERT_EQ(name.Load(r.der), 0) << r.reason;
    X509TypedAVA typed{};
    uint32_t err = 0;
    EXPECT_EQ(X509NameObjectSgetAVA(name.handle(), 0, 0, &typed, &err), -1) << r.reason;
    EXPECT_EQ(err, r.expected) << r.reason;
  }
}

TEST(NameObject, CountryWrittenAsUtf8OrIa5StringReadsAsItsBytes) {
  for (int type : {V_ASN1_UTF8STRING, V_ASN1_IA5STRING}) {
    Name name;
    ASSERT_EQ(name.Load(NameDer(MakeName({{"C", type, Text("JP")}}).get())), 0);
    X509TypedAVA typed{};
    uint32_t err = 0;
    ASSERT_EQ(X509NameObjectSgetAVA(name.handle(), 0, 0, &typed, &err), 0) << type;
    EXPECT_EQ(typed.kind, X509_AVA_COUNTRY);
    EXPECT_EQ(ToBytes(typed.country.data, typed.country.length), Text("JP"));
  }
}

TEST(NameObject, BuiltNameEqualsOpenSslEncoding) {
  NamePtr x = MakeName({{"C", V_ASN1_PRINTABLESTRING, Text("JP")},
                        {"ST", V_ASN1_PRINTABLESTRING, Text("Tokyo")},
                        {"L", V_ASN1_UTF8STRING, Text("Chiyoda")},
                        {"O", V_ASN1_PRINTABLESTRING, Text("Org")},
                        {"OU", V_ASN1_BMPSTRING, {0x00, 0x55}},
                        {"CN", V_ASN1_UTF8STRING, Text("Taro")}});
  Name name;
  uint32_t err = 0;
  const Bytes jp = Text("JP"), tokyo = Text("Tokyo"), chiyoda = Text("Chiyoda"), org = Text("Org"),
              unit{0x00, 0x55}, taro = Text("Taro");
  X509CountryValue country{jp.data(), 2};
  DirectoryStringValue st{DIRSTR_PRINTABLE, tokyo.data(), 5};
  DirectoryStringValue l{DIRSTR_UTF8, chiyoda.data(), 7};
  DirectoryStringValue o{DIRSTR_PRINTABLE, org.data(), 3};
  DirectoryStringValue ou{DIRSTR_BMP, unit.data(), 2};
  DirectoryStringValue cn{DIRSTR_UTF8, taro.data(), 4};
  ASSERT_EQ(X509NameObjectSsetCountryName(name.handle(), &country, &err), 0);
  ASSERT_EQ(X509NameObjectSsetStateProvinceName(name.handle(), &st, &err), 0);
  ASSERT_EQ(X509NameObjectSsetLocalityName(name.handle(), &l, &err), 0);
  ASSERT_EQ(X509NameObjectSsetOrgName(name.handle(), &o, &err), 0);
  ASSERT_EQ(X509NameObjectSsetOUName(name.handle(), &ou, &err), 0);
  ASSERT_EQ(X509NameObjectSsetCommonName(name.handle(), &cn, &err), 0);
  EXPECT_EQ(name.Der(), NameDer(x.get()));
}

TEST(NameObject, AddRdnSetAvaAndMultiValuedBuild) {
  // Built in the order DER sorts the SET OF, so OpenSSL encodes the same.
  NamePtr x = MakeName({{"CN", V_ASN1_UTF8STRING, Text("a")},
                        {"CN", V_ASN1_UTF8STRING, Text("bb"), true},
                        {"emailAddress", V_ASN1_IA5STRING, Text("x@y")}});
  Name name;
  uint32_t err = 0;
  const int32_t cn[] = {2, 5, 4, 3};
  const int32_t email[] = {1, 2, 840, 113549, 1, 9, 1};
  const Bytes a{0x0C, 0x01, 'a'}, bb{0x0C, 0x02, 'b', 'b'}, mail{0x16, 0x03, 'x', '@', 'y'};
  X509AVA first{{cn, 4}, a.data(), 3};
  X509AVA second{{cn, 4}, bb.data(), 4};
  X509AVA third{{email, 7}, mail.data(), 5};
  EXPECT_EQ(X509NameObjectSetAVA(name.handle(), &first, &err), -1) << "no RDN yet";
  EXPECT_EQ(err, ASN1X509_ERR_STATE);
  ASSERT_EQ(X509NameObjectAddRDN(name.handle(), &err), 0);
  ASSERT_EQ(X509NameObjectSetAVA(name.handle(), &first, &err), 0);
  const X509AVA *held = nullptr;
  ASSERT_EQ(X509NameObjectGetAVAp(name.handle(), 0, 0, &held, &err), 0);
  ASSERT_EQ(X509NameObjectSetAVA(name.handle(), &second, &err), 0);
  ASSERT_EQ(X509NameObjectAddRDNSetAVA(name.handle(), &third, &err), 0);
  EXPECT_EQ(name.Der(), NameDer(x.get()));
  // A record handed out earlier still points at its copy.
  EXPECT_EQ(ToBytes(held->value, held->valueLength), a);
  EXPECT_NE(held->value, a.data());
}

TEST(NameObject, EmptyNamesAndEmptyRdns) {
  Name fresh;
  EXPECT_EQ(fresh.Der(), (Bytes{0x30, 0x00}));
  EXPECT_EQ(fresh.Rdns(), 0u);

  Name decoded;
  ASSERT_EQ(decoded.Load(Bytes{0x30, 0x00}), 0);
  EXPECT_EQ(decoded.Rdns(), 0u);
  EXPECT_EQ(decoded.Der(), (Bytes{0x30, 0x00}));

  const Bytes withEmptyRdn{0x30, 0x02, 0x31, 0x00};
  Name empty;
  ASSERT_EQ(empty.Load(withEmptyRdn), 0);
  EXPECT_EQ(empty.Rdns(), 1u);
  EXPECT_EQ(empty.Avas(0), 0u);
  EXPECT_EQ(empty.Der(), withEmptyRdn);

  Name built;
  uint32_t err = 0;
  ASSERT_EQ(X509NameObjectAddRDN(built.handle(), &err), 0);
  EXPECT_EQ(built.Der(), withEmptyRdn);
}

TEST(NameObject, ModifiedDecodedNameIsReencodedAndOldPduStays) {
  NamePtr x = MakeName({{"C", V_ASN1_PRINTABLESTRING, Text("JP")}});
  const Bytes der = NameDer(x.get());
  Name name;
  ASSERT_EQ(name.Load(der), 0);
  Pdu before{};
  uint32_t err = 0;
  ASSERT_EQ(X509NameObjectGetPduDER(name.handle(), &before, &err), 0);
  const Bytes cnValue = Text("Taro");
  DirectoryStringValue cn{DIRSTR_UTF8, cnValue.data(), 4};
  ASSERT_EQ(X509NameObjectSsetCommonName(name.handle(), &cn, &err), 0);
  NamePtr both = MakeName({{"C", V_ASN1_PRINTABLESTRING, Text("JP")}, {"CN", V_ASN1_UTF8STRING, cnValue}});
  EXPECT_EQ(name.Der(), NameDer(both.get()));
  EXPECT_EQ(ToBytes(before.data, before.length), der);
}

TEST(NameObject, ReloadFromItsOwnDer) {
  const Bytes der = NameDer(MakeName({{"CN", V_ASN1_UTF8STRING, Text("Self")}}).get());
  Name name;
  ASSERT_EQ(name.Load(der), 0);
  Pdu own{};
  uint32_t err = 0;
  ASSERT_EQ(X509NameObjectGetPduDER(name.handle(), &own, &err), 0);
  ASSERT_EQ(X509NameObjectSetPduBER(name.handle(), &own, &err), 0);
  EXPECT_EQ(name.Der(), der);
}

TEST(NameObject, LongValuesUseLongFormLengths) {
  const Bytes longValue(300, 'x');
  NamePtr x = MakeName({{"CN", V_ASN1_UTF8STRING, longValue}});
  Name name;
  uint32_t err = 0;
  DirectoryStringValue cn{DIRSTR_UTF8, longValue.data(), 300};
  ASSERT_EQ(X509NameObjectSsetCommonName(name.handle(), &cn, &err), 0);
  const Bytes der = name.Der();
  EXPECT_EQ(der, NameDer(x.get()));
  Name again;
  ASSERT_EQ(again.Load(der), 0);
  EXPECT_EQ(again.Der(), der);
}

struct RejectedName {
  const char *reason;
  Bytes der;
  uint32_t expected;
};

const RejectedName kRejectedNames[] = {
    {"empty input", {}, ASN1X509_ERR_STRUCTURE},
    {"not a SEQUENCE", {0x31, 0x00}, ASN1X509_ERR_STRUCTURE},
    {"RDN is a SEQUENCE, not a SET", {0x30, 0x02, 0x30, 0x00}, ASN1X509_ERR_STRUCTURE},
    {"AVA without a value", {0x30, 0x09, 0x31, 0x07, 0x30, 0x05, 0x06, 0x03, 0x55, 0x04, 0x03},
     ASN1X509_ERR_STRUCTURE},
    {"AVA type is not an OID",
     {0x30, 0x0B, 0x31, 0x09, 0x30, 0x07, 0x04, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x00}, ASN1X509_ERR_STRUCTURE},
    {"AVA with an extra element",
     {0x30, 0x0D, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x00, 0x0C, 0x00},
     ASN1X509_ERR_STRUCTURE},
    {"OID subidentifier with a redundant 0x80",
     {0x30, 0x0C, 0x31, 0x0A, 0x30, 0x08, 0x06, 0x04, 0x55, 0x80, 0x04, 0x03, 0x0C, 0x00}, ASN1X509_ERR_DER},
    {"value length beyond the AVA",
     {0x30, 0x0B, 0x31, 0x09, 0x30, 0x07, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x05}, ASN1X509_ERR_DER},
    {"trailing byte after the name", {0x30, 0x00, 0x00}, ASN1X509_ERR_DER},
    {"indefinite length", {0x30, 0x80, 0x00, 0x00}, ASN1X509_ERR_DER},
    {"constructed UTF8String",
     {0x30, 0x0B, 0x31, 0x09, 0x30, 0x07, 0x06, 0x03, 0x55, 0x04, 0x03, 0x2C, 0x00}, ASN1X509_ERR_DER},
};

class NameRejects : public ::testing::TestWithParam<RejectedName> {};

TEST_P(NameRejects, RefusedWithCode) {
  const RejectedName &r = GetParam();
  Name name;
  EXPECT_EQ(name.Load(r.der), -1) << r.reason;
  EXPECT_EQ(name.err(), r.expected) << r.reason;
  EXPECT_EQ(name.Rdns(), 0u) << "a failed load leaves an empty name";
}

INSTANTIATE_TEST_SUITE_P(Table, NameRejects, ::testing::ValuesIn(kRejectedNames));

TEST(NameObject, IndexAndArgumentErrors) {
  Name name;
  ASSERT_EQ(name.Load(Bytes{0x30, 0x02, 0x31, 0x00}), 0);
  uint32_t err = 0, count = 0;
  X509AVA ava{};
  EXPECT_EQ(X509NameObjectCalAVA(name.handle(), 1, &count, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_INDEX);
  err = 0;
  EXPECT_EQ(X509NameObjectGetAVA(name.handle(), 0, 0, &ava, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_INDEX);
  err = 0;
  EXPECT_EQ(X509NameObjectCalRDN(nullptr, &count, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_ARGUMENT);
  // Errors are never written through a null pointer.
  EXPECT_EQ(X509NameObjectCalRDN(nullptr, &count, nullptr), -1);

  const int32_t badArcs[] = {3, 1};
  const Bytes value{0x0C, 0x00};
  X509AVA badType{{badArcs, 2}, value.data(), 2};
  ASSERT_EQ(X509NameObjectAddRDN(name.handle(), &err), 0);
  err = 0;
  EXPECT_EQ(X509NameObjectSetAVA(name.handle(), &badType, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_STRUCTURE);
  const int32_t cn[] = {2, 5, 4, 3};
  const Bytes twoValues{0x0C, 0x00, 0x0C, 0x00};
  X509AVA notOneTlv{{cn, 4}, twoValues.data(), 4};
  err = 0;
  EXPECT_EQ(X509NameObjectSetAVA(name.handle(), &notOneTlv, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_DER);
  DirectoryStringValue badChoice{9, value.data(), 0};
  err = 0;
  EXPECT_EQ(X509NameObjectSsetCommonName(name.handle(), &badChoice, &err), -1);
  EXPECT_EQ(err, ASN1X509_ERR_CHOICE);
}

}  // namespace
}  // namespace asn1x509::testing
