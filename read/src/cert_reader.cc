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

int32_t CSmartCardReaderForCertRead::ReadCertificates() {
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

  int32_t result = LoadPkcs11Module();
  if (result != 0) return result;
  result = OpenTokenSession();
  if (result != 0) return result;
  CK_FUNCTION_LIST_PTR functions = GetFunctionListPtr();
  CK_SESSION_HANDLE session = GetSessionHandle();
  result = FindAllObjects(handles.data(), kHandleCapacity, &found);
  if (result != 0) return result;
  found = std::clamp<int32_t>(found, 0, kHandleCapacity);
  if (found == 0) {
    SetErrorText(sarnet::msg::kNoObjects);
    return -13;
  }

  uint32_t err = 0;
  if (!name.Create(&err)) {
    SetError(sarnet::msg::kNameCreate, err);
    return -1;
  }
  if (!cert.Create(&err)) {
    SetError(sarnet::msg::kCertCreate, err);
    return -1;
  }
  errno = 0;
  file = platform::File(std::fopen(m_certInfoPath.c_str(), "w"));
  if (!file) {
    SetError(sarnet::msg::kCertFileOpen, static_cast<unsigned>(errno));
    return -1;
  }

  for (int32_t i = 0; i < found; ++i) {
    // Objects without a subject or a value (keys, data objects) cannot even
    // tell their lengths and are passed over quietly; an object whose values
    // cannot be had after their lengths came still counts as a certificate.
    int failedIndex = 0;
    token::AttributeRead read = attrs.Read(functions, session, handles[i], &failedIndex);
    if (read == token::AttributeRead::kUnreadable) continue;
    ++certificateCount;
    if (read == token::AttributeRead::kValuesUnreadable) continue;
    if (read == token::AttributeRead::kNoMemory) {
      SetErrorText(failedIndex == kSubject ? sarnet::msg::kSubjectMemory : sarnet::msg::kValueMemory);
      return -1;
    }

    const Pdu subjectPdu = {attrs.Bytes(kSubject).data(), static_cast<uint32_t>(attrs.Bytes(kSubject).size())};
    if (X509NameObjectSetPduBER(name.get(), &subjectPdu, &err) != 0) {
      SetError(sarnet::msg::kNameSet, err);
      return -1;
    }
    const Pdu valuePdu = {attrs.Bytes(kValue).data(), static_cast<uint32_t>(attrs.Bytes(kValue).size())};
    if (X509CertObjectSetPduBER(cert.get(), &valuePdu, &err) != 0) {
      SetError(sarnet::msg::kCertSet, err);
      return -1;
    }
    X509CertParam record{};
    if (X509CertObjectGetParamUCert(cert.get(), &record, &err) != 0) {
      SetError(sarnet::msg::kCertParam, err);
      return -1;
    }
    uint8_t write = 0;
    result = CheckBasicConstraints(record.extensions, record.extensionCount, &write);
    if (result != 0) return result;
    if (write == 1) {
      result = WriteSubjectLines(name.get(), file.get());
      if (result != 0) return result;
      WriteValidityLine(record.notBefore, file.get());
      WriteValidityLine(record.notAfter, file.get());
      if (std::ferror(file.get()) != 0) {
        // The entry did not reach the file (disk full, size limit): the
        // listing would be incomplete, so it ends here as a failure.
        SetError(sarnet::msg::kCertFileWrite, static_cast<unsigned>(errno));
        return -1;
      }
    }
  }

  if (certificateCount == 0) {
    SetErrorText(sarnet::msg::kNoCertificates);
    return -13;
  }
  // What is still buffered must reach the file too before the listing
  // counts as done.
  errno = 0;
  if (std::fflush(file.get()) != 0 || std::ferror(file.get()) != 0) {
    SetError(sarnet::msg::kCertFileWrite, static_cast<unsigned>(errno));
    return -1;
  }
  errno = 0;
  if (file.Close() != 0) {
    SetError(sarnet::msg::kCertFileWrite, static_cast<unsigned>(errno));
    return -1;
  }
  return 0;
}

int32_t CSmartCardReaderForCertRead::CheckBasicConstraints(X509ExtHandle extensions, uint32_t presence,
                                                           uint8_t *write) {
  *write = 1;
  if (presence == 0) return 0;
  X509BasicConstraints record{};
  uint32_t err = 0;
  if (X509ExtObjectSgetBasicConstraints(extensions, &record, &err) != 0) {
    if (err == ASN1X509_ERR_NO_BASIC_CONSTRAINTS) return 0;
    *write = 0;
    SetError(sarnet::msg::kBasicConstraints, err);
    return -1;
  }
  if (record.cAPresent == 1 && record.cA == 1) *write = 0;
  return 0;
}

int32_t CSmartCardReaderForCertRead::WriteSubjectLines(X509NameHandle name, std::FILE *file) {
  uint32_t err = 0;
  int32_t size = 0;
  if (PARVOX_NameObjToStringLDAP(name, nullptr, &size, &err) != 0) {
    SetError(sarnet::msg::kSubjectText, err);
    return -1;
  }
  ByteBuffer subject(TextBufferSize(size));
  if (!subject) {
    SetErrorText(sarnet::msg::kSubjectTextMemory);
    return -1;
  }
  if (PARVOX_NameObjToStringLDAP(name, reinterpret_cast<char *>(subject.data()), &size, &err) != 0) {
    SetError(sarnet::msg::kSubjectText, err);
    return -1;
  }

  const X509AVA *ava = nullptr;
  int32_t result = GetCommonNameAVA(name, &ava);
  if (result != 0) return result;
  if (ava == nullptr) {
    std::fprintf(file, "%s\n%s\n", reinterpret_cast<const char *>(subject.data()), "");
    return 0;
  }

  const Pdu value = {ava->value, ava->valueLength};
  int32_t room = 0;
  if (PARVOX_DirectStringDecode(&value, nullptr, &room, kCommonNameMode, &err) != 0) {
    SetError(sarnet::msg::kCommonNameDecode, err);
    return -1;
  }
  ByteBuffer commonName(TextBufferSize(room));
  if (!commonName) {
    SetErrorText(sarnet::msg::kCommonNameMemory);
    return -1;
  }
  unsigned char *cursor = commonName.data();
  room = static_cast<int32_t>(commonName.size() - 1);
  if (PARVOX_DirectStringDecode(&value, &cursor, &room, kCommonNameMode, &err) != 0) {
    SetError(sarnet::msg::kCommonNameDecode, err);
    return -1;
  }
  std::fprintf(file, "%s\n%s\n", reinterpret_cast<const char *>(subject.data()),
               reinterpret_cast<const char *>(commonName.data()));
  return 0;
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
