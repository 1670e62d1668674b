// One run of the read program: the end-entity certificates on the token
// listed as entries, then the entries written into the certificate
// information file.  The run owns what it lists and the file it writes;
// the token is reached through the CSmartCardReader the run is given.
// Every step hands back a token::Outcome; the first failure ends the run.
#ifndef SARNET_LISTING_RUN_H_
#define SARNET_LISTING_RUN_H_

#include <p11-kit/pkcs11.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "asn1x509/asn1x509.h"
#include "platform/file.h"
#include "token/library_objects.h"
#include "token/outcome.h"
#include "token/smart_card_reader.h"

namespace sarnet {

using token::Outcome;

// A zero-filled text buffer whose allocation may fail without throwing (a
// buffer that cannot be had is a failure with a message of its own, so it
// is a test, not an exception); an empty one reads as "".
class Text {
 public:
  Text() = default;
  // Sizes beyond what a PDU length can describe are refused like a failed
  // allocation.
  explicit Text(uint64_t size);
  explicit operator bool() const { return data_ != nullptr; }
  unsigned char *data() { return data_.get(); }
  size_t size() const { return size_; }
  // The text up to its first zero byte.
  const char *c_str() const { return data_ ? reinterpret_cast<const char *>(data_.get()) : ""; }

 private:
  std::unique_ptr<unsigned char[]> data_;
  size_t size_ = 0;
};

// One validity time as its line: the digits, a UTCTime with the century
// "20" before them, a final "Z" dropped.
using ValidityText = std::array<char, 32>;
ValidityText ValidityLine(const X509Time &time);

// The four lines of one end-entity certificate.
struct Entry {
  Text subject;     // LDAP form
  Text commonName;  // the first commonName; empty when the subject has none
  ValidityText notBefore{};
  ValidityText notAfter{};
};

// Appends the entry of the certificate `record` with the subject `name`,
// unless it is a CA certificate (basicConstraints with cA true).  Fails
// with -1 (or GetCommonNameAVA's code), `entries` as they were.
Outcome AppendEntry(X509NameHandle name, const X509CertParam &record, std::vector<Entry> *entries);

class ListingRun {
 public:
  // Handles considered from one object search.
  static constexpr int32_t kHandleCapacity = 512;

  // The entries go to the file at `certInfoPath`.
  ListingRun(CSmartCardReader &reader, std::string certInfoPath);
  ListingRun(const ListingRun &) = delete;
  ListingRun &operator=(const ListingRun &) = delete;

  // Deletes the file of an earlier run: its entries never outlive a new
  // run, whatever that finds.  A file that cannot be deleted is found out
  // when it is opened.
  void RemoveEarlierFile() const;

  // Binds the module named `modulePath`, opens a session without logging
  // in, lists the entries and writes them, four lines each.  Fails with
  // -1, -8, -9, -10 or -13.  The token is closed before it returns.
  Outcome Run(const std::string &modulePath);

 private:
  // Binds, opens the session and finds the token's objects; makes the
  // name and certificate objects the listing decodes into.
  Outcome FindObjects(const std::string &modulePath);
  // Reads the subject and value of every object found and appends the
  // entries of its end-entity certificates.  On failure `entries` holds
  // those of the objects before the one that failed.
  Outcome ListEntries(std::vector<Entry> *entries);
  // Opens (creates or truncates) the file; writes entries into it; makes
  // sure everything written reached the file and closes it.
  Outcome OpenFile();
  Outcome WriteEntries(const std::vector<Entry> &entries);
  Outcome CloseFile();

  CSmartCardReader &reader_;
  const std::string certInfoPath_;
  std::array<CK_OBJECT_HANDLE, kHandleCapacity> handles_{};
  int32_t found_ = 0;
  token::CertObject cert_;
  token::NameObject name_;
  platform::File file_;
};

}  // namespace sarnet

#endif  // SARNET_LISTING_RUN_H_
