// The read program's token object: the token access layer plus the
// listing of the token's end-entity certificates into the certificate
// information file.
#ifndef SARNET_CERT_READER_H_
#define SARNET_CERT_READER_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "asn1x509/asn1x509.h"
#include "token/smart_card_reader.h"

class CSmartCardReaderForCertRead : public CSmartCardReader {
 public:
  // Handles considered from one object search.
  static constexpr int32_t kHandleCapacity = 512;

  CSmartCardReaderForCertRead();
  ~CSmartCardReaderForCertRead() override;
  CSmartCardReaderForCertRead(const CSmartCardReaderForCertRead &) = delete;
  CSmartCardReaderForCertRead &operator=(const CSmartCardReaderForCertRead &) = delete;

  // Binds the module named `modulePath`, opens a session without logging
  // in, and writes four lines for every end-entity certificate on the
  // token into m_certInfoPath.  Fails with -1, -8, -9, -10 or -13.  The
  // token is closed before it returns.
  token::Outcome ReadCertificates(const std::string &modulePath);

  // Sets *write to 1 when the certificate gets an entry (no basicConstraints
  // or cA not true), 0 for a CA certificate.  Fails with -1.
  token::Outcome CheckBasicConstraints(X509ExtHandle extensions, uint32_t presence, uint8_t *write);

  // Writes the LDAP-form subject and the first commonName, one line each.
  // Fails with -1 (or GetCommonNameAVA's code).
  token::Outcome WriteSubjectLines(X509NameHandle name, std::FILE *file);

  // Writes one validity time as its digits: a UTCTime gets the century
  // "20", a final "Z" is dropped.
  void WriteValidityLine(const X509Time &time, std::FILE *file);

  // Full path of the certificate information file.
  std::string m_certInfoPath;
};

#endif  // SARNET_CERT_READER_H_
