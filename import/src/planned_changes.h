// What a checked import run would do to the token, as a value: the objects
// it would write, delete and leave in place.
#ifndef IMPORT_PLANNED_CHANGES_H_
#define IMPORT_PLANNED_CHANGES_H_

#include <vector>

namespace velkor {

struct PlannedObject {
  enum class Type { kCertificate, kPrivateKey, kPublicKey };
  Type type = Type::kCertificate;
  // CKA_ID bytes; empty for an object still to be made whose identifier
  // the run draws only when it writes.
  std::vector<unsigned char> id;
  // CKA_LABEL bytes as the token holds them or the run would write them.
  std::vector<unsigned char> label;
  // Certificates only: the subject (DER) and the contents octets of the
  // serial number INTEGER; empty when the value cannot be decoded.
  std::vector<unsigned char> subject;
  std::vector<unsigned char> serial;
};

struct PlannedChanges {
  std::vector<PlannedObject> write;
  std::vector<PlannedObject> remove;
  std::vector<PlannedObject> keep;
};

}  // namespace velkor

#endif  // IMPORT_PLANNED_CHANGES_H_
