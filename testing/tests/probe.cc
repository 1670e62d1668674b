// testtoken_probe <module>: prints "slots=N" and one "label=..." line per
// token, exits with N (or 100 + the failing step).
#include <cstdio>

#include "testtoken/testtoken.h"

int main(int argc, char** argv) {
  if (argc != 2) return 100;
  try {
    testtoken::P11Client client(argv[1]);
    auto slots = client.slots(true);
    std::printf("slots=%zu\n", slots.size());
    for (auto slot : slots) std::printf("label=%s\n", client.tokenLabel(slot).c_str());
    return static_cast<int>(slots.size());
  } catch (const testtoken::P11Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 101;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 102;
  }
}
