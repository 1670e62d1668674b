#include "decode.h"

#include "asn.h"
#include "parvox/parvox.h"

namespace parvox {
Status decodeDirectoryString(const Pdu &pdu, int32_t mode, Out &out) {
  Result<AsnValue> created = AsnValue::create();
  if (!created.ok()) return created.status();
  AsnValue &value = created.value();
  TOKENENROL_TRY(value.openFromMem(kDirectoryStringType, pdu));
  TOKENENROL_TRY(value.decode());
  Result<int32_t> choice = value.choice();
  if (!choice.ok()) return choice.status();
  Result<const char *> path = directoryStringPath(choice.value());
  if (!path.ok()) return path.status();
  Result<Bytes> content = value.content(path.value());
  if (!content.ok()) return content.status();
  return directoryStringText(choice.value(), content.value().data, content.value().length, mode, out);
}

Status decodeEmailAddress(const Pdu &pdu, int32_t mode, Out &out) {
  Result<AsnValue> created = AsnValue::create();
  if (!created.ok()) return created.status();
  AsnValue &value = created.value();
  TOKENENROL_TRY(value.openFromMem(kEmailAddressType, pdu));
  TOKENENROL_TRY(value.decode());
  Result<Bytes> content = value.content("/");
  if (!content.ok()) return content.status();
  if (content.value().data == nullptr && content.value().length != 0) return failure(PARVOX_ERR_ARGUMENT);
  return plainTextValue(content.value().data, content.value().length, mode, out);
}

}  // namespace parvox
