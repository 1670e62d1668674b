// Name objects to slash-form and LDAP-form text.
#include <asn1x509/asn1x509.h>

#include <array>
#include <charconv>
#include <string_view>

#include "attributes.h"
#include "decode.h"
#include "guard.h"
#include "parvox/parvox.h"

namespace parvox {
namespace {

enum class AttrClass : int32_t {
  Email = 0,
  Locality = 1,
  Country = 2,
  Organization = 3,
  OrgUnit = 4,
  CommonName = 5,
  State = 6,
  Street = 7,
  Title = 8,
  Other = 100,
};

struct KnownAttribute {
  AsnObjid type;
  AttrClass cls;
};

// Compared in this order; the first match decides.
const KnownAttribute kKnownAttributes[] = {
    {objid(kArcsLocality), AttrClass::Locality},   {objid(kArcsEmail), AttrClass::Email},
    {objid(kArcsCountry), AttrClass::Country},     {objid(kArcsOrganization), AttrClass::Organization},
    {objid(kArcsOrgUnit), AttrClass::OrgUnit},     {objid(kArcsCommonName), AttrClass::CommonName},
    {objid(kArcsState), AttrClass::State},         {objid(kArcsStreet), AttrClass::Street},
    {objid(kArcsTitle), AttrClass::Title},
};

constexpr std::string_view kEmailKeyword = "E=";
constexpr std::string_view kStreetKeyword = "STREET=";

struct KindKeyword {
  int32_t kind;
  std::string_view keyword;
};

// Keywords of the typed AVA kinds the formatters write.
constexpr KindKeyword kKindKeywords[] = {
    {X509_AVA_COUNTRY, "C="},      {X509_AVA_ORGANIZATION, "O="}, {X509_AVA_ORG_UNIT, "OU="},
    {X509_AVA_COMMON_NAME, "CN="}, {X509_AVA_LOCALITY, "L="},     {X509_AVA_STATE, "ST="},
    {X509_AVA_STREET, kStreetKeyword}, {X509_AVA_TITLE, "TITLE="},
};

enum class Form { Slash, Ldap };

struct Style {
  Form form;
  int32_t mode;
  uint32_t kindError;     // typed AVA of an unlisted kind
  bool stopInsideRdn;     // also stop between the AVAs of an RDN when full
};

void put(Out &out, std::string_view text) { out.prefix(text.data(), text.size()); }

Result<AttrClass> classify(const AsnObjid &type) {
  for (const KnownAttribute &known : kKnownAttributes) {
    uint32_t err = 0;
    int32_t r = AsnCompareObjid(&type, &known.type, &err);
    if (r < 0) return failure(err);
    if (r == 0) return known.cls;
  }
  return AttrClass::Other;
}

// 2.5.4.5=#13023132: the type's arcs, then the value's whole DER in hex.
Status writeDotted(const X509AVA &ava, Out &out) {
  if (ava.type.arcs == nullptr && ava.type.count != 0) return failure(PARVOX_ERR_ARGUMENT);
  if (ava.value == nullptr && ava.valueLength != 0) return failure(PARVOX_ERR_ARGUMENT);
  for (uint32_t i = 0; i < ava.type.count; ++i) {
    if (i > 0) put(out, ".");
    std::array<char, 16> digits{};
    auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), ava.type.arcs[i]);
    (void)ec;  // an int32_t always fits in 16 characters
    out.prefix(digits.data(), static_cast<size_t>(end - digits.data()));
  }
  put(out, "=#");
  if (out.counting()) {
    out.count(2 * static_cast<int64_t>(ava.valueLength));
    return Status::success();
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (uint32_t i = 0; i < ava.valueLength && !out.full(); ++i) {
    const char pair[2] = {kHex[ava.value[i] >> 4], kHex[ava.value[i] & 0x0F]};
    out.prefix(pair, 2);
  }
  return Status::success();
}

Status writeTyped(X509NameHandle name, uint32_t rdn, uint32_t index, const Style &style, Out &out) {
  X509TypedAVA typed{};
  uint32_t err = 0;
  if (X509NameObjectSgetAVA(name, rdn, index, &typed, &err) != 0) return failure(err);
  const KindKeyword *found = nullptr;
  for (const KindKeyword &k : kKindKeywords) {
    if (k.kind == typed.kind) found = &k;
  }
  if (found == nullptr) return failure(style.kindError);
  put(out, found->keyword);
  if (typed.kind == X509_AVA_COUNTRY) {
    // PrintableString content: no conversion, escaped only for LDAP UTF-8.
    return plainTextValue(typed.country.data, typed.country.length,
                          style.mode == kModeUtf8Dn ? kModeUtf8Dn : kModeUtf8, out);
  }
  const DirectoryStringValue &ds = typed.directoryString;
  return directoryStringText(ds.choice, ds.data, ds.length, style.mode, out);
}

Status writeAva(X509NameHandle name, uint32_t rdn, uint32_t index, const Style &style, Out &out) {
  X509AVA ava{};
  uint32_t err = 0;
  if (X509NameObjectGetAVA(name, rdn, index, &ava, &err) != 0) return failure(err);
  Result<AttrClass> cls = classify(ava.type);
  if (!cls.ok()) return cls.status();
  const Pdu value{ava.value, ava.valueLength};
  switch (cls.value()) {
    case AttrClass::Email:
      put(out, kEmailKeyword);
      return decodeEmailAddress(value, style.mode, out);
    case AttrClass::Other:
      return writeDotted(ava, out);
    case AttrClass::Street:
      if (style.form == Form::Ldap) {
        put(out, kStreetKeyword);
        return decodeDirectoryString(value, style.mode, out);
      }
      return writeTyped(name, rdn, index, style, out);
    default:
      return writeTyped(name, rdn, index, style, out);
  }
}

// The walk shared by the four formatters.  Slash form: RDNs in stored
// order, each introduced by "/", AVAs joined by ",".  LDAP form: RDNs from
// the last to the first joined by ",", AVAs joined by "+".
Status formatName(X509NameHandle name, const Style &style, Out &out) {
  uint32_t err = 0;
  uint32_t rdns = 0;
  if (X509NameObjectCalRDN(name, &rdns, &err) != 0) return failure(err);
  const bool slash = style.form == Form::Slash;
  // Only the order of writing matters; a size query adds up the same.
  const bool reverse = !slash && !out.counting();
  for (uint32_t k = 0; k < rdns; ++k) {
    if (out.full()) break;
    const uint32_t rdn = reverse ? rdns - 1 - k : k;
    uint32_t avas = 0;
    if (X509NameObjectCalAVA(name, rdn, &avas, &err) != 0) return failure(err);
    if (slash) {
      put(out, "/");
    } else if (k > 0) {
      put(out, ",");
    }
    for (uint32_t j = 0; j < avas; ++j) {
      if (style.stopInsideRdn && out.full()) break;
      if (j > 0) put(out, slash ? "," : "+");
      TOKENENROL_TRY(writeAva(name, rdn, j, style, out));
    }
  }
  return Status::success();
}

constexpr Style kSlashStyle{Form::Slash, kModeLocal, PARVOX_ERR_SLASHFMT_KIND, false};
constexpr Style kTxtStyle{Form::Slash, kModeLocal, PARVOX_ERR_SLASHFMT_KIND, true};
constexpr Style kLdapStyle{Form::Ldap, kModeLocal, PARVOX_ERR_LDAPFMT_KIND, false};
constexpr Style kLdapUtf8Style{Form::Ldap, kModeUtf8Dn, PARVOX_ERR_LDAPUTF8FMT_KIND, false};

// Writes the text into at most `window` bytes of `buffer` and a NUL behind
// it when that still lies inside the `size` bytes the caller declared, on
// failure too (the text written so far stays readable).  Nothing else of
// the buffer is touched: a declared size is only an upper bound, never a
// promise that the memory exists.  Answers the bytes of text written.
Result<int32_t> formatInto(X509NameHandle name, const Style &style, char *buffer, int64_t window, int64_t size) {
  Out out = Out::into(reinterpret_cast<unsigned char *>(buffer), window);
  const Status status = formatName(name, style, out);
  if (out.used() < size) buffer[out.used()] = '\0';
  if (!status.ok()) return status;
  return count32(out);
}

// LDAP forms: size query answers the bytes needed with the NUL; a write
// puts at most size - 1 bytes of text and the NUL behind them.
int32_t ldapForm(X509NameHandle name, char *buffer, int32_t *length, uint32_t *errorCode, const Style &style) {
  return guarded(errorCode, PARVOX_ERR_NOMEM, [&]() -> Status {
    if (length == nullptr) return failure(PARVOX_ERR_ARGUMENT);
    if (buffer == nullptr) {
      Style query = style;
      query.kindError = PARVOX_ERR_LDAPSIZE_KIND;
      Out out = Out::query();
      TOKENENROL_TRY(formatName(name, query, out));
      Result<int32_t> n = count32(out, 1);
      if (!n.ok()) return n.status();
      *length = n.value();
      return Status::success();
    }
    const int64_t size = *length;
    return formatInto(name, style, buffer, size - 1, size).status();
  });
}

}  // namespace
}  // namespace parvox

