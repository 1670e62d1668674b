#include "sarnet/cert_reader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "parvox/parvox.h"
#include "platform/text.h"
#include "sarnet/messages.h"
#include "token/attribute_values.h"
#include "token/library_objects.h"

namespace {

// Output mode of the common-name line: UTF-8, DN-escaped for the Unicode
// string types, the stored bytes for printableString and teletexString.
constexpr int32_t kCommonNameMode = 8;

constexpr size_t kValidityBufferSize = 32;

// What is read of every object: its subject and its value.
enum { kSubject = 0, kValue = 1 };
constexpr std::array<CK_ATTRIBUTE_TYPE, 2> kListingTemplate = {CKA_SUBJECT, CKA_VALUE};

using token::CertObject;
using token::NameObject;
using token::Outcome;

// A zero-filled byte buffer whose allocation may fail without throwing.
class ByteBuffer {
 public:
  // Sizes beyond what a PDU length can describe are refused like a failed
  // allocation.
  explicit ByteBuffer(uint64_t size) {
    if (size > UINT32_MAX) return;
    data_.reset(new (std::nothrow) unsigned char[static_cast<size_t>(size)]());
    if (data_) size_ = static_cast<size_t>(size);
  }
  explicit operator bool() const { return data_ != nullptr; }
  unsigned char *data() { return data_.get(); }
  size_t size() const { return size_; }

 private:
  std::unique_ptr<unsigned char[]> data_;
  size_t size_ = 0;
};

// Closes the token on every way out of the listing.
class TokenCloser {
 public:
  explicit TokenCloser(CSmartCardReader &reader) : reader_(reader) {}
  ~TokenCloser() { reader_.CloseToken(); }
  TokenCloser(const TokenCloser &) = delete;
  TokenCloser &operator=(const TokenCloser &) = delete;

 private:
  CSmartCardReader &reader_;
};

// Size answers of the text queries are never negative; a text size of
// n needs n + 1 bytes so that the text stays terminated.
uint64_t TextBufferSize(int32_t size) { return static_cast<uint64_t>(std::max<int32_t>(size, 0)) + 1; }

}  // namespace

CSmartCardReaderForCertRead::CSmartCardReaderForCertRead() {
  // The listing never writes: a write-protected token is read through a
  // read-only session.
  m_readOnlySessionAllowed = true;
}

CSmartCardReaderForCertRead::~CSmartCardReaderForCertRead() = default;

Outcome CSmartCardReaderForCertRead::ReadCertificates(const std::string &modulePath) {
  std::array<CK_OBJECT_HANDLE, kHandleCapacity> handles{};
  int32_t found = 0;
  int32_t certificateCount = 0;

  // Released in the reverse order: the file first, then the name and the
  // certificate object, the token last.
  TokenCloser closer(*this);
  CertObject cert;
  NameObject name;
  platform::File file;
  token::AttributeValues<2> attrs(kListingTemplate);

  if (Outcome bound = LoadPkcs11Module(modulePath); !bound.ok()) return bound;
  if (Outcome session = OpenTokenSession(); !session.ok()) return session;
  if (Outcome listed = FindAllObjects(handles, &found); !listed.ok()) return listed;
  found = std::clamp<int32_t>(found, 0, kHandleCapacity);
  if (found == 0) {
    return Outcome::FailureText(-13, sarnet::msg::kNoObjects);
  }

  uint32_t err = 0;
  if (!name.Create(&err)) {
    return Outcome::Failure(-1, sarnet::msg::kNameCreate, err);
  }
  if (!cert.Create(&err)) {
    return Outcome::Failure(-1, sarnet::msg::kCertCreate, err);
  }
  errno = 0;
  file = platform::File(std::fopen(m_certInfoPath.c_str(), "w"));
  if (!file) {
    return Outcome::Failure(-1, sarnet::msg::kCertFileOpen, static_cast<unsigned>(errno));
  }

  for (int32_t i = 0; i < found; ++i) {
    // Objects without a subject or a value (keys, data objects) cannot even
    // tell their lengths and are passed over quietly; an object whose values
    // cannot be had after their lengths came still counts as a certificate.
    token::AttributeRead read = attrs.Read(*this, handles[i]);
    if (read == token::AttributeRead::kUnreadable) continue;
    ++certificateCount;
    if (read == token::AttributeRead::kValuesUnreadable) continue;
    if (read == token::AttributeRead::kNoMemory) {
      return Outcome::FailureText(-1, read.index == kSubject ? sarnet::msg::kSubjectMemory : sarnet::msg::kValueMemory);
    }

    const Pdu subjectPdu = {attrs.Bytes(kSubject).data(), static_cast<uint32_t>(attrs.Bytes(kSubject).size())};
    if (X509NameObjectSetPduBER(name.get(), &subjectPdu, &err) != 0) {
      return Outcome::Failure(-1, sarnet::msg::kNameSet, err);
    }
    const Pdu valuePdu = {attrs.Bytes(kValue).data(), static_cast<uint32_t>(attrs.Bytes(kValue).size())};
    if (X509CertObjectSetPduBER(cert.get(), &valuePdu, &err) != 0) {
      return Outcome::Failure(-1, sarnet::msg::kCertSet, err);
    }
    X509CertParam record{};
    if (X509CertObjectGetParamUCert(cert.get(), &record, &err) != 0) {
      return Outcome::Failure(-1, sarnet::msg::kCertParam, err);
    }
    uint8_t write = 0;
    if (Outcome checked = CheckBasicConstraints(record.extensions, record.extensionCount, &write); !checked.ok()) {
      return checked;
    }
    if (write == 1) {
      if (Outcome written = WriteSubjectLines(name.get(), file.get()); !written.ok()) return written;
      WriteValidityLine(record.notBefore, file.get());
      WriteValidityLine(record.notAfter, file.get());
      if (std::ferror(file.get()) != 0) {
        // The entry did not reach the file (disk full, size limit): the
        // listing would be incomplete, so it ends here as a failure.
        return Outcome::Failure(-1, sarnet::msg::kCertFileWrite, static_cast<unsigned>(errno));
      }
    }
  }

  if (certificateCount == 0) {
    return Outcome::FailureText(-13, sarnet::msg::kNoCertificates);
  }
  // What is still buffered must reach the file too before the listing
  // counts as done.
  errno = 0;
  if (std::fflush(file.get()) != 0 || std::ferror(file.get()) != 0) {
    return Outcome::Failure(-1, sarnet::msg::kCertFileWrite, static_cast<unsigned>(errno));
  }
  errno = 0;
  if (file.Close() != 0) {
    return Outcome::Failure(-1, sarnet::msg::kCertFileWrite, static_cast<unsigned>(errno));
  }
  return {};
}

