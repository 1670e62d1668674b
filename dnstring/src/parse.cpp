// Slash-form and LDAP-form text to name objects.
#include <asn1x509/asn1x509.h>

#include <clocale>
#include <cstring>
#include <cwchar>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "asn.h"
#include "attributes.h"
#include "charset.h"
#include "guard.h"
#include "parvox/parvox.h"
#include "platform/text.h"

namespace parvox {
namespace {

enum class Attr { Country, Locality, Organization, CommonName, State, OrgUnit, Email, Dotted, Street };

// ---- value encoding -------------------------------------------------------

bool isPrintableStringByte(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::string_view(" '()+,-./:=?").find(static_cast<char>(c)) != std::string_view::npos;
}

bool isPrintableString(std::string_view v) {
  for (char c : v) {
    if (!isPrintableStringByte(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Well-formed UTF-8 as RFC 3629 has it (shortest forms, no surrogates).
bool isUtf8(std::string_view v) {
  size_t i = 0;
  while (i < v.size()) {
    const auto b = static_cast<unsigned char>(v[i]);
    size_t n;
    uint32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 2, cp = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 3, cp = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 4, cp = b & 0x07u;
    } else {
      return false;
    }
    if (v.size() - i < n) return false;
    for (size_t k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(v[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3Fu);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n;
  }
  return true;
}

// Local multibyte text to UTF-8; nothing when the locale cannot read it.
// Nothing is no failure (the value then stays a printableString of its
// bytes), so it is an optional answer rather than a Status.
std::optional<std::string> localToUtf8(std::string_view v) {
  selectLocalCharset();
  std::string utf8;
  std::mbstate_t state{};
  size_t i = 0;
  while (i < v.size()) {
    wchar_t wc = 0;
    size_t n = std::mbrtowc(&wc, v.data() + i, v.size() - i, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) return std::nullopt;
    if (n == 0) n = 1;  // an embedded NUL character
    if (wc < 0) return std::nullopt;
    unsigned char buf[platform::kMaxUtf8Bytes];
    size_t len = platform::EncodeUtf8(static_cast<uint32_t>(wc), buf);
    utf8.append(reinterpret_cast<const char *>(buf), len);
    i += n;
  }
  return utf8;
}

enum class TextOrigin { Local, Utf8 };

// The DirectoryString alternative a value is stored as: printableString
// when every byte belongs to its character set; otherwise utf8String of the
// text (LDAP text is taken as UTF-8 first, slash text as local text).  Text
// that cannot be read either way stays a printableString of its bytes.
struct StringValue {
  int32_t choice;
  std::string bytes;
};

StringValue chooseString(std::string_view v, TextOrigin origin) {
  if (isPrintableString(v)) return {DIRSTR_PRINTABLE, std::string(v)};
  if (origin == TextOrigin::Utf8 && isUtf8(v)) return {DIRSTR_UTF8, std::string(v)};
  if (std::optional<std::string> utf8 = localToUtf8(v); utf8 && isUtf8(*utf8)) return {DIRSTR_UTF8, *utf8};
  return {DIRSTR_PRINTABLE, std::string(v)};
}

const unsigned char *bytesOf(std::string_view v) { return reinterpret_cast<const unsigned char *>(v.data()); }

Result<uint32_t> length32(std::string_view v) {
  if (v.size() > std::numeric_limits<uint32_t>::max()) return failure(PARVOX_ERR_TOO_LARGE);
  return static_cast<uint32_t>(v.size());
}

Status appendAva(X509NameHandle name, const AsnObjid &type, const std::vector<unsigned char> &der) {
  if (der.size() > std::numeric_limits<uint32_t>::max()) return failure(PARVOX_ERR_TOO_LARGE);
  X509AVA ava{type, der.data(), static_cast<uint32_t>(der.size())};
  uint32_t err = 0;
  if (X509NameObjectAddRDNSetAVA(name, &ava, &err) != 0) return failure(err);
  return Status::success();
}

Status appendEncoded(X509NameHandle name, const AsnObjid &type,
                     const Result<std::vector<unsigned char>> &der) {
  if (!der.ok()) return der.status();
  return appendAva(name, type, der.value());
}

// ---- dotted identifiers ---------------------------------------------------

std::string_view trimSpaces(std::string_view v) {
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
  return v;
}

// "2.5.4.5" to arcs: at least two decimal arcs, each within 32 bits, the
// first 0 to 2 and the second below 40 under 0 and 1.  Anything else is no
// keyword: PARVOX_ERR_LDAPPARSE_BAD_KEYWORD.
Result<std::vector<int32_t>> parseObjid(std::string_view text) {
  const Status notObjid = failure(PARVOX_ERR_LDAPPARSE_BAD_KEYWORD);
  std::vector<int32_t> arcs;
  size_t i = 0;
  while (true) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return notObjid;
    if (text[i] == '0' && i + 1 < text.size() && text[i + 1] != '.') return notObjid;  // leading zero
    int64_t arc = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      arc = arc * 10 + (text[i] - '0');
      if (arc > std::numeric_limits<int32_t>::max()) return notObjid;
      ++i;
    }
    arcs.push_back(static_cast<int32_t>(arc));
    if (i == text.size()) break;
    if (text[i] != '.') return notObjid;
    ++i;
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39)) return notObjid;
  return arcs;
}

// One hexadecimal digit of a '#' value.
Result<unsigned char> hexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned char>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<unsigned char>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<unsigned char>(c - 'a' + 10);
  return failure(PARVOX_ERR_LDAPPARSE_BAD_HEXVALUE);
}

// Exactly one DER value (tag, definite minimal length, content) and
// nothing behind it.
bool isOneDerValue(const std::vector<unsigned char> &der) {
  size_t i = 0;
  if (der.size() < 2) return false;
  if ((der[i++] & 0x1F) == 0x1F) {
    while (i < der.size() && (der[i] & 0x80)) ++i;
    if (i++ >= der.size()) return false;
  }
  if (i >= der.size()) return false;
  uint64_t length = der[i++];
  if (length == 0x80) return false;
  if (length > 0x80) {
    size_t n = static_cast<size_t>(length & 0x7F);
    if (n > 4 || der.size() - i < n || der[i] == 0) return false;
    length = 0;
    for (size_t k = 0; k < n; ++k) length = length << 8 | der[i++];
    if (length < 0x80) return false;
  }
  return der.size() - i == length;
}

// "#" and hexadecimal digits: the value's DER as it stands.
Result<std::vector<unsigned char>> hexValue(std::string_view hex) {
  if (hex.empty() || hex.size() % 2 != 0) return failure(PARVOX_ERR_LDAPPARSE_BAD_HEXVALUE);
  std::vector<unsigned char> der;
  der.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    Result<unsigned char> hi = hexDigit(hex[i]);
    if (!hi.ok()) return hi.status();
    Result<unsigned char> lo = hexDigit(hex[i + 1]);
    if (!lo.ok()) return lo.status();
    der.push_back(static_cast<unsigned char>(hi.value() << 4 | lo.value()));
  }
  if (!isOneDerValue(der)) return failure(PARVOX_ERR_LDAPPARSE_BAD_HEXVALUE);
  return der;
}

// ---- one attribute into the name -------------------------------------------

using DirectorySetter = int32_t (*)(X509NameHandle, const DirectoryStringValue *, uint32_t *);

Status setDirectoryString(X509NameHandle name, DirectorySetter setter, std::string_view value, TextOrigin origin) {
  StringValue s = chooseString(value, origin);
  Result<uint32_t> len = length32(s.bytes);
  if (!len.ok()) return len.status();
  DirectoryStringValue record{s.choice, bytesOf(s.bytes), len.value()};
  uint32_t err = 0;
  if (setter(name, &record, &err) != 0) return failure(err);
  return Status::success();
}

Status addAttribute(X509NameHandle name, Attr attr, std::string_view value, std::string_view identifier,
                    TextOrigin origin) {
  switch (attr) {
    case Attr::Country: {
      Result<uint32_t> len = length32(value);
      if (!len.ok()) return len.status();
      X509CountryValue record{bytesOf(value), len.value()};
      uint32_t err = 0;
      if (X509NameObjectSsetCountryName(name, &record, &err) != 0) return failure(err);
      return Status::success();
    }
    case Attr::Locality:
      return setDirectoryString(name, X509NameObjectSsetLocalityName, value, origin);
    case Attr::Organization:
      return setDirectoryString(name, X509NameObjectSsetOrgName, value, origin);
    case Attr::OrgUnit:
      return setDirectoryString(name, X509NameObjectSsetOUName, value, origin);
    case Attr::CommonName:
      return setDirectoryString(name, X509NameObjectSsetCommonName, value, origin);
    case Attr::State:
      return setDirectoryString(name, X509NameObjectSsetStateProvinceName, value, origin);
    case Attr::Email:
      return appendEncoded(name, objid(kArcsEmail), encodeEmailAddress(bytesOf(value), value.size()));
    case Attr::Street: {
      StringValue s = chooseString(value, origin);
      return appendEncoded(name, objid(kArcsStreet),
                           encodeDirectoryString(s.choice, bytesOf(s.bytes), s.bytes.size()));
    }
    case Attr::Dotted: {
      Result<std::vector<int32_t>> arcs = parseObjid(trimSpaces(identifier));
      if (!arcs.ok()) return arcs.status();
      const AsnObjid type{arcs.value().data(), static_cast<uint32_t>(arcs.value().size())};
      if (!value.empty() && value.front() == '#') return appendEncoded(name, type, hexValue(value.substr(1)));
      StringValue s = chooseString(value, origin);
      return appendEncoded(name, type, encodeDirectoryString(s.choice, bytesOf(s.bytes), s.bytes.size()));
    }
  }
  return failure(PARVOX_ERR_LDAPPARSE_NODE_TYPE);
}

// ---- slash form -----------------------------------------------------------

struct SlashKeyword {
  std::string_view text;
  Attr attr;
};

// Tested in this order at the start of each attribute.
constexpr SlashKeyword kSlashKeywords[] = {
    {"/C=", Attr::Country},     {"/L=", Attr::Locality}, {"/O=", Attr::Organization}, {"/OU=", Attr::OrgUnit},
    {"/CN=", Attr::CommonName}, {"/ST=", Attr::State},   {"/E=", Attr::Email},        {"/STREET=", Attr::Street},
};

const SlashKeyword *slashKeywordAt(std::string_view text) {
  for (const SlashKeyword &k : kSlashKeywords) {
    if (text.substr(0, k.text.size()) == k.text) return &k;
  }
  return nullptr;
}

// A value runs to the nearest keyword behind it, or to the end.
size_t slashValueEnd(std::string_view rest) {
  for (size_t p = rest.find('/'); p != std::string_view::npos; p = rest.find('/', p + 1)) {
    if (slashKeywordAt(rest.substr(p)) != nullptr) return p;
  }
  return rest.size();
}

Status parseSlash(std::string_view text, X509NameHandle name) {
  while (!text.empty()) {
    const SlashKeyword *keyword = slashKeywordAt(text);
    if (keyword == nullptr) return failure(PARVOX_ERR_SLASHPARSE_KEYWORD);
    text.remove_prefix(keyword->text.size());
    const size_t end = slashValueEnd(text);
    TOKENENROL_TRY(addAttribute(name, keyword->attr, text.substr(0, end), {}, TextOrigin::Local));
    text.remove_prefix(end);
  }
  return Status::success();
}

// ---- LDAP form ------------------------------------------------------------

struct LdapKeyword {
  std::string_view text;
  Attr attr;
};

constexpr LdapKeyword kLdapKeywords[] = {
    {"C", Attr::Country}, {"L", Attr::Locality}, {"O", Attr::Organization}, {"CN", Attr::CommonName},
    {"ST", Attr::State},  {"OU", Attr::OrgUnit}, {"EM", Attr::Email},       {"STREET", Attr::Street},
};

// Letters a keyword may start with; bytes before the first of them are
// passed over.
constexpr std::string_view kKeywordStarts = "CLOSE";

struct Component {
  Attr attr;
  std::string value;
  std::string identifier;  // dotted identifiers only
};

// One component: "<keyword or dotted identifier>=<value>", the value
// taken as it stands.
Result<Component> parseComponent(std::string_view comp) {
  const size_t eq = comp.find('=');
  if (eq == std::string_view::npos) return failure(PARVOX_ERR_LDAPPARSE_NO_EQUALS);
  Component c{Attr::Dotted, std::string(comp.substr(eq + 1)), {}};
  const std::string_view head = comp.substr(0, eq);
  if (head.find('.') != std::string_view::npos) {
    c.identifier = std::string(head);
  } else {
    const size_t start = comp.find_first_of(kKeywordStarts);
    if (start == std::string_view::npos || start > eq) return failure(PARVOX_ERR_LDAPPARSE_NO_KEYWORD);
    const size_t end = comp.find_first_of(" =", start);
    if (head.find_first_not_of(' ', end) != std::string_view::npos) {
      return failure(PARVOX_ERR_LDAPPARSE_BAD_KEYWORD);
    }
    const std::string_view keyword = comp.substr(start, end - start);
    const LdapKeyword *found = nullptr;
    for (const LdapKeyword &k : kLdapKeywords) {
      if (k.text == keyword) found = &k;
    }
    if (found == nullptr) return failure(PARVOX_ERR_LDAPPARSE_BAD_KEYWORD);
    c.attr = found->attr;
  }
  if (c.value.empty()) return failure(PARVOX_ERR_LDAPPARSE_EMPTY_VALUE);
  return c;
}

// Split at "," or ";" outside double quotes and not behind a backslash.
// One pass: a double quote skips to its partner, a separator behind a
// backslash stays in the component.
Status splitComponents(std::string_view text, std::vector<Component> &components) {
  size_t start = 0;
  size_t pos = 0;
  while (true) {
    const size_t stop = text.find_first_of(",;\"", pos);
    if (stop == std::string_view::npos) {
      Result<Component> c = parseComponent(text.substr(start));
      if (!c.ok()) return c.status();
      components.push_back(std::move(c.value()));
      return Status::success();
    }
    if (text[stop] == '"') {
      const size_t close = text.find('"', stop + 1);
      if (close == std::string_view::npos) return failure(PARVOX_ERR_LDAPPARSE_QUOTE);
      pos = close + 1;
      continue;
    }
    pos = stop + 1;
    if (stop > 0 && text[stop - 1] == '\\') continue;
    Result<Component> c = parseComponent(text.substr(start, stop - start));
    if (!c.ok()) return c.status();
    components.push_back(std::move(c.value()));
    start = pos;
  }
}

Status parseLdap(std::string_view text, X509NameHandle name) {
  std::vector<Component> components;
  TOKENENROL_TRY(splitComponents(text, components));
  // The text names the last RDN first; the name is built from the first.
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    TOKENENROL_TRY(addAttribute(name, it->attr, it->value, it->identifier, TextOrigin::Utf8));
  }
  return Status::success();
}

}  // namespace
}  // namespace parvox

using parvox::failure;
using parvox::Status;

extern "C" {

int32_t PARVOX_NameStringToObj(const char *text, int32_t textLength, X509NameHandle name, uint32_t *errorCode) {
  return parvox::guarded(errorCode, PARVOX_ERR_SLASHPARSE_NOMEM, [&]() -> Status {
    if (textLength <= 0) return Status::success();
    if (text == nullptr) return failure(PARVOX_ERR_ARGUMENT);
    // The text ends at its NUL or after textLength bytes, whichever comes first.
    const size_t length = strnlen(text, static_cast<size_t>(textLength));
    return parvox::parseSlash(std::string_view(text, length), name);
  });
}

int32_t PARVOX_NameStringToObjLDAP(const char *text, void * /*reserved*/, X509NameHandle name, uint32_t *errorCode) {
  return parvox::guarded(errorCode, PARVOX_ERR_LDAPPARSE_NOMEM, [&]() -> Status {
    if (text == nullptr) return failure(PARVOX_ERR_ARGUMENT);
    return parvox::parseLdap(text, name);
  });
}

}  // extern "C"
