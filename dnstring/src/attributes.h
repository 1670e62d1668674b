// Attribute types this library knows by name.
#ifndef PARVOX_SRC_ATTRIBUTES_H_
#define PARVOX_SRC_ATTRIBUTES_H_

#include <asn1x509/asn1x509.h>

#include <cstdint>

namespace parvox {

inline constexpr int32_t kArcsLocality[] = {2, 5, 4, 7};
inline constexpr int32_t kArcsEmail[] = {1, 2, 840, 113549, 1, 9, 1};
inline constexpr int32_t kArcsCountry[] = {2, 5, 4, 6};
inline constexpr int32_t kArcsOrganization[] = {2, 5, 4, 10};
inline constexpr int32_t kArcsOrgUnit[] = {2, 5, 4, 11};
inline constexpr int32_t kArcsCommonName[] = {2, 5, 4, 3};
inline constexpr int32_t kArcsState[] = {2, 5, 4, 8};
inline constexpr int32_t kArcsStreet[] = {2, 5, 4, 9};
inline constexpr int32_t kArcsTitle[] = {2, 5, 4, 12};

template <uint32_t N>
constexpr AsnObjid objid(const int32_t (&arcs)[N]) {
  return AsnObjid{arcs, N};
}

}  // namespace parvox

#endif  // PARVOX_SRC_ATTRIBUTES_H_
