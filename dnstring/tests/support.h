// Test helpers: names made by OpenSSL and loaded into the object library,
// locale switching through the environment (the library reads LC_CTYPE
// from it), and calls of the C interface wrapped for assertions.
#ifndef PARVOX_TESTS_SUPPORT_H_
#define PARVOX_TESTS_SUPPORT_H_

#include <asn1x509/asn1x509.h>
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <parvox/parvox.h>

#include <clocale>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/owned.h"
#include "testtoken/locales.h"

namespace parvox_test {

using Bytes = std::vector<unsigned char>;

inline Bytes bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }
inline std::string text(const Bytes &b) { return std::string(b.begin(), b.end()); }

// Big-endian UCS-2 / UCS-4 of code points.
inline Bytes ucs2(std::initializer_list<uint32_t> cps) {
  Bytes out;
  for (uint32_t c : cps) {
    out.push_back(static_cast<unsigned char>(c >> 8));
    out.push_back(static_cast<unsigned char>(c));
  }
  return out;
}
inline Bytes ucs4(std::initializer_list<uint32_t> cps) {
  Bytes out;
  for (uint32_t c : cps) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(c >> s));
  }
  return out;
}

// ---- locale ---------------------------------------------------------------

// Points LC_ALL at a locale for the scope (the library takes LC_CTYPE from
// the environment on each local-text conversion).  available() is false
// when the machine has no such locale.
class LocaleEnv {
 public:
  explicit LocaleEnv(const char *locale) {
    if (const char *old = std::getenv("LC_ALL")) saved_ = old;
    setenv("LC_ALL", locale, 1);
    available_ = std::setlocale(LC_CTYPE, "") != nullptr;
  }
  ~LocaleEnv() {
    if (saved_) {
      setenv("LC_ALL", saved_->c_str(), 1);
    } else {
      unsetenv("LC_ALL");
    }
    std::setlocale(LC_CTYPE, "C");
  }
  LocaleEnv(const LocaleEnv &) = delete;
  LocaleEnv &operator=(const LocaleEnv &) = delete;
  bool available() const { return available_; }

 private:
  std::optional<std::string> saved_;
  bool available_ = false;
};

// The first of these names that the machine knows, or empty.
inline std::string firstLocale(std::initializer_list<const char *> names) {
  for (const char *n : names) {
    LocaleEnv env(n);
    if (env.available()) return n;
  }
  return {};
}
inline std::string utf8Locale() { return firstLocale({"C.UTF-8", "C.utf8", "ja_JP.UTF-8", "en_US.UTF-8"}); }
inline std::string sjisLocale() { return firstLocale({"ja_JP.SJIS", "ja_JP.sjis", "ja_JP.Shift_JIS"}); }

// ---- calls ----------------------------------------------------------------

struct Call {
  int32_t status = 0;
  uint32_t err = 0;
  Bytes out;
  int32_t size = 0;  // the size query's answer
};

using Converter = int32_t (*)(const unsigned char *, unsigned char **, int32_t, int32_t *, uint32_t *);
using Decoder = int32_t (*)(const Pdu *, unsigned char **, int32_t *, int32_t, uint32_t *);

// Size query, then a write into exactly that many bytes.
inline Call convert(Converter fn, const Bytes &in) {
  Call c;
  c.status = fn(in.data(), nullptr, static_cast<int32_t>(in.size()), &c.size, &c.err);
  if (c.status != 0) return c;
  Bytes buf(static_cast<size_t>(c.size) + 1, 0);
  unsigned char *dst = buf.data();
  int32_t room = c.size;
  c.status = fn(in.data(), &dst, static_cast<int32_t>(in.size()), &room, &c.err);
  EXPECT_EQ(dst, buf.data()) << "converters do not move the output pointer";
  if (c.status == 0) c.out.assign(buf.begin(), buf.begin() + room);
  return c;
}

inline Call decode(Decoder fn, const Bytes &der, int32_t mode) {
  Call c;
  const Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  c.status = fn(&pdu, nullptr, &c.size, mode, &c.err);
  if (c.status != 0) return c;
  Bytes buf(static_cast<size_t>(c.size) + 1, 0);
  unsigned char *cursor = buf.data();
  int32_t room = c.size;
  c.status = fn(&pdu, &cursor, &room, mode, &c.err);
  if (c.status == 0) {
    EXPECT_EQ(cursor - buf.data(), c.size - room) << "cursor and room move together";
    c.out.assign(buf.data(), cursor);
  }
  return c;
}

// ---- names ----------------------------------------------------------------

