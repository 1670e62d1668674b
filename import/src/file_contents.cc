#include "file_contents.h"

#include <cstring>

#include "import_messages.h"
#include "pkcs12/password.h"
#include "token/attribute_values.h"

namespace velkor {

Outcome FileContents::Open(uint32_t blobSize, const unsigned char *blob, platform::SecureBuffer &password) {
  if (Outcome opened = OpenArchive(blobSize, blob, password); !opened.ok()) return opened;
  // A file this run cannot use is refused before the token is touched: the
  // key it would put in place of the working one must be able to serve.
  if (Outcome usable = archive_.CheckKeys(); !usable.ok()) return usable;
  return Classify();
}

Outcome FileContents::OpenArchive(uint32_t blobSize, const unsigned char *blob, platform::SecureBuffer &password) {
  const PasswordConversion converted =
      ConvertPassword(reinterpret_cast<const char *>(password.data()), &widePassword_, &utf8Password_);
  // Only the converted forms are used from here on.
  password.Release();
  switch (converted) {
    case PasswordConversion::kOk:
      break;
    case PasswordConversion::kNoMemory:
      return Outcome::FailureText(kFailure, msg::kPasswordBuffer);
    case PasswordConversion::kConvertFailed:
      return Outcome::FailureText(kFailure, msg::kPasswordToWide);
  }
  if (Outcome opened = archive_.Open(blob, blobSize); !opened.ok()) return opened;
  const unsigned char *utf8 = utf8Password_.data();
  size_t utf8Length = std::strlen(reinterpret_cast<const char *>(utf8));
  if (Outcome verified = archive_.VerifyPassword(utf8, utf8Length); !verified.ok()) return verified;
  // A file without any certificate is refused here, before the token is
  // touched.
  Outcome imported = archive_.Import();
  // Every bag is open: nothing needs the password again.
  utf8Password_.Release();
  widePassword_.Release();
  return imported;
}

Outcome FileContents::Classify() {
  // Two certificates are told apart here.  A file of three or more is
  // refused where the certificates are collected, after the token listing,
  // whatever the order of its bags.
  const size_t considered = archive_.CertificateCount() <= 2 ? archive_.CertificateCount() : 0;
  for (size_t i = 0; i < considered; ++i) {
    if (archive_.HasPrivateKey(i)) {
      if (endEntity_ != kNone) return Outcome::FailureText(kFailure, msg::kSeveralKeyCerts);
      endEntity_ = count_;
    } else {
      if (ca_ != kNone) return Outcome::FailureText(kFailure, msg::kNoKeyCert);
      ca_ = count_;
    }
    ++count_;
  }
  // Whatever is written must be readable again by the next run.
  for (size_t i = 0; i < archive_.CertificateCount(); ++i) {
    if (archive_.CertificateDer(i).size() > token::kMaxAttributeLength) {
      return Outcome::FailureText(kFailure, msg::kCertTooLarge);
    }
  }
  decoded_.resize(archive_.CertificateCount());
  return {};
}

Outcome FileContents::Certificate(int position, const FileCertificate **cert) {
  if (position < 0 || static_cast<size_t>(position) >= decoded_.size()) {
    return Outcome::FailureText(kFailure, msg::kCertKind);
  }
  std::unique_ptr<FileCertificate> &slot = decoded_[static_cast<size_t>(position)];
  if (!slot) {
    auto decoded = std::make_unique<FileCertificate>();
    uint32_t err = 0;
    if (!decoded->object.Create(&err)) return Outcome::Failure(kFailure, msg::kCertObjectCreate, err);
    const std::vector<unsigned char> &der = CertificateDer(position);
    Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
    if (X509CertObjectSetPduBER(decoded->object.get(), &pdu, &err) != 0) {
      return Outcome::Failure(kFailure, msg::kCertDecode, err);
    }
    if (X509CertObjectGetParamUCert(decoded->object.get(), &decoded->param, &err) != 0) {
      decoded->params = Outcome::Failure(kFailure, msg::kCertParam, err);
      decoded->serialEncoding = decoded->params;
    } else {
      decoded->serialEncoding = decoded->serial.Encode(decoded->param);
    }
    slot = std::move(decoded);
  }
  *cert = slot.get();
  return {};
}

}  // namespace velkor
