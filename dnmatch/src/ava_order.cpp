#include "ava_order.h"

#include <cstring>
#include <utility>

namespace mirrel {

bool lowerThan(const TypicalAva &a, const TypicalAva &b) noexcept {
  const uint32_t common = a.arcCount < b.arcCount ? a.arcCount : b.arcCount;
  for (uint32_t i = 0; i < common; ++i) {
    if (a.arcs[i] != b.arcs[i]) {
      return a.arcs[i] < b.arcs[i];
    }
  }
  if (a.arcCount != b.arcCount) {
    return a.arcCount < b.arcCount;
  }
  if (a.value.size() != b.value.size()) {
    return a.value.size() < b.value.size();
  }
  return !a.value.empty() && std::memcmp(a.value.data(), b.value.data(), a.value.size()) < 0;
}

void orderAvas(std::span<TypicalAva> table) noexcept {
  for (std::size_t i = 0; i + 1 < table.size(); ++i) {
    for (std::size_t k = i + 1; k < table.size(); ++k) {
      if (lowerThan(table[k], table[i])) {
        std::swap(table[k], table[i]);
      }
    }
  }
}

}  // namespace mirrel
