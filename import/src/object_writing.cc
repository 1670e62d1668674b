// The new objects on the token: the identifier text shared by a key pair
// and its certificate, and the private key, public key and certificate
// objects, each created from one fixed attribute template.
#include <cerrno>
#include <ctime>
#include <iterator>
#include <string>
#include <utility>
#include <array>
#include <span>
#include <string_view>

#include "import_messages.h"
#include "import_run.h"
#include "library_objects.h"
#include "platform/clock_random.h"
#include "platform/text.h"

namespace velkor {

namespace {

// The identifier text is formatted into at most this many bytes with its
// terminating zero.
constexpr size_t kIdentifierRoom = 128;

// An empty value still points somewhere: some tokens refuse a null pointer
// even with length 0.
const unsigned char kNothing[1] = {0};

CK_ATTRIBUTE Bytes(CK_ATTRIBUTE_TYPE type, const void *data, size_t length) {
  return CK_ATTRIBUTE{type, const_cast<void *>(data != nullptr ? data : kNothing), static_cast<CK_ULONG>(length)};
}
CK_ATTRIBUTE Bytes(CK_ATTRIBUTE_TYPE type, const Pdu &pdu) { return Bytes(type, pdu.data, pdu.length); }
CK_ATTRIBUTE Empty(CK_ATTRIBUTE_TYPE type) { return Bytes(type, nullptr, 0); }
template <typename T>
CK_ATTRIBUTE Value(CK_ATTRIBUTE_TYPE type, const T &value) {
  return Bytes(type, &value, sizeof value);
}

const CK_OBJECT_CLASS kPrivateKeyClass = CKO_PRIVATE_KEY;
const CK_OBJECT_CLASS kPublicKeyClass = CKO_PUBLIC_KEY;
const CK_OBJECT_CLASS kCertificateClass = CKO_CERTIFICATE;
const CK_KEY_TYPE kRsa = CKK_RSA;
const CK_CERTIFICATE_TYPE kX509 = CKC_X_509;
const CK_BBOOL kTrue = CK_TRUE;
const CK_BBOOL kFalse = CK_FALSE;

// The certificate's parameters and the DER of its subject, as every writer
// needs them.
Outcome ReadCertificateSubject(const FileCertificate &cert, Pdu *subject) {
  if (!cert.params.ok()) return cert.params;
  uint32_t err = 0;
  if (X509NameObjectGetPduDER(cert.param.subject, subject, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kCertSubject, err);
  }
  return {};
}

// Draws tried before an identifier that is free on the token (and differs
// from the run's other one) is given up: the generator's next numbers
// differ long before that.
constexpr unsigned kMaxDraws = 64;

}  // namespace

Outcome ImportRun::ProductCKA_ID(unsigned draw, std::string *identifier) {
  std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) return Outcome::FailureText(kFailure, msg::kIdTime);
  std::tm local{};
  errno = 0;
  if (localtime_r(&now, &local) == nullptr) {
    return Outcome::Failure(kFailure, msg::kIdLocalTime, static_cast<unsigned>(errno));
  }
  int random = platform::ClockRandom(now, draw);
  std::array<char, kIdentifierRoom> text{};
  platform::FormatBounded(text.data(), text.size(), "%04d%02d%02d%02d%02d%02d%d\n", local.tm_year + 1900,
                          local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, random);
  identifier->assign(text.data());
  return {};
}

Outcome ImportRun::MakeIdentifier(std::string_view mustDiffer, bool freeOnToken, std::string *identifier) {
  std::string made;
  for (unsigned draw = 1; draw <= kMaxDraws; ++draw) {
    if (Outcome formatted = ProductCKA_ID(draw, &made); !formatted.ok()) return formatted;
    if (!mustDiffer.empty() && mustDiffer == made) continue;
    // The text comes from the clock: another application's objects (or an
    // earlier run's) may carry it already, and new objects beside them
    // would be paired with them.
    if (freeOnToken) {
      bool inUse = false;
      const auto *bytes = reinterpret_cast<const unsigned char *>(made.data());
      CK_RV rv = r_.IdentifierInUse({bytes, made.size()}, &inUse);
      if (rv != CKR_OK) return Outcome::Failure(kFailure, msg::kIdSearch, static_cast<unsigned>(rv));
      if (inUse) continue;
    }
    *identifier = std::move(made);
    return {};
  }
  return Outcome::FailureText(kFailure, msg::kIdAllTaken);
}

