#include "key_id_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <vector>

#include "decisions.h"
#include "der.h"
#include "platform/file.h"

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

// Opens the trust anchor file for reading in text mode, only when it is a
// regular file of at most kAnchorFileSizeLimit bytes.  The open itself
// never blocks (a FIFO without a writer would block forever).
platform::File OpenAnchorFile(const std::string &path) {
  struct stat st {};
  platform::FileDescriptor fd = platform::OpenRegularFile(path.c_str(), O_RDONLY, &st);
  if (!fd || st.st_size < 0 || static_cast<uint64_t>(st.st_size) > kAnchorFileSizeLimit) return platform::File();
  std::FILE *stream = fdopen(fd.get(), "r");
  if (stream != nullptr) fd.Release();
  return platform::File(stream);
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

decide::Anchor LookUpTrustAnchor(const std::string &path, const std::string &text) {
  if (path.empty()) return decide::Anchor::kNoFile;
  platform::File file = OpenAnchorFile(path);
  if (!file) return decide::Anchor::kNoFile;
  // Read in pieces as large as the file is: a file that grew beyond the
  // limit while it was read is no list either.
  std::string contents;
  std::array<char, 4096> piece{};
  size_t got = 0;
  while ((got = std::fread(piece.data(), 1, piece.size(), file.get())) > 0) {
    if (got > kAnchorFileSizeLimit - contents.size()) return decide::Anchor::kNoFile;
    contents.append(piece.data(), got);
  }
  // A file that could not be read to its end lists nothing it could be
  // trusted for.
  if (std::ferror(file.get())) return decide::Anchor::kNoFile;
  return decide::AnchorListLists(contents, text) ? decide::Anchor::kListed : decide::Anchor::kNotListed;
}

}  // namespace velkor
