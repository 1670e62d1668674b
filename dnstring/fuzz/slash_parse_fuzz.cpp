// Fuzzes the slash-form parser; whatever it builds must print again.
#include <parvox/parvox.h>

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 8192) return 0;
  const std::string text(reinterpret_cast<const char *>(data), size);
  uint32_t err = 0;
  X509NameHandle name = nullptr;
  if (X509NameObjectCreate(&name, &err) != 0) return 0;
  if (PARVOX_NameStringToObj(text.c_str(), static_cast<int32_t>(text.size()), name, &err) == 0) {
    int32_t need = 0;
    if (PARVOX_NameObjToStringTXT(name, nullptr, &need, &err) == 0) {
      std::vector<char> buf(static_cast<size_t>(need) + 1);
      int32_t length = need;
      (void)PARVOX_NameObjToStringTXT(name, buf.data(), &length, &err);
    }
  }
  (void)X509NameObjectDestroy(name, &err);
  return 0;
}
