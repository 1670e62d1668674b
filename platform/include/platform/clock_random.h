// The random number drawn from the clock: a generator seeded with the
// time, whose numbers are the same for the same seed.
#ifndef PLATFORM_CLOCK_RANDOM_H_
#define PLATFORM_CLOCK_RANDOM_H_

#include <cstdint>
#include <ctime>

namespace platform {

// A linear congruential generator seeded with `seed`:
// x = x * 214013 + 2531011, result (x >> 16) & 0x7FFF, so every value lies
// in 0..32767 and equal seeds give equal numbers.  `draw` picks the first,
// second, ... number after seeding.
inline int ClockRandom(std::time_t seed, unsigned draw = 1) {
  uint32_t x = static_cast<uint32_t>(seed);
  int value = 0;
  for (unsigned i = 0; i < (draw == 0 ? 1u : draw); ++i) {
    x = x * 214013u + 2531011u;
    value = static_cast<int>((x >> 16) & 0x7FFFu);
  }
  return value;
}

}  // namespace platform

#endif  // PLATFORM_CLOCK_RANDOM_H_
