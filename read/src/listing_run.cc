#include "sarnet/listing_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "parvox/parvox.h"
#include "sarnet/messages.h"
#include "token/attribute_values.h"

namespace sarnet {

namespace {

using token::kFailure;

// The object library and Parvox answer through a return value and an error
// code out-parameter: that is their C interface, turned into an Outcome
// where it is called.

// Output mode of the common-name line: UTF-8, DN-escaped for the Unicode
// string types, the stored bytes for printableString and teletexString.
constexpr int32_t kCommonNameMode = 8;

// What is read of every object: its subject and its value.
enum { kSubject = 0, kValue = 1 };
constexpr std::array<CK_ATTRIBUTE_TYPE, 2> kListingTemplate = {CKA_SUBJECT, CKA_VALUE};

// Size answers of the text queries are never negative; a text size of
// n needs n + 1 bytes so that the text stays terminated.
uint64_t TextBufferSize(int32_t size) { return static_cast<uint64_t>(std::max<int32_t>(size, 0)) + 1; }

// The subject of `entry` in LDAP form and its first commonName.
Outcome MakeSubjectTexts(X509NameHandle name, Entry *entry) {
  uint32_t err = 0;
  int32_t size = 0;
  if (PARVOX_NameObjToStringLDAP(name, nullptr, &size, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kSubjectText, err);
  }
  entry->subject = Text(TextBufferSize(size));
  if (!entry->subject) {
    return Outcome::FailureText(kFailure, msg::kSubjectTextMemory);
  }
  if (PARVOX_NameObjToStringLDAP(name, reinterpret_cast<char *>(entry->subject.data()), &size, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kSubjectText, err);
  }

  const X509AVA *ava = nullptr;
  if (Outcome found = token::GetCommonNameAVA(name, &ava); !found.ok()) return found;
  // Without a commonName the line stays empty.
  if (ava == nullptr) return {};

  const Pdu value = {ava->value, ava->valueLength};
  int32_t room = 0;
  if (PARVOX_DirectStringDecode(&value, nullptr, &room, kCommonNameMode, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kCommonNameDecode, err);
  }
  entry->commonName = Text(TextBufferSize(room));
  if (!entry->commonName) {
    return Outcome::FailureText(kFailure, msg::kCommonNameMemory);
  }
  unsigned char *cursor = entry->commonName.data();
  room = static_cast<int32_t>(entry->commonName.size() - 1);
  if (PARVOX_DirectStringDecode(&value, &cursor, &room, kCommonNameMode, &err) != 0) {
    return Outcome::Failure(kFailure, msg::kCommonNameDecode, err);
  }
  return {};
}

}  // namespace

Text::Text(uint64_t size) {
  if (size > UINT32_MAX) return;
  data_.reset(new (std::nothrow) unsigned char[static_cast<size_t>(size)]());
  if (data_) size_ = static_cast<size_t>(size);
}

ValidityText ValidityLine(const X509Time &time) {
  ValidityText text{};
  size_t length = 0;
  if (time.kind == X509_TIME_UTC) {
    text[0] = '2';
    text[1] = '0';
    length = 2;
  }
  // Longer time texts than DER allows are cut to the buffer, never beyond.
  const size_t room = text.size() - 1 - length;
  const size_t count = time.chars != nullptr ? std::min<size_t>(time.count, room) : 0;
  if (count > 0) std::memcpy(text.data() + length, time.chars, count);
  length += count;
  if (length > 0 && text[length - 1] == 'Z') --length;
  text[length] = '\0';
  return text;
}

Outcome AppendEntry(X509NameHandle name, const X509CertParam &record, std::vector<Entry> *entries) {
  if (record.extensionCount != 0) {
    X509BasicConstraints constraints{};
    uint32_t err = 0;
    if (X509ExtObjectSgetBasicConstraints(record.extensions, &constraints, &err) == 0) {
      // A CA certificate gets no entry.
      if (constraints.cAPresent == 1 && constraints.cA == 1) return {};
    } else if (err != ASN1X509_ERR_NO_BASIC_CONSTRAINTS) {
      return Outcome::Failure(kFailure, msg::kBasicConstraints, err);
    }
  }
  Entry entry;
  if (Outcome made = MakeSubjectTexts(name, &entry); !made.ok()) return made;
  entry.notBefore = ValidityLine(record.notBefore);
  entry.notAfter = ValidityLine(record.notAfter);
  entries->push_back(std::move(entry));
  return {};
}

ListingRun::ListingRun(CSmartCardReader &reader, std::string certInfoPath)
    : reader_(reader), certInfoPath_(std::move(certInfoPath)) {}

void ListingRun::RemoveEarlierFile() const {
  struct stat st {};
  if (stat(certInfoPath_.c_str(), &st) == 0) (void)unlink(certInfoPath_.c_str());
}

Outcome ListingRun::Run(const std::string &modulePath) {
  // On every way out the file is closed first, the token last.
  auto closeAll = [](ListingRun *run) {
    run->file_.Close();
    run->reader_.CloseToken();
  };
  const std::unique_ptr<ListingRun, decltype(closeAll)> end(this, closeAll);

  if (Outcome found = FindObjects(modulePath); !found.ok()) return found;
  // The file is created (or emptied) once there are objects to list and
  // before the first is read.
  if (Outcome opened = OpenFile(); !opened.ok()) return opened;
  std::vector<Entry> entries;
  Outcome listed = ListEntries(&entries);
  // The entries listed before a failure still go into the file; a write
  // that fails is the failure of the run.
  if (Outcome written = WriteEntries(entries); !written.ok()) return written;
  if (!listed.ok()) return listed;
  return CloseFile();
}

Outcome ListingRun::FindObjects(const std::string &modulePath) {
  if (Outcome bound = reader_.LoadPkcs11Module(modulePath); !bound.ok()) return bound;
  if (Outcome session = reader_.OpenTokenSession(); !session.ok()) return session;
  if (Outcome listed = reader_.FindAllObjects(handles_, &found_); !listed.ok()) return listed;
  found_ = std::clamp<int32_t>(found_, 0, kHandleCapacity);
  if (found_ == 0) {
    return Outcome::FailureText(-13, msg::kNoObjects);
  }
  uint32_t err = 0;
  if (!name_.Create(&err)) {
    return Outcome::Failure(kFailure, msg::kNameCreate, err);
  }
  if (!cert_.Create(&err)) {
    return Outcome::Failure(kFailure, msg::kCertCreate, err);
  }
  return {};
}

Outcome ListingRun::ListEntries(std::vector<Entry> *entries) {
  token::AttributeValues<2> attrs(kListingTemplate);
  int32_t certificateCount = 0;
  entries->reserve(static_cast<size_t>(found_));
  for (CK_OBJECT_HANDLE handle : std::span(handles_).first(static_cast<size_t>(found_))) {
    // Objects without a subject or a value (keys, data objects) cannot even
    // tell their lengths and are passed over quietly; an object whose values
    // cannot be had after their lengths came still counts as a certificate.
    token::AttributeRead read = attrs.Read(reader_, handle);
    if (read == token::AttributeRead::kUnreadable) continue;
    ++certificateCount;
    if (read == token::AttributeRead::kValuesUnreadable) continue;
    if (read == token::AttributeRead::kNoMemory) {
      return Outcome::FailureText(kFailure, read.index == kSubject ? msg::kSubjectMemory : msg::kValueMemory);
    }

    uint32_t err = 0;
    const Pdu subjectPdu = {attrs.Bytes(kSubject).data(), static_cast<uint32_t>(attrs.Bytes(kSubject).size())};
    if (X509NameObjectSetPduBER(name_.get(), &subjectPdu, &err) != 0) {
      return Outcome::Failure(kFailure, msg::kNameSet, err);
    }
    const Pdu valuePdu = {attrs.Bytes(kValue).data(), static_cast<uint32_t>(attrs.Bytes(kValue).size())};
    if (X509CertObjectSetPduBER(cert_.get(), &valuePdu, &err) != 0) {
      return Outcome::Failure(kFailure, msg::kCertSet, err);
    }
    X509CertParam record{};
    if (X509CertObjectGetParamUCert(cert_.get(), &record, &err) != 0) {
      return Outcome::Failure(kFailure, msg::kCertParam, err);
    }
    if (Outcome appended = AppendEntry(name_.get(), record, entries); !appended.ok()) return appended;
  }
  if (certificateCount == 0) {
    return Outcome::FailureText(-13, msg::kNoCertificates);
  }
  return {};
}

Outcome ListingRun::OpenFile() {
  errno = 0;
  // Only a regular file is written, and the open never blocks.
  file_ = platform::CreateRegularFile(certInfoPath_.c_str());
  if (!file_) {
    return Outcome::Failure(kFailure, msg::kCertFileOpen, static_cast<unsigned>(errno));
  }
  return {};
}

Outcome ListingRun::WriteEntries(const std::vector<Entry> &entries) {
  for (const Entry &entry : entries) {
    // The code in the message is this entry's, not an earlier call's.
    errno = 0;
    std::fprintf(file_.get(), "%s\n%s\n", entry.subject.c_str(), entry.commonName.c_str());
    std::fprintf(file_.get(), "%s\n", entry.notBefore.data());
    std::fprintf(file_.get(), "%s\n", entry.notAfter.data());
    if (std::ferror(file_.get()) != 0) {
      // The entry did not reach the file (disk full, size limit): the
      // listing would be incomplete, so it ends here as a failure.
      return Outcome::Failure(kFailure, msg::kCertFileWrite, static_cast<unsigned>(errno));
    }
  }
  return {};
}

Outcome ListingRun::CloseFile() {
  // What is still buffered must reach the file too before the listing
  // counts as done.
  errno = 0;
  if (std::fflush(file_.get()) != 0 || std::ferror(file_.get()) != 0) {
    return Outcome::Failure(kFailure, msg::kCertFileWrite, static_cast<unsigned>(errno));
  }
  errno = 0;
  if (!file_.Close()) {
    return Outcome::Failure(kFailure, msg::kCertFileWrite, static_cast<unsigned>(errno));
  }
  return {};
}

}  // namespace sarnet