CK_RV ImportRun::CreateRunObject(std::span<CK_ATTRIBUTE> tmpl, CK_OBJECT_CLASS objectClass,
                                 std::string_view identifier) {
  CK_OBJECT_HANDLE created = 0;
  CK_RV rv = r_.CreateObject(tmpl, &created);
  if (rv != CKR_OK) {
    createRefused_ = true;
    return rv;
  }
  if (createdCount_ < kMaxCreatedObjects) {
    created_[static_cast<size_t>(createdCount_++)] = {created, objectClass, std::string(identifier)};
  }
  return CKR_OK;
}

Outcome ImportRun::WritePrivateKeyObject(PKCS1RSAPrivateKeyHandle key, const FileCertificate &cert,
                                         std::string_view identifier) {
  uint32_t err = 0;
  Pdu subject{nullptr, 0};
  const bool defaultModule = plan_.changes.moduleKind == 1;
  const std::string_view keyLabel = plan_.KeyLabel();
  // Only keys for the default module carry the certificate's subject.
  if (defaultModule) {
    if (Outcome read = ReadCertificateSubject(cert, &subject); !read.ok()) return read;
  }
  PKCS1RSAPrivateKeyParam k{};
  if (PKCS1RSAPrivateKeyObjectGetParam(key, &k, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kPrivateKeyParam, err);
  }
  CK_ATTRIBUTE tmpl[] = {
      Value(CKA_CLASS, kPrivateKeyClass),
      Value(CKA_KEY_TYPE, kRsa),
      Value(CKA_TOKEN, kTrue),
      Value(CKA_PRIVATE, kTrue),
      Value(CKA_MODIFIABLE, kTrue),
      // The private parts never leave the token again, whatever its
      // defaults are.
      Value(CKA_SENSITIVE, kTrue),
      Value(CKA_EXTRACTABLE, kFalse),
      Bytes(CKA_LABEL, keyLabel.data(), keyLabel.size()),
      defaultModule ? Bytes(CKA_SUBJECT, subject) : Empty(CKA_SUBJECT),
      Bytes(CKA_MODULUS, k.modulus),
      Bytes(CKA_PUBLIC_EXPONENT, k.publicExponent),
      Bytes(CKA_PRIVATE_EXPONENT, k.privateExponent),
      Bytes(CKA_PRIME_1, k.prime1),
      Bytes(CKA_PRIME_2, k.prime2),
      Bytes(CKA_EXPONENT_1, k.exponent1),
      Bytes(CKA_EXPONENT_2, k.exponent2),
      Bytes(CKA_COEFFICIENT, k.coefficient),
      Bytes(CKA_ID, identifier.data(), identifier.size()),
      // The usages of the public half written beside it.  Without them a
      // smart card's stack derives the key's usage on its own and may make
      // it sign-only, so that it cannot decrypt what its certificate says
      // it may.
      Value(CKA_SIGN, kTrue),
      Value(CKA_DECRYPT, kTrue),
      Value(CKA_UNWRAP, kTrue),
  };
  static_assert(std::size(tmpl) == 21);
  // The template pointed into the key object only; nothing to wipe here.
  CK_RV rv = CreateRunObject(tmpl, kPrivateKeyClass, identifier);
  if (rv != CKR_OK) return Outcome::Failure(kFailure, msg::kPrivateKeyWrite, static_cast<unsigned>(rv));
  return {};
}

