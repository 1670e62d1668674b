// The PKCS#12 file of one import as the run uses it: opened with its
// password, its keys checked, its certificates told apart (the one with
// the private key, the one without), and each certificate decoded once,
// on first use, with its parameters and its encoded serial number.
#ifndef IMPORT_FILE_CONTENTS_H_
#define IMPORT_FILE_CONTENTS_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "library_objects.h"
#include "pkcs12/pkcs12_archive.h"
#include "platform/secure.h"
#include "token/outcome.h"

namespace velkor {

using token::kFailure;
using token::Outcome;

// One certificate of the file, decoded.  Reading its parameters and
// encoding its serial number may each fail; a step that needs them reports
// that failure (or one of its own), so the failures are kept, not returned.
struct FileCertificate {
  CertObject object;
  X509CertParam param{};
  // Whether `param` was read.
  Outcome params;
  EncodedSerial serial;
  // Whether `serial` holds the encoded serial number (a failure of the
  // parameters is one of the serial number too).
  Outcome serialEncoding;
};

class FileContents {
 public:
  static constexpr int kNone = 9999;  // no certificate of that kind in the file

  FileContents() = default;
  FileContents(const FileContents &) = delete;
  FileContents &operator=(const FileContents &) = delete;

  // Opens the file with `password` (the locale's text with its terminating
  // zero; released once converted, the converted forms once the file is
  // open), checks its keys and tells its certificates apart.  Nothing here
  // reaches a token.
  Outcome Open(uint32_t blobSize, const unsigned char *blob, platform::SecureBuffer &password);

  // Positions of the certificate with its private key and of the one
  // without (kNone where there is none), and how many were told apart.
  int EndEntityPosition() const { return endEntity_; }
  int CaPosition() const { return ca_; }
  int Count() const { return count_; }

  size_t CertificateCount() const { return archive_.CertificateCount(); }
  const std::vector<unsigned char> &CertificateDer(int position) const {
    return archive_.CertificateDer(static_cast<size_t>(position));
  }
  bool HasPrivateKey(int position) const { return archive_.HasPrivateKey(static_cast<size_t>(position)); }
  const Pkcs12Archive &archive() const { return archive_; }

  // The certificate at `position`, decoded on the first call and kept.
  Outcome Certificate(int position, const FileCertificate **cert);

 private:
  Outcome OpenArchive(uint32_t blobSize, const unsigned char *blob, platform::SecureBuffer &password);
  Outcome Classify();

  platform::SecureBuffer widePassword_;
  platform::SecureBuffer utf8Password_;
  Pkcs12Archive archive_;
  int endEntity_ = kNone;
  int ca_ = kNone;
  int count_ = 0;
  std::vector<std::unique_ptr<FileCertificate>> decoded_;
};

}  // namespace velkor

#endif  // IMPORT_FILE_CONTENTS_H_
