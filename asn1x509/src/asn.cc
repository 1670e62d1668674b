// Generic ASN.1 values under a caller's type description: one primitive
// universal type, or a CHOICE of such types.
#include <cstring>
#include <limits>
#include <string_view>

#include "internal.h"
#include "tables.h"

using asn1x509::Code;
using asn1x509::Guard;
using asn1x509::IsLive;
using asn1x509::ObjectKind;
using asn1x509::Status;
namespace der = asn1x509::der;

namespace {

// Alternatives beyond this are refused; no real description comes near.
constexpr uint32_t kMaxAlternatives = 64;

// A universal tag number that a primitive alternative may carry.
bool IsPrimitiveUniversalTag(uint32_t tag) {
  // 0 is reserved, 8/11/16/17 are always constructed, 31 and above would
  // need the high-tag-number form.
  return tag >= 1 && tag <= 30 && tag != 8 && tag != 11 && tag != 16 && tag != 17;
}

Status CheckType(const AsnTypeDesc *type) {
  if (type == nullptr) {
    return Code::kArgument;
  }
  if (type->kind == ASN_TYPE_PRIMITIVE) {
    return IsPrimitiveUniversalTag(type->tag) ? Code::kOk : Code::kUnsupported;
  }
  if (type->kind != ASN_TYPE_CHOICE) {
    return Code::kUnsupported;
  }
  if (type->alternatives == nullptr || type->alternativeCount == 0 || type->alternativeCount > kMaxAlternatives) {
    return Code::kArgument;
  }
  for (uint32_t i = 0; i < type->alternativeCount; ++i) {
    const AsnTypeDesc &alternative = type->alternatives[i];
    if (alternative.kind != ASN_TYPE_PRIMITIVE || !IsPrimitiveUniversalTag(alternative.tag)) {
      return Code::kUnsupported;
    }
    if (alternative.name == nullptr) {
      return Code::kArgument;
    }
    // Two alternatives with one tag could not be told apart when decoding.
    for (uint32_t j = 0; j < i; ++j) {
      if (type->alternatives[j].tag == alternative.tag) {
        return Code::kUnsupported;
      }
    }
  }
  return Code::kOk;
}

// Content checks for the universal types whose contents have rules of
// their own; string types carry any octets (no character-set check).
bool IsValidContent(uint32_t tag, der::Input contents) {
  switch (tag) {
    case der::kBoolean: {
      bool value = false;
      return der::ParseBoolean(contents, &value);
    }
    case der::kInteger:
    case 10:  // ENUMERATED
      return der::IsValidInteger(contents);
    case der::kBitString: {
      der::Input bits;
      uint32_t bitLength = 0;
      return der::ParseBitString(contents, &bits, &bitLength);
    }
    case der::kNull:
      return contents.empty();
    case der::kObjectIdentifier:
      return der::IsValidObjectIdentifier(contents);
    default:
      return true;
  }
}

// A resolved path: 0 names the root, 1..n an alternative of a CHOICE root.
Status ResolvePath(const AsnTypeDesc *type, const char *path, uint32_t *alternative) {
  if (path == nullptr) {
    return Code::kArgument;
  }
  std::string_view p(path);
  if (p == "/") {
    *alternative = 0;
    return Code::kOk;
  }
  if (!p.empty() && p.front() == '/') {
    p.remove_prefix(1);
  }
  if (p.empty()) {
    return Code::kPath;
  }
  if (type->kind == ASN_TYPE_CHOICE) {
    for (uint32_t i = 0; i < type->alternativeCount; ++i) {
      if (p == type->alternatives[i].name) {
        *alternative = i + 1;
        return Code::kOk;
      }
    }
  } else if (type->name != nullptr && p == type->name) {
    *alternative = 0;
    return Code::kOk;
  }
  return Code::kPath;
}

void ResetValue(AsnObject *obj) {
  obj->hasValue = false;
  obj->selected = 0;
  obj->content = nullptr;
  obj->contentLength = 0;
  obj->owned.clear();
}

void Close(AsnObject *obj) {
  ResetValue(obj);
  obj->state = AsnObject::State::kClosed;
  obj->type = nullptr;
  obj->source = der::Input();
}

Status Decode(AsnObject *obj) {
  der::Input in = obj->source;
  der::Element element;
  if (in.empty()) {
    return Code::kStructure;
  }
  if (!in.ReadAnyElement(&element) || !in.empty()) {
    return Code::kDer;
  }
  uint32_t selected = 0;
  uint32_t tag = 0;
  if (obj->type->kind == ASN_TYPE_PRIMITIVE) {
    tag = obj->type->tag;
    if (element.tag != tag) {
      return Code::kStructure;
    }
  } else {
    for (uint32_t i = 0; i < obj->type->alternativeCount; ++i) {
      if (element.tag == obj->type->alternatives[i].tag) {
        selected = i + 1;
        tag = element.tag;
        break;
      }
    }
    if (selected == 0) {
      return Code::kStructure;
    }
  }
  if (!IsValidContent(tag, element.contents)) {
    return Code::kDer;
  }
  ResetValue(obj);
  obj->hasValue = true;
  obj->selected = selected;
  obj->content = element.contents.data();
  obj->contentLength = element.contents.size32();
  return Code::kOk;
}

// The value at `path`: its content and its universal tag.
Status Locate(AsnObject *obj, const char *path, const unsigned char **content, uint32_t *length, uint32_t *tag) {
  if (!IsLive(obj, ObjectKind::kAsn)) {
    return Code::kArgument;
  }
  if (obj->state == AsnObject::State::kClosed) {
    return Code::kState;
  }
  uint32_t alternative = 0;
  if (Status s = ResolvePath(obj->type, path, &alternative); !s.ok()) {
    return s;
  }
  // Bytes opened but not yet decoded are decoded on first use.
  if (!obj->hasValue && obj->state == AsnObject::State::kOpenFromMemory) {
    if (Status s = Decode(obj); !s.ok()) {
      return s;
    }
  }
  if (!obj->hasValue) {
    return obj->type->kind == ASN_TYPE_CHOICE ? Code::kChoice : Code::kState;
  }
  if (alternative != 0 && alternative != obj->selected) {
    return Code::kChoice;
  }
  *content = obj->content;
  *length = obj->contentLength;
  *tag = obj->type->kind == ASN_TYPE_CHOICE ? obj->type->alternatives[obj->selected - 1].tag : obj->type->tag;
  return Code::kOk;
}

Status EncodedLength(uint32_t contentLength, uint32_t *length) {
  const size_t total = der::HeaderLength(contentLength) + contentLength;
  if (total > std::numeric_limits<uint32_t>::max()) {
    return Code::kTooLarge;
  }
  *length = static_cast<uint32_t>(total);
  return Code::kOk;
}

}  // namespace

