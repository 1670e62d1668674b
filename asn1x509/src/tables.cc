#include "tables.h"

#include <algorithm>
#include <array>

namespace asn1x509 {

Status ExpectElementWithHeader(der::Input *in, uint8_t tag, der::Input *whole, der::Input *contents) {
  der::Element element;
  if (Status s = ExpectAnyElement(in, &element); !s.ok()) {
    return s;
  }
  if (element.tag != tag) {
    return Code::kStructure;
  }
  if (whole != nullptr) {
    *whole = element.whole;
  }
  if (contents != nullptr) {
    *contents = element.contents;
  }
  return Code::kOk;
}

Status ExpectElement(der::Input *in, uint8_t tag, der::Input *contents) {
  return ExpectElementWithHeader(in, tag, nullptr, contents);
}

Status ExpectAnyElement(der::Input *in, der::Element *element) {
  if (in->empty()) {
    return Code::kStructure;
  }
  if (!in->ReadAnyElement(element)) {
    return Code::kDer;
  }
  return Code::kOk;
}

namespace {

// id-at (2.5.4) attributes with a typed view; index = kind - 1.
struct KindEntry {
  int kind;
  std::array<int32_t, 4> arcs;
};
constexpr std::array<KindEntry, 14> kKinds{{
    {X509_AVA_COUNTRY, {2, 5, 4, 6}},
    {X509_AVA_ORGANIZATION, {2, 5, 4, 10}},
    {X509_AVA_ORG_UNIT, {2, 5, 4, 11}},
    {X509_AVA_COMMON_NAME, {2, 5, 4, 3}},
    {X509_AVA_LOCALITY, {2, 5, 4, 7}},
    {X509_AVA_STATE, {2, 5, 4, 8}},
    {X509_AVA_SERIAL_NUMBER, {2, 5, 4, 5}},
    {X509_AVA_SURNAME, {2, 5, 4, 4}},
    {X509_AVA_GIVEN_NAME, {2, 5, 4, 42}},
    {X509_AVA_INITIALS, {2, 5, 4, 43}},
    {X509_AVA_GENERATION, {2, 5, 4, 44}},
    {X509_AVA_STREET, {2, 5, 4, 9}},
    {X509_AVA_TITLE, {2, 5, 4, 12}},
    {X509_AVA_DN_QUALIFIER, {2, 5, 4, 46}},
}};

struct ChoiceEntry {
  int32_t choice;
  uint8_t tag;
};
constexpr std::array<ChoiceEntry, 6> kDirectoryString{{
    {DIRSTR_TELETEX, der::kTeletexString},
    {DIRSTR_PRINTABLE, der::kPrintableString},
    {DIRSTR_BMP, der::kBmpString},
    {DIRSTR_UNIVERSAL, der::kUniversalString},
    {DIRSTR_UTF8, der::kUtf8String},
    {DIRSTR_IA5, der::kIa5String},
}};

constexpr std::array<int32_t, 7> kRsaEncryption{1, 2, 840, 113549, 1, 1, 1};

}  // namespace

bool SameArcs(std::span<const int32_t> a, std::span<const int32_t> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

Result<int> KindOfAttributeType(std::span<const int32_t> arcs) {
  if (arcs.size() == 4 && arcs[0] == 2 && arcs[1] == 5 && arcs[2] == 4) {
    for (const KindEntry &entry : kKinds) {
      if (entry.arcs[3] == arcs[3]) {
        return entry.kind;
      }
    }
  }
  return Code::kUnsupported;
}

Result<std::span<const int32_t>> AttributeTypeOfKind(int kind) {
  for (const KindEntry &entry : kKinds) {
    if (entry.kind == kind) {
      return std::span<const int32_t>(entry.arcs);
    }
  }
  return Code::kArgument;
}

Result<uint8_t> DirectoryStringTag(int32_t choice) {
  for (const ChoiceEntry &entry : kDirectoryString) {
    if (entry.choice == choice) {
      return entry.tag;
    }
  }
  return Code::kChoice;
}

Result<int32_t> DirectoryStringChoice(uint8_t tag) {
  for (const ChoiceEntry &entry : kDirectoryString) {
    if (entry.tag == tag) {
      return entry.choice;
    }
  }
  return Code::kStructure;
}

std::span<const int32_t> RsaEncryptionArcs() { return kRsaEncryption; }

}  // namespace asn1x509
