// Test names: described as RDNs of (attribute, string type, text), built
// and DER-encoded by OpenSSL, loaded into the object library.
#ifndef MIRREL_TESTS_NAME_BUILDER_H_
#define MIRREL_TESTS_NAME_BUILDER_H_

#include <asn1x509/asn1x509.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/owned.h"

namespace mirrel_test {

using Bytes = std::vector<unsigned char>;

// ASN.1 string types, as OpenSSL numbers them.
enum class StringType {
  printable = V_ASN1_PRINTABLESTRING,
  utf8 = V_ASN1_UTF8STRING,
  bmp = V_ASN1_BMPSTRING,
  teletex = V_ASN1_T61STRING,
  universal = V_ASN1_UNIVERSALSTRING,
  ia5 = V_ASN1_IA5STRING,
  numeric = V_ASN1_NUMERICSTRING,
};

const char *typeName(StringType type);

struct Ava {
  int nid;
  StringType type;
  std::string text;  // UTF-8; re-encoded for bmp and universal
  bool raw = false;  // text holds the content bytes as they are
};
using Rdn = std::vector<Ava>;
using NameSpec = std::vector<Rdn>;

using OsslName = platform::Owned<X509_NAME, X509_NAME_free>;

// The content bytes of a text in a string type.
Bytes contentOf(StringType type, const std::string &utf8);

OsslName opensslName(const NameSpec &spec);
Bytes derOf(const X509_NAME *name);
inline Bytes derOf(const NameSpec &spec) { return derOf(opensslName(spec).get()); }

// A name object of the object library.
class Name {
 public:
  Name();
  explicit Name(const Bytes &der);
  explicit Name(const NameSpec &spec) : Name(derOf(spec)) {}
  Name(const Name &) = delete;
  Name &operator=(const Name &) = delete;
  ~Name();
  X509NameHandle get() const { return handle_; }
  Bytes der() const;

 private:
  X509NameHandle handle_ = nullptr;
};

// Value bytes (whole TLV) of AVA j of RDN r.
Bytes avaValue(const Name &name, uint32_t rdn, uint32_t ava);
std::vector<int32_t> avaArcs(const Name &name, uint32_t rdn, uint32_t ava);
uint32_t rdnCount(const Name &name);
uint32_t avaCount(const Name &name, uint32_t rdn);

Bytes utf8StringDer(const std::string &content);

// The DER of a name written out by the test itself, keeping the AVAs of
// each RDN in the order given (OpenSSL sorts them as DER's SET OF wants;
// this shows the object library and CompareDN another order).
Bytes unsortedDerOf(const NameSpec &spec);

// A one-AVA name whose value is the given tag around the given content,
// for values OpenSSL refuses to build (odd-length BMPString and the
// like).  The attribute's identifier is OpenSSL's encoding.
Bytes rawValueNameDer(int nid, unsigned char tag, const std::string &content);

}  // namespace mirrel_test

#endif  // MIRREL_TESTS_NAME_BUILDER_H_