extern "C" {

int32_t AsnObjectCreate(AsnObjectHandle *out, uint32_t *err) {
  return Guard(err, [&] { return asn1x509::CreateObject(out); });
}

int32_t AsnObjectDestroy(AsnObjectHandle obj, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(obj, ObjectKind::kAsn)) {
      return Code::kArgument;
    }
    asn1x509::DestroyObject(obj);
    return Code::kOk;
  });
}

int32_t AsnOpenFromMem(AsnObjectHandle obj, const AsnTypeDesc *type, const Pdu *pdu, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(obj, ObjectKind::kAsn) || pdu == nullptr || (pdu->data == nullptr && pdu->length != 0)) {
      return Code::kArgument;
    }
    if (Status s = CheckType(type); !s.ok()) {
      return s;
    }
    Close(obj);
    obj->type = type;
    obj->source = der::Input(pdu->data, pdu->length);
    obj->state = AsnObject::State::kOpenFromMemory;
    return Code::kOk;
  });
}

int32_t AsnOpenNew(AsnObjectHandle obj, const AsnTypeDesc *type, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(obj, ObjectKind::kAsn)) {
      return Code::kArgument;
    }
    if (Status s = CheckType(type); !s.ok()) {
      return s;
    }
    Close(obj);
    obj->type = type;
    obj->state = AsnObject::State::kOpenNew;
    return Code::kOk;
  });
}

int32_t AsnClose(AsnObjectHandle obj, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(obj, ObjectKind::kAsn)) {
      return Code::kArgument;
    }
    Close(obj);
    return Code::kOk;
  });
}

int32_t AsnDecode(AsnObjectHandle obj, const char *path, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(obj, ObjectKind::kAsn) || path == nullptr) {
      return Code::kArgument;
    }
    if (obj->state != AsnObject::State::kOpenFromMemory) {
      return Code::kState;
    }
    uint32_t alternative = 0;
    if (Status s = ResolvePath(obj->type, path, &alternative); !s.ok()) {
      return s;
    }
    if (alternative != 0) {
      return Code::kPath;  // only the whole value can be decoded
    }
    return Decode(obj);
  });
}

int32_t AsnCalNumberOfChoice(AsnObjectHandle obj, const char *path, int32_t *choice, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    const unsigned char *content = nullptr;
    uint32_t length = 0, tag = 0;
    if (choice == nullptr) {
      return Code::kArgument;
    }
    if (Status s = Locate(obj, path, &content, &length, &tag); !s.ok()) {
      return s;
    }
    if (obj->type->kind != ASN_TYPE_CHOICE) {
      return Code::kChoice;
    }
    *choice = static_cast<int32_t>(obj->selected);
    return Code::kOk;
  });
}