struct NameDeleter {
  void operator()(X509NameObject *n) const {
    uint32_t err = 0;
    (void)X509NameObjectDestroy(n, &err);
  }
};
using Name = std::unique_ptr<X509NameObject, NameDeleter>;

inline Name emptyName() {
  X509NameHandle h = nullptr;
  uint32_t err = 0;
  EXPECT_EQ(X509NameObjectCreate(&h, &err), 0);
  return Name(h);
}

inline Name nameFromDer(const Bytes &der) {
  Name n = emptyName();
  const Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  uint32_t err = 0;
  EXPECT_EQ(X509NameObjectSetPduBER(n.get(), &pdu, &err), 0) << std::hex << err;
  return n;
}

inline Bytes derOf(X509NameHandle name) {
  Pdu pdu{};
  uint32_t err = 0;
  EXPECT_EQ(X509NameObjectGetPduDER(name, &pdu, &err), 0) << std::hex << err;
  return Bytes(pdu.data, pdu.data + pdu.length);
}

using OsslName = platform::Owned<X509_NAME, X509_NAME_free>;

// One attribute of a name built by OpenSSL: type (short name or dotted),
// ASN.1 string type (V_ASN1_*), value bytes as that type holds them, and
// whether it joins the previous RDN.
struct Ava {
  std::string type;
  int stringType;
  Bytes value;
  bool joinPrevious = false;
};

inline OsslName opensslName(const std::vector<Ava> &avas) {
  OsslName name(X509_NAME_new());
  for (const Ava &a : avas) {
    ASN1_OBJECT *obj = OBJ_txt2obj(a.type.c_str(), 0);
    EXPECT_NE(obj, nullptr) << a.type;
    X509_NAME_ENTRY *entry = X509_NAME_ENTRY_create_by_OBJ(nullptr, obj, a.stringType, a.value.data(),
                                                           static_cast<int>(a.value.size()));
    EXPECT_NE(entry, nullptr);
    // A V_ASN1_* type (not MBSTRING_*) keeps the bytes and the type as given.
    EXPECT_EQ(X509_NAME_add_entry(name.get(), entry, -1, a.joinPrevious ? -1 : 0), 1);
    X509_NAME_ENTRY_free(entry);
    ASN1_OBJECT_free(obj);
  }
  return name;
}

inline Bytes opensslDer(X509_NAME *name) {
  unsigned char *der = nullptr;
  int len = i2d_X509_NAME(name, &der);
  EXPECT_GT(len, 0);
  Bytes out(der, der + len);
  OPENSSL_free(der);
  return out;
}

inline Name nameOf(const std::vector<Ava> &avas) {
  OsslName n = opensslName(avas);
  return nameFromDer(opensslDer(n.get()));
}

// The four formatters, each sized first and then written.
inline Call ldap(X509NameHandle name, bool utf8) {
  auto fn = utf8 ? PARVOX_NameObjToStringLDAPUTF8 : PARVOX_NameObjToStringLDAP;
  Call c;
  c.status = fn(name, nullptr, &c.size, &c.err);
  if (c.status != 0) return c;
  std::vector<char> buf(static_cast<size_t>(c.size) + 1, 'x');
  int32_t size = c.size;
  c.status = fn(name, buf.data(), &size, &c.err);
  EXPECT_EQ(size, c.size) << "the LDAP forms leave the count alone";
  if (c.status == 0) c.out = bytes(std::string(buf.data()));
  return c;
}

inline Call txt(X509NameHandle name) {
  Call c;
  c.status = PARVOX_NameObjToStringTXT(name, nullptr, &c.size, &c.err);
  if (c.status != 0) return c;
  std::vector<char> buf(static_cast<size_t>(c.size) + 1, 0);
  int32_t length = c.size;
  c.status = PARVOX_NameObjToStringTXT(name, buf.data(), &length, &c.err);
  if (c.status == 0) c.out.assign(buf.begin(), buf.begin() + length);
  return c;
}

inline Call slash(X509NameHandle name, int32_t capacity = 1024) {
  Call c;
  std::vector<char> buf(static_cast<size_t>(capacity) + 1, 'x');
  c.status = PARVOX_NameObjToString(name, buf.data(), capacity, &c.err);
  if (c.status == 0) c.out = bytes(std::string(buf.data()));
  return c;
}

inline const char *hexCode(uint32_t code) {
  static thread_local char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", code);
  return buf;
}

}  // namespace parvox_test

#endif  // PARVOX_TESTS_SUPPORT_H_
