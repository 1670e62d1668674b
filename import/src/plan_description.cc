// The plan of a checked run as a value: what the writing pass would create
// (from the PKCS#12 file and the plan's write flags) and which token
// objects the deleting pass would destroy or the run leaves in place (read
// from the token).  Only a preview asks for it; an import never reads
// these attributes.
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <span>

#include "import_messages.h"
#include "check.h"
#include "token/attribute_values.h"

namespace velkor {

namespace {

using Bytes = std::vector<unsigned char>;

// The subject and serial number of a DER certificate, into `object`; left
// empty when the value does not decode.
void DescribeCertificate(std::span<const unsigned char> der, PlannedObject *object) {
  const unsigned char *p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
  if (!cert) return;
  unsigned char *subject = nullptr;
  const int subjectLength = i2d_X509_NAME(X509_get_subject_name(cert.get()), &subject);
  if (subjectLength > 0) object->subject.assign(subject, subject + subjectLength);
  OPENSSL_free(subject);
  // The contents octets of the DER INTEGER: the serial as the certificate
  // encodes it.
  unsigned char *serial = nullptr;
  const int serialLength = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert.get()), &serial);
  if (serialLength > 2) {
    const unsigned char *contents = serial;
    long length = 0;
    int tag = 0;
    int xclass = 0;
    if ((ASN1_get_object(&contents, &length, &tag, &xclass, serialLength) & 0x80) == 0) {
      object->serial.assign(contents, contents + length);
    }
  }
  OPENSSL_free(serial);
}

}  // namespace

Outcome Describe(const FileContents &file, const Plan &plan, token::TokenReader &reader, PlannedChanges *changes) {
  *changes = PlannedChanges{};
  // One attribute of a token object; none when the object lacks it.
  auto read = [&](CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes *value) -> Outcome {
    token::AttributeValues<1> attribute({type});
    const token::AttributeRead result = attribute.Read(reader, object);
    if (result == token::AttributeRead::kNoMemory) return Outcome::Failure(kFailure, msg::kAttrMemory, result.index);
    if (result == token::AttributeRead::kOk) value->assign(attribute.Bytes(0).begin(), attribute.Bytes(0).end());
    return {};
  };
  auto describe = [&](CK_OBJECT_HANDLE object, std::optional<PlannedObject::Type> type,
                      std::vector<PlannedObject> *list) -> Outcome {
    PlannedObject planned;
    if (!type) {
      Bytes classValue;
      if (Outcome got = read(object, CKA_CLASS, &classValue); !got.ok()) return got;
      CK_OBJECT_CLASS objectClass = CKO_DATA;
      if (classValue.size() == sizeof objectClass) std::memcpy(&objectClass, classValue.data(), sizeof objectClass);
      type = objectClass == CKO_PRIVATE_KEY  ? PlannedObject::Type::kPrivateKey
             : objectClass == CKO_PUBLIC_KEY ? PlannedObject::Type::kPublicKey
                                             : PlannedObject::Type::kCertificate;
    }
    planned.type = *type;
    if (Outcome got = read(object, CKA_ID, &planned.id); !got.ok()) return got;
    if (Outcome got = read(object, CKA_LABEL, &planned.label); !got.ok()) return got;
    if (planned.type == PlannedObject::Type::kCertificate) {
      Bytes value;
      if (Outcome got = read(object, CKA_VALUE, &value); !got.ok()) return got;
      DescribeCertificate(value, &planned);
    }
    list->push_back(std::move(planned));
    return {};
  };
  const std::span<const CK_OBJECT_HANDLE> listed = plan.Listed();
  auto listedAt = [&](int position) -> std::optional<CK_OBJECT_HANDLE> {
    if (position < 0 || static_cast<size_t>(position) >= listed.size()) return std::nullopt;
    return listed[static_cast<size_t>(position)];
  };

  if (!plan.changes.NothingToDo()) {
    // The writing pass, in store order.
    const std::string_view reused = plan.ReusedEndEntityId();
    const Bytes reusedId(reused.begin(), reused.end());
    const std::string_view keyLabel = plan.KeyLabel();
    for (int position = 0; position < file.Count(); ++position) {
      PlannedObject cert;
      cert.type = PlannedObject::Type::kCertificate;
      DescribeCertificate(file.CertificateDer(position), &cert);
      if (!file.HasPrivateKey(position)) {
        // The CA certificate's identifier, and so its label, is drawn
        // when it is written.
        if (plan.changes.writeCaCert == 1) changes->write.push_back(std::move(cert));
        continue;
      }
      for (const auto &[flag, type] : {std::pair{plan.changes.writePrivateKey, PlannedObject::Type::kPrivateKey},
                                       std::pair{plan.changes.writePublicKey, PlannedObject::Type::kPublicKey}}) {
        if (flag != 1) continue;
        changes->write.push_back({type, reusedId, Bytes(keyLabel.begin(), keyLabel.end()), {}, {}});
      }
      if (plan.changes.writeEeCert == 1) {
        // A certificate's label is its identifier.
        cert.id = reusedId;
        cert.label = reusedId;
        changes->write.push_back(std::move(cert));
      }
    }
    // The deleting pass, in its order.
    for (int i = 0; i < plan.changes.privateKeyDeleteCount; ++i) {
      if (Outcome d = describe(plan.changes.privateKeyDelete[i], PlannedObject::Type::kPrivateKey, &changes->remove);
          !d.ok()) {
        return d;
      }
    }
    for (int i = 0; i < plan.changes.publicKeyDeleteCount; ++i) {
      if (Outcome d = describe(plan.changes.publicKeyDelete[i], PlannedObject::Type::kPublicKey, &changes->remove);
          !d.ok()) {
        return d;
      }
    }
    for (int i = 0; i < plan.changes.certDeleteCount; ++i) {
      const std::optional<CK_OBJECT_HANDLE> cert = listedAt(plan.changes.certDeleteIndex[i]);
      if (!cert) continue;
      if (Outcome d = describe(*cert, PlannedObject::Type::kCertificate, &changes->remove); !d.ok()) return d;
    }
  }

  // What stays: the end-entity certificate with the serial imported and its
  // keys, and the CA certificate.
  if (const std::optional<CK_OBJECT_HANDLE> cert = listedAt(plan.kept.eePosition)) {
    if (Outcome d = describe(*cert, PlannedObject::Type::kCertificate, &changes->keep); !d.ok()) return d;
    for (CK_OBJECT_HANDLE key : plan.kept.eeKeys) {
      if (Outcome d = describe(key, std::nullopt, &changes->keep); !d.ok()) return d;
    }
  }
  if (const std::optional<CK_OBJECT_HANDLE> cert = listedAt(plan.kept.caPosition)) {
    if (Outcome d = describe(*cert, PlannedObject::Type::kCertificate, &changes->keep); !d.ok()) return d;
  }
  return {};
}

}  // namespace velkor
