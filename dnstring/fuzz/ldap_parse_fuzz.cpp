// Fuzzes the LDAP-form parser; whatever it builds must print again in both
// LDAP forms.
#include <parvox/parvox.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Formatter = int32_t (*)(X509NameHandle, char *, int32_t *, uint32_t *);

void print(Formatter fn, X509NameHandle name) {
  uint32_t err = 0;
  int32_t size = 0;
  if (fn(name, nullptr, &size, &err) != 0) return;
  std::vector<char> buf(static_cast<size_t>(size));
  (void)fn(name, buf.data(), &size, &err);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 8192) return 0;
  const std::string text(reinterpret_cast<const char *>(data), size);  // stops at an inner NUL for the parser
  uint32_t err = 0;
  X509NameHandle name = nullptr;
  if (X509NameObjectCreate(&name, &err) != 0) return 0;
  if (PARVOX_NameStringToObjLDAP(text.c_str(), nullptr, name, &err) == 0) {
    print(PARVOX_NameObjToStringLDAP, name);
    print(PARVOX_NameObjToStringLDAPUTF8, name);
  }
  (void)X509NameObjectDestroy(name, &err);
  return 0;
}