Outcome ImportRun::WritePublicKeyObject(const FileCertificate &cert, std::string_view identifier) {
  uint32_t err = 0;
  Pdu subject{nullptr, 0};
  const bool defaultModule = plan_.changes.moduleKind == 1;
  const std::string_view keyLabel = plan_.KeyLabel();
  if (Outcome read = ReadCertificateSubject(cert, &subject); !read.ok()) return read;
  const X509CertParam &param = cert.param;
  Pkcs1PublicKeyObject publicKey;
  if (!publicKey.Create(&err)) return Outcome::Failure(kFailure, msg::kPublicKeyCreate, err);
  Pdu keyPdu{param.subjectPublicKey.bits, param.subjectPublicKey.bitLength / 8};
  if (PKCS1RSAPublicKeyObjectSetPduBER(publicKey.get(), &keyPdu, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kPublicKeySet, err);
  }
  PKCS1RSAPublicKeyParam k{};
  if (PKCS1RSAPublicKeyObjectGetParam(publicKey.get(), &k, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kPublicKeyParam, err);
  }
  CK_ATTRIBUTE tmpl[] = {
      Value(CKA_CLASS, kPublicKeyClass),
      Value(CKA_KEY_TYPE, kRsa),
      Value(CKA_TOKEN, kTrue),
      Value(CKA_PRIVATE, kFalse),
      Value(CKA_MODIFIABLE, kTrue),
      Bytes(CKA_LABEL, keyLabel.data(), keyLabel.size()),
      defaultModule ? Bytes(CKA_SUBJECT, subject) : Empty(CKA_SUBJECT),
      Value(CKA_ENCRYPT, kTrue),
      Value(CKA_VERIFY, kTrue),
      Value(CKA_VERIFY_RECOVER, defaultModule ? kFalse : kTrue),
      Bytes(CKA_ID, identifier.data(), identifier.size()),
      Value(CKA_WRAP, kTrue),
      Bytes(CKA_MODULUS, k.modulus),
      Bytes(CKA_PUBLIC_EXPONENT, k.publicExponent),
  };
  static_assert(std::size(tmpl) == 14);
  CK_RV rv = CreateRunObject(tmpl, kPublicKeyClass, identifier);
  if (rv != CKR_OK) return Outcome::Failure(kFailure, msg::kPublicKeyWrite, static_cast<unsigned>(rv));
  return {};
}

Outcome ImportRun::WriteCertificateObject(const FileCertificate &cert, std::string_view identifier) {
  uint32_t err = 0;
  Pdu subject{nullptr, 0};
  if (Outcome read = ReadCertificateSubject(cert, &subject); !read.ok()) return read;
  Pdu issuer{nullptr, 0};
  if (X509NameObjectGetPduDER(cert.param.issuer, &issuer, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kCertIssuer, err);
  }
  if (!cert.serialEncoding.ok()) return cert.serialEncoding;
  const EncodedSerial &serial = cert.serial;
  Pdu value{nullptr, 0};
  if (X509CertObjectGetPduDER(cert.object.get(), &value, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kCertEncode, err);
  }
  CK_ATTRIBUTE tmpl[] = {
      Value(CKA_CLASS, kCertificateClass),
      Value(CKA_CERTIFICATE_TYPE, kX509),
      Value(CKA_TOKEN, kTrue),
      Value(CKA_PRIVATE, kFalse),
      Value(CKA_MODIFIABLE, kTrue),
      Bytes(CKA_LABEL, identifier.data(), identifier.size()),
      Bytes(CKA_SUBJECT, subject),
      Bytes(CKA_ISSUER, issuer),
      Bytes(CKA_SERIAL_NUMBER, serial.data(), serial.size()),
      Bytes(CKA_VALUE, value),
      Bytes(CKA_ID, identifier.data(), identifier.size()),
  };
  static_assert(std::size(tmpl) == 11);
  CK_RV rv = CreateRunObject(tmpl, kCertificateClass, identifier);
  if (rv != CKR_OK) {
    return Outcome::Failure(rv == CKR_DEVICE_MEMORY ? -12 : kFailure, msg::kCertWrite, static_cast<unsigned>(rv));
  }
  return {};
}

}  // namespace velkor
