// The fixed order of the AVAs inside one RDN of a typical name.
#ifndef MIRREL_SRC_AVA_ORDER_H_
#define MIRREL_SRC_AVA_ORDER_H_

#include <cstdint>
#include <span>
#include <vector>

namespace mirrel {

// One AVA of the working table: the attribute type (pointing into the
// source name) and the re-encoded value.
struct TypicalAva {
  const int32_t *arcs = nullptr;
  uint32_t arcCount = 0;
  std::vector<unsigned char> value;
};

// Ascending by the type's arcs (signed, arc by arc, a leading part first),
// then by the value's length, then by its bytes (unsigned).
bool lowerThan(const TypicalAva &a, const TypicalAva &b) noexcept;

// Exchange sort: each later entry lower than entry i is swapped with it.
void orderAvas(std::span<TypicalAva> table) noexcept;

}  // namespace mirrel

#endif  // MIRREL_SRC_AVA_ORDER_H_
