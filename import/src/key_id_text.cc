#include "key_id_text.h"

#include <cctype>
#include <vector>

#include "der.h"

namespace velkor {

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\r' || c == '\n'; }

std::vector<std::string> Pieces(const std::string &text) {
  std::vector<std::string> pieces;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSeparator(text[i])) ++i;
    size_t start = i;
    while (i < text.size() && !IsSeparator(text[i])) ++i;
    if (i > start) pieces.push_back(text.substr(start, i - start));
  }
  return pieces;
}

bool EqualIgnoringCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::span<const unsigned char>> DecodeAuthorityKeyId(std::span<const unsigned char> der) {
  asn1x509::der::Input in(der);
  asn1x509::der::Input fields;
  if (!in.ReadElement(asn1x509::der::kSequence, &fields) || !in.empty()) return std::nullopt;
  // keyIdentifier [0], authorityCertIssuer [1], authorityCertSerialNumber
  // [2], each optional, in this order.
  std::optional<std::span<const unsigned char>> keyId;
  int lastField = -1;
  while (!fields.empty()) {
    asn1x509::der::Element field;
    if (!fields.ReadAnyElement(&field)) return std::nullopt;
    int number;
    switch (field.tag) {
      case asn1x509::der::ContextPrimitive(0): number = 0; break;
      case asn1x509::der::ContextConstructed(1): number = 1; break;
      case asn1x509::der::ContextPrimitive(2): number = 2; break;
      default: return std::nullopt;
    }
    if (number <= lastField) return std::nullopt;
    lastField = number;
    if (number == 0) keyId = field.contents.span();
  }
  if (!keyId || keyId->empty()) return std::nullopt;
  return keyId;
}

std::optional<std::span<const unsigned char>> DecodeSubjectKeyId(std::span<const unsigned char> der) {
  // An OCTET STRING (short-form length, so fewer than 128 bytes) and
  // nothing after it.
  asn1x509::der::Input in(der);
  asn1x509::der::Input id;
  if (!in.ReadElement(asn1x509::der::kOctetString, &id) || !in.empty() || id.empty() || id.size() >= 0x80) {
    return std::nullopt;
  }
  return id.span();
}

std::string RenderKeyIdHex(std::span<const unsigned char> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    size_t column = i % 16;
    if (column == 8) {
      text += "  ";
    } else if (column != 0) {
      text += ' ';
    }
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
    if (column == 15 || i + 1 == bytes.size()) text += "\r\n";
  }
  return text;
}

int CompareKeyIdText(const std::string &a, const std::string &b) {
  std::vector<std::string> pa = Pieces(a);
  std::vector<std::string> pb = Pieces(b);
  if (pa.empty() || pb.empty() || pa.size() != pb.size()) return 1;
  for (size_t i = 0; i < pa.size(); ++i) {
    if (!EqualIgnoringCase(pa[i], pb[i])) return 1;
  }
  return 0;
}

}  // namespace velkor
