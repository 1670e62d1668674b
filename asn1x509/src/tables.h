// Tables shared by the name, certificate and key code: attribute types by
// kind, DirectoryString alternatives, well-known identifiers, and the two
// element readers that map reader failures to status codes.
#ifndef ASN1X509_SRC_TABLES_H_
#define ASN1X509_SRC_TABLES_H_

#include <cstdint>
#include <span>

#include "internal.h"

namespace asn1x509 {

// Reads the next element, which must carry `tag`: kDer when the element is
// malformed, kStructure when it is missing or of another type.
[[nodiscard]] Status ExpectElement(der::Input *in, uint8_t tag, der::Input *contents);
// As ExpectElement, also handing out the whole TLV.
[[nodiscard]] Status ExpectElementWithHeader(der::Input *in, uint8_t tag, der::Input *whole, der::Input *contents);
// Reads the next element of any type (kStructure when there is none).
[[nodiscard]] Status ExpectAnyElement(der::Input *in, der::Element *element);

// Typed attribute kind (X509_AVA_...) of an attribute type; kUnsupported
// when the type has no kind.
Result<int> KindOfAttributeType(std::span<const int32_t> arcs);
// Attribute type of a kind (1..14); kArgument for any other value.
Result<std::span<const int32_t>> AttributeTypeOfKind(int kind);

// DirectoryString choice number (DIRSTR_...) -> identifier octet; kChoice
// for a number that is no choice.
Result<uint8_t> DirectoryStringTag(int32_t choice);
// Identifier octet -> DirectoryString choice number; kStructure for a
// value of another type.
Result<int32_t> DirectoryStringChoice(uint8_t tag);

// rsaEncryption, 1.2.840.113549.1.1.1.
std::span<const int32_t> RsaEncryptionArcs();

bool SameArcs(std::span<const int32_t> a, std::span<const int32_t> b);

}  // namespace asn1x509

#endif  // ASN1X509_SRC_TABLES_H_
