// What an import decides, as functions of values already read from the
// token and the PKCS#12 file: how a token certificate relates to the one
// being imported, what the addition procedure accepts, whether the trust
// anchor list names an identifier, and which objects stay and which go.
// Nothing here reaches a token or a file; the loops that read the token
// hand these functions what they found and act on the answer.
#ifndef IMPORT_DECISIONS_H_
#define IMPORT_DECISIONS_H_

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::decide {

// How the subject of a token certificate is compared with the imported
// certificate's: the whole name, or the typical name's common name only.
enum class SubjectComparison { kWholeName, kCommonName };

// The end-entity certificate under SUBCN is compared by its common name;
// every other comparison (SUBDN, and the CA certificate always) is of the
// whole name.
[[nodiscard]] SubjectComparison ComparisonFor(bool commonNameMode, bool endEntity);

// Two common names match when both exist and their value bytes are equal:
// a name without a common name never matches.
[[nodiscard]] bool SameCommonName(std::optional<std::string_view> a, std::optional<std::string_view> b);

// How a token certificate stands to the certificate being imported.
enum class Relation {
  kIssuerDiffers,      // the issuer check is on and the issuer is another
  kOtherSubject,       // not the same subject: passed over
  kSameSerial,         // the very certificate being imported
  kSameSubjectOtherSerial,  // an older (or other) certificate of the same subject
};

// `sameIssuer` is true when the issuer check is off. The serial numbers are
// the encoded bytes compared as they are.
[[nodiscard]] Relation RelationOf(bool sameIssuer, bool sameSubject, std::span<const unsigned char> tokenSerial,
                                  std::span<const unsigned char> importedSerial);

// What happens to a token certificate of the imported certificate's subject.
enum class CertificateFate {
  kPassOver,   // another subject: neither kept nor deleted here
  kKeep,       // the first copy with the imported serial: it stays, with its keys
  kDeleteCopy, // a further copy with the imported serial: goes with its own keys
  kReplace,    // another serial: goes, with its keys (for the end entity)
};

// `sameSerialSeen`: how many copies with the imported serial came before.
[[nodiscard]] CertificateFate FateOf(Relation relation, int sameSerialSeen);

// What relating one certificate of the file to the token's certificates
// came to.
enum class Finding {
  kSameSubject,        // a token certificate of its subject: kept, replaced, or both
  kNoSameSubject,      // none of its whole subject (SUBDN)
  kNoSameCommonName,   // none of its common name (SUBCN)
  kIssuerDiffers,      // a token certificate of another issuer, with the issuer check on
};

// The finding when no token certificate had the subject: compared by the
// common name under SUBCN, by the whole name under SUBDN.  A token
// certificate that cannot be read or compared before one of the subject was
// found counts as one of another subject.
[[nodiscard]] Finding NoSameSubject(bool commonNameMode);

// The tool return code a run that ends with the finding refuses with: -3
// no same subject, -14 no same common name, -15 another issuer; 0 for a
// certificate of the same subject.
[[nodiscard]] int RefusalCode(Finding finding);

// The addition procedure is tried only for a certificate of no same
// subject under SUBDN, without the issuer check, with ADDON.
[[nodiscard]] bool AdditionApplies(Finding finding, bool commonNameMode, bool issuerCheck, bool additionEnabled);

// What the trust anchor lookup found for a key identifier: listed, not
// listed, no identifier to look up, or no readable trust anchor file.
enum class Anchor { kListed, kNotListed, kNoIdentifier, kNoFile };

// Whether the trust anchor list `contents` names the key identifier `keyIdText`:
// a line of exactly 59 characters (its line end, and a CR before it, not
// counted) that holds the same hexadecimal pieces (CompareKeyIdText). A
// last line without a line end counts too.
[[nodiscard]] bool AnchorListLists(std::string_view contents, const std::string &keyIdText);

// The addition procedure's answer for one step.
enum class Acceptance {
  kAccepted,         // taken: this certificate, or the match that was looked for
  kNextCertificate,  // not this one: the search goes on
  kRefused,          // the general refusal
  kRefusedNoAnchorFile,  // refused because the trust anchor file is missing
};

// A new CA certificate is accepted when its own subject key identifier is
// listed.
[[nodiscard]] Acceptance AcceptNewCa(Anchor ownKeyId);

// First pass: a token certificate of the same common name is the one
// replaced when the key identifier of its issuer is listed.
[[nodiscard]] Acceptance AcceptTokenCertificate(bool sameCommonName, Anchor issuerKeyId);

// Second pass: the token's certificate of the CA that issued the replaced
// one carries its authority key identifier as subject key identifier. A
// certificate without a subject key identifier is passed over wherever the
// token lists it.
[[nodiscard]] Acceptance AcceptIssuingCa(std::string_view authorityKeyId,
                                         const std::optional<std::string> &subjectKeyId);

// The identifier that the end-entity objects of this run reuse: that of the
// certificate that stays when only its keys are written; empty when the
// certificate is written afresh (the objects then share a new identifier).
[[nodiscard]] std::string_view ReusedIdentifier(bool writesEndEntityCertificate, std::string_view keptId);

// Two unsigned big-endian integers are equal when they are equal without
// their leading zero bytes (tokens differ in whether they keep them).
[[nodiscard]] bool SameInteger(std::span<const unsigned char> a, std::span<const unsigned char> b);

// A key on the token is a leftover of an interrupted import of the new
// certificate, planned for deletion after every write succeeded, when it has
// the new key material and no certificate that stays on the token carries
// its identifier (`stayingCertificateIds`: the certificate being imported
// when it is already there, and every other certificate not planned for
// deletion; a key such a certificate carries is that certificate's).  An
// empty or absent identifier is an identifier like any other.
[[nodiscard]] bool IsLeftoverKey(std::span<const unsigned char> keyModulus, std::span<const unsigned char> keyExponent,
                                 std::string_view keyId, std::span<const unsigned char> newModulus,
                                 std::span<const unsigned char> newExponent,
                                 const std::vector<std::string> &stayingCertificateIds);

// Removes every value of `kept` from the first `count` entries of `list`
// (a key or certificate that stays is never deleted), keeps the order of
// the rest, clears the freed entries and returns the new count.
template <typename T>
[[nodiscard]] int WithoutKept(std::span<T> list, int count, std::span<const T> kept) {
  int left = 0;
  for (int i = 0; i < count; ++i) {
    bool stays = false;
    for (const T &k : kept) stays = stays || list[static_cast<size_t>(i)] == k;
    if (!stays) list[static_cast<size_t>(left++)] = list[static_cast<size_t>(i)];
  }
  for (int i = left; i < count; ++i) list[static_cast<size_t>(i)] = T{};
  return left;
}

}  // namespace velkor::decide

#endif  // IMPORT_DECISIONS_H_