Outcome CSmartCardReaderForCertRead::CheckBasicConstraints(X509ExtHandle extensions, uint32_t presence,
                                                           uint8_t *write) {
  *write = 1;
  if (presence == 0) return {};
  X509BasicConstraints record{};
  uint32_t err = 0;
  if (X509ExtObjectSgetBasicConstraints(extensions, &record, &err) != 0) {
    if (err == ASN1X509_ERR_NO_BASIC_CONSTRAINTS) return {};
    *write = 0;
    return Outcome::Failure(-1, sarnet::msg::kBasicConstraints, err);
  }
  if (record.cAPresent == 1 && record.cA == 1) *write = 0;
  return {};
}

Outcome CSmartCardReaderForCertRead::WriteSubjectLines(X509NameHandle name, std::FILE *file) {
  uint32_t err = 0;
  int32_t size = 0;
  if (PARVOX_NameObjToStringLDAP(name, nullptr, &size, &err) != 0) {
    return Outcome::Failure(-1, sarnet::msg::kSubjectText, err);
  }
  ByteBuffer subject(TextBufferSize(size));
  if (!subject) {
    return Outcome::FailureText(-1, sarnet::msg::kSubjectTextMemory);
  }
  if (PARVOX_NameObjToStringLDAP(name, reinterpret_cast<char *>(subject.data()), &size, &err) != 0) {
    return Outcome::Failure(-1, sarnet::msg::kSubjectText, err);
  }

  const X509AVA *ava = nullptr;
  if (Outcome found = token::GetCommonNameAVA(name, &ava); !found.ok()) return found;
  if (ava == nullptr) {
    std::fprintf(file, "%s\n%s\n", reinterpret_cast<const char *>(subject.data()), "");
    return {};
  }

  const Pdu value = {ava->value, ava->valueLength};
  int32_t room = 0;
  if (PARVOX_DirectStringDecode(&value, nullptr, &room, kCommonNameMode, &err) != 0) {
    return Outcome::Failure(-1, sarnet::msg::kCommonNameDecode, err);
  }
  ByteBuffer commonName(TextBufferSize(room));
  if (!commonName) {
    return Outcome::FailureText(-1, sarnet::msg::kCommonNameMemory);
  }
  unsigned char *cursor = commonName.data();
  room = static_cast<int32_t>(commonName.size() - 1);
  if (PARVOX_DirectStringDecode(&value, &cursor, &room, kCommonNameMode, &err) != 0) {
    return Outcome::Failure(-1, sarnet::msg::kCommonNameDecode, err);
  }
  std::fprintf(file, "%s\n%s\n", reinterpret_cast<const char *>(subject.data()),
               reinterpret_cast<const char *>(commonName.data()));
  return {};
}

void CSmartCardReaderForCertRead::WriteValidityLine(const X509Time &time, std::FILE *file) {
  char text[kValidityBufferSize] = {};
  size_t length = 0;
  if (time.kind == X509_TIME_UTC) {
    text[0] = '2';
    text[1] = '0';
    length = 2;
  }
  // Longer time texts than DER allows are cut to the buffer, never beyond.
  const size_t room = sizeof text - 1 - length;
  const size_t count = time.chars != nullptr ? std::min<size_t>(time.count, room) : 0;
  if (count > 0) std::memcpy(text + length, time.chars, count);
  length += count;
  if (length > 0 && text[length - 1] == 'Z') --length;
  text[length] = '\0';
  std::fprintf(file, "%s\n", text);
}