int32_t AsnCalLengthOfValFld(AsnObjectHandle obj, const char *path, uint32_t *length, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    const unsigned char *content = nullptr;
    uint32_t tag = 0;
    if (length == nullptr) {
      return Code::kArgument;
    }
    return Locate(obj, path, &content, length, &tag);
  });
}

int32_t AsnCalAddressOfValFld(AsnObjectHandle obj, const char *path, const unsigned char **address, uint32_t *length,
                              uint32_t *err) {
  return Guard(err, [&]() -> Status {
    uint32_t tag = 0;
    if (address == nullptr || length == nullptr) {
      return Code::kArgument;
    }
    return Locate(obj, path, address, length, &tag);
  });
}

int32_t AsnGetOctDER(AsnObjectHandle obj, const char *path, unsigned char *buffer, uint32_t capacity,
                     uint32_t *length, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    const unsigned char *content = nullptr;
    uint32_t contentLength = 0, tag = 0;
    if (length == nullptr || (buffer == nullptr && capacity != 0)) {
      return Code::kArgument;
    }
    if (Status s = Locate(obj, path, &content, &contentLength, &tag); !s.ok()) {
      return s;
    }
    if (contentLength > capacity) {
      *length = contentLength;  // what the caller would need
      return Code::kBuffer;
    }
    if (contentLength != 0) {
      std::memcpy(buffer, content, contentLength);
    }
    *length = contentLength;
    return Code::kOk;
  });
}

int32_t AsnSetOctDER(AsnObjectHandle obj, const char *path, const unsigned char *bytes, uint32_t length,
                     uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(obj, ObjectKind::kAsn) || (bytes == nullptr && length != 0)) {
      return Code::kArgument;
    }
    if (obj->state == AsnObject::State::kClosed) {
      return Code::kState;
    }
    uint32_t alternative = 0;
    if (Status s = ResolvePath(obj->type, path, &alternative); !s.ok()) {
      return s;
    }
    if (obj->type->kind == ASN_TYPE_CHOICE && alternative == 0) {
      return Code::kChoice;  // a CHOICE is set through one alternative
    }
    // Types with content rules (INTEGER, BOOLEAN, ...) only take contents
    // that encode as DER; strings take any octets.
    const uint32_t tag = alternative == 0 ? obj->type->tag : obj->type->alternatives[alternative - 1].tag;
    if (!IsValidContent(tag, der::Input(bytes, length))) {
      return Code::kDer;
    }
    // The value must encode within the 32-bit range.
    uint32_t encoded = 0;
    if (Status s = EncodedLength(length, &encoded); !s.ok()) {
      return s;
    }
    std::vector<uint8_t> copy(bytes, bytes + length);
    ResetValue(obj);
    obj->owned = std::move(copy);
    obj->hasValue = true;
    obj->selected = alternative;
    obj->content = obj->owned.data();
    obj->contentLength = length;
    return Code::kOk;
  });
}

int32_t AsnCalLengthOfEnc(AsnObjectHandle obj, const char *path, uint32_t *length, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    const unsigned char *content = nullptr;
    uint32_t contentLength = 0, tag = 0;
    if (length == nullptr) {
      return Code::kArgument;
    }
    if (Status s = Locate(obj, path, &content, &contentLength, &tag); !s.ok()) {
      return s;
    }
    return EncodedLength(contentLength, length);
  });
}

int32_t AsnEncodeToMemDER(AsnObjectHandle obj, const char *path, unsigned char *buffer, uint32_t capacity,
                          uint32_t *written, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    const unsigned char *content = nullptr;
    uint32_t contentLength = 0, tag = 0, total = 0;
    if (written == nullptr || buffer == nullptr) {
      return Code::kArgument;
    }
    if (Status s = Locate(obj, path, &content, &contentLength, &tag); !s.ok()) {
      return s;
    }
    if (Status s = EncodedLength(contentLength, &total); !s.ok()) {
      return s;
    }
    if (total > capacity) {
      return Code::kBuffer;
    }
    std::vector<uint8_t> encoding;
    encoding.reserve(total);
    if (!der::Output(&encoding).AddElement(static_cast<uint8_t>(tag), {content, contentLength})) {
      return Code::kTooLarge;
    }
    std::memcpy(buffer, encoding.data(), encoding.size());
    *written = total;
    return Code::kOk;
  });
}

int32_t AsnCompareObjid(const AsnObjid *a, const AsnObjid *b, uint32_t *err) {
  // 0 equal, 1 different, -1 for a bad argument: the exported answer, made
  // here rather than by Guard, which knows only 0 and -1.
  if (a == nullptr || b == nullptr || (a->arcs == nullptr && a->count != 0) || (b->arcs == nullptr && b->count != 0)) {
    if (err != nullptr) {
      *err = ASN1X509_ERR_ARGUMENT;
    }
    return -1;
  }
  return asn1x509::SameArcs({a->arcs, a->count}, {b->arcs, b->count}) ? 0 : 1;
}

}  // extern "C"
