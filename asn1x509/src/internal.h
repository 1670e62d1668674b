// Shared internals of the object library: status codes, secure byte
// storage, the handle objects and the guard at the C boundary.
#ifndef ASN1X509_SRC_INTERNAL_H_
#define ASN1X509_SRC_INTERNAL_H_

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "asn1x509/asn1x509.h"
#include "der.h"
#include "platform/secure.h"
#include "tokenenrol/status.h"

namespace asn1x509 {

// Codes of the library: kOk or one of its error codes (the header's macros
// are the one source of the values).
enum class Code : uint32_t {
  kOk = 0,
  kArgument = ASN1X509_ERR_ARGUMENT,
  kNoMemory = ASN1X509_ERR_NOMEM,
  kDer = ASN1X509_ERR_DER,
  kStructure = ASN1X509_ERR_STRUCTURE,
  kIndex = ASN1X509_ERR_INDEX,
  kState = ASN1X509_ERR_STATE,
  kPath = ASN1X509_ERR_PATH,
  kChoice = ASN1X509_ERR_CHOICE,
  kBuffer = ASN1X509_ERR_BUFFER,
  kUnsupported = ASN1X509_ERR_UNSUPPORTED,
  kTooLarge = ASN1X509_ERR_TOO_LARGE,
  kExtensionNotFound = ASN1X509_ERR_EXT_NOT_FOUND,
  kNoBasicConstraints = ASN1X509_ERR_NO_BASIC_CONSTRAINTS,
};

// Outcome of an internal step.
using Status = tokenenrol::Status<Code>;
template <class T>
using Result = tokenenrol::Result<T, Code>;

// Runs `body` (returning Status) at the C boundary: maps allocation
// failure to kNoMemory, writes the code to *err on failure (when err is
// given) and turns the outcome into 0 / -1.
template <class Body>
int32_t Guard(uint32_t *err, Body &&body) noexcept {
  Status status;
  try {
    status = body();
  } catch (const std::bad_alloc &) {
    status = Code::kNoMemory;
  } catch (...) {
    status = Code::kArgument;
  }
  if (status.ok()) {
    return 0;
  }
  if (err != nullptr) {
    *err = static_cast<uint32_t>(status.code());
  }
  return -1;
}

// Every handle object starts with a tag word naming its type, so that a
// handle of the wrong kind (or one already destroyed and reused) is refused
// instead of being misread.
enum class ObjectKind : uint32_t {
  kDead = 0,
  kName = 0x4E414D45,
  kCertificate = 0x43455254,
  kExtensions = 0x45585453,
  kAsn = 0x41534E31,
  kRsaPublic = 0x52534150,
  kRsaPrivate = 0x52534153,
  kPkcs8 = 0x504B4338,
};

}  // namespace asn1x509

// ---- handle objects (the opaque structs named by the header) ----

struct X509NameObject {
  asn1x509::ObjectKind kind = asn1x509::ObjectKind::kName;
  // Set for the issuer and subject objects that a certificate owns: those
  // go away with the certificate and refuse a destroy of their own.
  bool ownedByCertificate = false;

  struct Rdn {
    uint32_t first;  // index of the first AVA in `avas`
    uint32_t count;
  };
  std::vector<Rdn> rdns;
  // AVA records; a deque so that records handed out stay in place while
  // AVAs are appended.  The AVAs of one RDN are contiguous (AVAs are only
  // ever added to the last RDN).
  std::deque<X509AVA> avas;

  // The decoded input, unchanged; values of decoded AVAs point into it.
  std::vector<uint8_t> input;
  // Arcs of the decoded AVAs; filled once per decode, never grown later.
  std::vector<int32_t> decodedArcs;
  // Copies of the types and values of AVAs added later; each block stays in
  // place until the object is reloaded or destroyed.
  std::deque<std::vector<int32_t>> addedArcs;
  std::deque<std::vector<uint8_t>> addedValues;

  // Encodings handed out by GetPduDER after a change; older ones are kept
  // because callers may still hold them.
  std::deque<std::vector<uint8_t>> encodings;
  bool modified = false;  // content differs from `input`
  bool encodingCurrent = false;

  void Clear();
  [[nodiscard]] asn1x509::Status Decode(std::span<const uint8_t> bytes);
  [[nodiscard]] asn1x509::Status Der(Pdu *out);
  [[nodiscard]] asn1x509::Status AddRdn();
  [[nodiscard]] asn1x509::Status AddAva(const X509AVA &record);
};

struct X509ExtObject {
  asn1x509::ObjectKind kind = asn1x509::ObjectKind::kExtensions;
  std::vector<X509Extension> extensions;
  std::vector<int32_t> arcs;
};

struct X509CertObject {
  asn1x509::ObjectKind kind = asn1x509::ObjectKind::kCertificate;
  bool loaded = false;
  std::vector<uint8_t> der;
  std::vector<int32_t> arcs;  // arcs of the two algorithm identifiers
  X509CertParam param{};
  X509NameObject issuer;
  X509NameObject subject;
  X509ExtObject extensions;
  bool hasExtensions = false;

  X509CertObject() {
    issuer.ownedByCertificate = true;
    subject.ownedByCertificate = true;
  }
};

struct AsnObject {
  asn1x509::ObjectKind kind = asn1x509::ObjectKind::kAsn;
  enum class State { kClosed, kOpenFromMemory, kOpenNew } state = State::kClosed;
  const AsnTypeDesc *type = nullptr;
  asn1x509::der::Input source;  // caller's bytes (kOpenFromMemory)
  bool hasValue = false;        // decoded or set
  uint32_t selected = 0;        // 1-based alternative of a CHOICE
  const unsigned char *content = nullptr;
  uint32_t contentLength = 0;
  std::vector<uint8_t> owned;  // value set with AsnSetOctDER
};

struct PKCS1RSAPublicKeyObject {
  asn1x509::ObjectKind kind = asn1x509::ObjectKind::kRsaPublic;
  bool loaded = false;
  platform::SecureBuffer der;  // wiped before release
  PKCS1RSAPublicKeyParam param{};
};

struct PKCS1RSAPrivateKeyObject {
  asn1x509::ObjectKind kind = asn1x509::ObjectKind::kRsaPrivate;
  bool loaded = false;
  platform::SecureBuffer der;  // wiped before release
  PKCS1RSAPrivateKeyParam param{};
};

struct PKCS8PrivateKeyInfoObject {
  asn1x509::ObjectKind kind = asn1x509::ObjectKind::kPkcs8;
  bool loaded = false;
  platform::SecureBuffer der;  // wiped before release
  asn1x509::der::Input privateKey;  // contents of the privateKey OCTET STRING
};

namespace asn1x509 {

template <class T>
bool IsLive(const T *object, ObjectKind expected) {
  return object != nullptr && object->kind == expected;
}

// Creates a handle object; kNoMemory when allocation fails.
template <class T>
[[nodiscard]] Status CreateObject(T **out) {
  if (out == nullptr) {
    return Code::kArgument;
  }
  T *object = new (std::nothrow) T();
  if (object == nullptr) {
    return Code::kNoMemory;
  }
  *out = object;
  return Code::kOk;
}

// Destroys a handle object made by CreateObject.
template <class T>
void DestroyObject(T *object) {
  object->kind = ObjectKind::kDead;
  delete object;
}

}  // namespace asn1x509

#endif  // ASN1X509_SRC_INTERNAL_H_