using parvox::failure;
using parvox::Out;
using parvox::Status;

extern "C" {

int32_t PARVOX_NameObjToString(X509NameHandle name, char *buffer, int32_t capacity, uint32_t *errorCode) {
  return parvox::guarded(errorCode, PARVOX_ERR_NOMEM, [&]() -> Status {
    if (buffer == nullptr) return failure(PARVOX_ERR_ARGUMENT);
    const int64_t size = capacity;
    return parvox::formatInto(name, parvox::kSlashStyle, buffer, size - 1, size).status();
  });
}

int32_t PARVOX_NameObjToStringTXT(X509NameHandle name, char *buffer, int32_t *length, uint32_t *errorCode) {
  return parvox::guarded(errorCode, PARVOX_ERR_NOMEM, [&]() -> Status {
    if (length == nullptr) return failure(PARVOX_ERR_ARGUMENT);
    if (buffer == nullptr) {
      Out out = Out::query();
      TOKENENROL_TRY(parvox::formatName(name, parvox::kTxtStyle, out));
      parvox::Result<int32_t> n = parvox::count32(out);
      if (!n.ok()) return n.status();
      *length = n.value();
      return Status::success();
    }
    // The text may fill the whole capacity; the NUL then belongs to the
    // caller's extra byte.
    const int64_t size = *length;
    parvox::Result<int32_t> n = parvox::formatInto(name, parvox::kTxtStyle, buffer, size, size);
    if (!n.ok()) return n.status();
    *length = n.value();
    return Status::success();
  });
}

int32_t PARVOX_NameObjToStringLDAP(X509NameHandle name, char *buffer, int32_t *length, uint32_t *errorCode) {
  return parvox::ldapForm(name, buffer, length, errorCode, parvox::kLdapStyle);
}

int32_t PARVOX_NameObjToStringLDAPUTF8(X509NameHandle name, char *buffer, int32_t *length, uint32_t *errorCode) {
  return parvox::ldapForm(name, buffer, length, errorCode, parvox::kLdapUtf8Style);
}

}  // extern "C"
