// The fixed order of AVAs inside an RDN.
#include "ava_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace mirrel {
namespace {

const int32_t kCn[] = {2, 5, 4, 3};
const int32_t kO[] = {2, 5, 4, 10};
const int32_t kAttr[] = {2, 5, 4};
const int32_t kNegative[] = {2, 5, -1};
const int32_t kEmail[] = {1, 2, 840, 113549, 1, 9, 1};

TypicalAva ava(const int32_t *arcs, uint32_t count, std::vector<unsigned char> value) {
  TypicalAva a;
  a.arcs = arcs;
  a.arcCount = count;
  a.value = std::move(value);
  return a;
}

std::vector<unsigned char> utf8String(const std::string &s) {
  std::vector<unsigned char> v(s.size() + 2);
  v[0] = 0x0C;
  v[1] = static_cast<unsigned char>(s.size());
  std::copy(s.begin(), s.end(), v.begin() + 2);
  return v;
}

TEST(AvaOrder, LowerThanTable) {
  const struct {
    TypicalAva lower;
    TypicalAva higher;
    const char *why;
  } cases[] = {
      {ava(kCn, 4, utf8String("B")), ava(kO, 4, utf8String("A")), "arc 3 before arc 10"},
      {ava(kEmail, 7, utf8String("Z")), ava(kCn, 4, utf8String("A")), "first arc 1 before 2"},
      {ava(kAttr, 3, utf8String("Z")), ava(kCn, 4, utf8String("A")), "a leading part first"},
      {ava(kNegative, 3, utf8String("Z")), ava(kAttr, 3, utf8String("A")), "arcs compare signed"},
      {ava(kCn, 4, utf8String("ZZ")), ava(kCn, 4, utf8String("AAA")), "shorter value first"},
      {ava(kCn, 4, utf8String("AB")), ava(kCn, 4, utf8String("AC")), "then by the bytes"},
      {ava(kCn, 4, utf8String("\x7F")), ava(kCn, 4, utf8String("\x80")), "bytes compare unsigned"},
      {ava(kCn, 4, {}), ava(kCn, 4, utf8String("")), "empty value first"},
  };
  for (const auto &c : cases) {
    EXPECT_TRUE(lowerThan(c.lower, c.higher)) << c.why;
    EXPECT_FALSE(lowerThan(c.higher, c.lower)) << c.why;
  }
  const TypicalAva same = ava(kCn, 4, utf8String("A"));
  EXPECT_FALSE(lowerThan(same, same));
}

// Every arrangement of the same AVAs comes out in one order.
TEST(AvaOrder, EveryPermutationSortsTheSame) {
  const std::vector<TypicalAva> sorted{
      ava(kEmail, 7, utf8String("A@B")), ava(kAttr, 3, utf8String("X")), ava(kCn, 4, utf8String("ZZ")),
      ava(kCn, 4, utf8String("AAA")),   ava(kCn, 4, utf8String("AAB")), ava(kO, 4, utf8String("A")),
  };
  std::vector<int> order{0, 1, 2, 3, 4, 5};
  int permutations = 0;
  do {
    std::vector<TypicalAva> table;
    for (int i : order) table.push_back(sorted[static_cast<std::size_t>(i)]);
    orderAvas(table);
    for (std::size_t i = 0; i < table.size(); ++i) {
      ASSERT_EQ(table[i].arcs, sorted[i].arcs);
      ASSERT_EQ(table[i].value, sorted[i].value);
    }
    ++permutations;
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(permutations, 720);
}

TEST(AvaOrder, EmptyAndSingleTables) {
  std::vector<TypicalAva> none;
  orderAvas(none);
  std::vector<TypicalAva> one{ava(kCn, 4, utf8String("A"))};
  orderAvas(one);
  EXPECT_EQ(one[0].value, utf8String("A"));
}

}  // namespace
}  // namespace mirrel
