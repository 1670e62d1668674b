// Names: SEQUENCE OF RelativeDistinguishedName, each a SET OF
// AttributeTypeAndValue { type OBJECT IDENTIFIER, value ANY }.
#include <array>
#include <limits>

#include "internal.h"
#include "tables.h"

using asn1x509::Code;
using asn1x509::Guard;
using asn1x509::IsLive;
using asn1x509::ObjectKind;
using asn1x509::Status;
namespace der = asn1x509::der;

void X509NameObject::Clear() {
  rdns.clear();
  avas.clear();
  input.clear();
  decodedArcs.clear();
  addedArcs.clear();
  addedValues.clear();
  encodings.clear();
  modified = false;
  encodingCurrent = false;
}

Status X509NameObject::Decode(std::span<const uint8_t> bytes) {
  using asn1x509::ExpectElement;
  // Copy before clearing: the bytes may be this object's own earlier DER.
  std::vector<uint8_t> copy(bytes.begin(), bytes.end());
  Clear();
  input = std::move(copy);
  // Offsets of each AVA's arcs in decodedArcs; pointers are fixed once the
  // vector has stopped growing.
  std::vector<uint32_t> arcOffsets;
  der::Input in(input);
  der::Input sequence;
  Status status = ExpectElement(&in, der::kSequence, &sequence);
  if (status.ok() && !in.empty()) {
    status = Code::kDer;  // trailing bytes after the name
  }
  while (status.ok() && !sequence.empty()) {
    der::Input set;
    status = ExpectElement(&sequence, der::kSet, &set);
    if (!status.ok()) {
      break;
    }
    Rdn rdn{static_cast<uint32_t>(avas.size()), 0};
    while (!set.empty()) {
      der::Input ava, type;
      status = ExpectElement(&set, der::kSequence, &ava);
      if (status.ok()) {
        status = ExpectElement(&ava, der::kObjectIdentifier, &type);
      }
      if (!status.ok()) {
        break;
      }
      const size_t offset = decodedArcs.size();
      if (!der::ParseObjectIdentifier(type, &decodedArcs)) {
        status = Code::kDer;
        break;
      }
      der::Element value;
      status = asn1x509::ExpectAnyElement(&ava, &value);
      if (status.ok() && !ava.empty()) {
        status = Code::kStructure;  // more than type and value
      }
      if (!status.ok()) {
        break;
      }
      arcOffsets.push_back(static_cast<uint32_t>(offset));
      X509AVA record{};
      record.type.count = static_cast<uint32_t>(decodedArcs.size() - offset);
      record.value = value.whole.data();
      record.valueLength = value.whole.size32();
      avas.push_back(record);
      ++rdn.count;
    }
    if (!status.ok()) {
      break;
    }
    rdns.push_back(rdn);
  }
  if (!status.ok()) {
    Clear();
    return status;
  }
  for (size_t i = 0; i < avas.size(); ++i) {
    avas[i].type.arcs = decodedArcs.data() + arcOffsets[i];
  }
  return Code::kOk;
}

Status X509NameObject::Der(Pdu *out) {
  if (!modified) {
    if (!input.empty()) {
      out->data = input.data();
      out->length = static_cast<uint32_t>(input.size());
      return Code::kOk;
    }
    if (rdns.empty()) {
      // A name never loaded nor built: the empty SEQUENCE.
      modified = true;
    }
  }
  if (!encodingCurrent) {
    std::vector<uint8_t> encoding;
    der::Output output(&encoding);
    const size_t name = output.BeginElement(der::kSequence);
    for (const Rdn &rdn : rdns) {
      const size_t set = output.BeginElement(der::kSet);
      for (uint32_t i = 0; i < rdn.count; ++i) {
        const X509AVA &ava = avas[rdn.first + i];
        const size_t sequence = output.BeginElement(der::kSequence);
        if (!output.AddObjectIdentifier({ava.type.arcs, ava.type.count})) {
          return Code::kTooLarge;
        }
        output.AddBytes({ava.value, ava.valueLength});
        if (!output.EndElement(sequence)) {
          return Code::kTooLarge;
        }
      }
      if (!output.EndElement(set)) {
        return Code::kTooLarge;
      }
    }
    if (!output.EndElement(name)) {
      return Code::kTooLarge;
    }
    encodings.push_back(std::move(encoding));
    encodingCurrent = true;
  }
  out->data = encodings.back().data();
  out->length = static_cast<uint32_t>(encodings.back().size());
  return Code::kOk;
}

Status X509NameObject::AddRdn() {
  if (rdns.size() >= std::numeric_limits<uint32_t>::max()) {
    return Code::kTooLarge;
  }
  rdns.push_back(Rdn{static_cast<uint32_t>(avas.size()), 0});
  modified = true;
  encodingCurrent = false;
  return Code::kOk;
}

namespace asn1x509 {
namespace {

// An AVA record that can be stored and encoded: an encodable identifier
// and a value that is exactly one DER element.
Status CheckAva(const X509AVA *record) {
  if (record == nullptr || (record->type.arcs == nullptr && record->type.count != 0) ||
      (record->value == nullptr && record->valueLength != 0)) {
    return Code::kArgument;
  }
  if (!der::IsEncodableObjectIdentifier({record->type.arcs, record->type.count})) {
    return Code::kStructure;
  }
  der::Input value(record->value, record->valueLength);
  der::Element element;
  if (!value.ReadAnyElement(&element) || !value.empty()) {
    return Code::kDer;
  }
  return Code::kOk;
}

}  // namespace
}  // namespace asn1x509

Status X509NameObject::AddAva(const X509AVA &record) {
  if (rdns.empty()) {
    return Code::kState;
  }
  if (avas.size() >= std::numeric_limits<uint32_t>::max()) {
    return Code::kTooLarge;
  }
  std::vector<int32_t> &arcs = addedArcs.emplace_back(record.type.arcs, record.type.arcs + record.type.count);
  std::vector<uint8_t> &value = addedValues.emplace_back(record.value, record.value + record.valueLength);
  X509AVA stored{};
  stored.type.arcs = arcs.data();
  stored.type.count = record.type.count;
  stored.value = value.data();
  stored.valueLength = record.valueLength;
  avas.push_back(stored);
  ++rdns.back().count;
  modified = true;
  encodingCurrent = false;
  return Code::kOk;
}

namespace {

Status LookupAva(X509NameObject *name, uint32_t rdnIndex, uint32_t avaIndex, const X509AVA **out) {
  if (!IsLive(name, ObjectKind::kName) || out == nullptr) {
    return Code::kArgument;
  }
  if (rdnIndex >= name->rdns.size() || avaIndex >= name->rdns[rdnIndex].count) {
    return Code::kIndex;
  }
  *out = &name->avas[name->rdns[rdnIndex].first + avaIndex];
  return Code::kOk;
}

// Appends a new RDN holding one AVA of the typed kind `kind` whose value is
// the element `tag` around `content`.
Status AppendTypedAva(X509NameObject *name, int kind, uint8_t tag, const unsigned char *data, uint32_t length) {
  if (!IsLive(name, ObjectKind::kName) || (data == nullptr && length != 0)) {
    return Code::kArgument;
  }
  const asn1x509::Result<std::span<const int32_t>> type = asn1x509::AttributeTypeOfKind(kind);
  if (!type.ok()) {
    return type.status();
  }
  if (der::HeaderLength(length) + length > std::numeric_limits<uint32_t>::max()) {
    return Code::kTooLarge;
  }
  std::vector<uint8_t> value;
  value.reserve(der::HeaderLength(length) + length);
  if (!der::Output(&value).AddElement(tag, {data, length})) {
    return Code::kTooLarge;
  }
  X509AVA record{};
  record.type.arcs = type.value().data();
  record.type.count = static_cast<uint32_t>(type.value().size());
  record.value = value.data();
  record.valueLength = static_cast<uint32_t>(value.size());
  if (Status s = name->AddRdn(); !s.ok()) {
    return s;
  }
  return name->AddAva(record);
}

Status AppendDirectoryString(X509NameObject *name, int kind, const DirectoryStringValue *value) {
  if (value == nullptr) {
    return Code::kArgument;
  }
  if (value->choice == DIRSTR_IA5) {
    return Code::kChoice;  // the setters write choices 1 to 5
  }
  const asn1x509::Result<uint8_t> tag = asn1x509::DirectoryStringTag(value->choice);
  if (!tag.ok()) {
    return tag.status();
  }
  return AppendTypedAva(name, kind, tag.value(), value->data, value->length);
}

}  // namespace

extern "C" {

int32_t X509NameObjectCreate(X509NameHandle *out, uint32_t *err) {
  return Guard(err, [&] { return asn1x509::CreateObject(out); });
}

int32_t X509NameObjectDestroy(X509NameHandle name, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(name, ObjectKind::kName)) {
      return Code::kArgument;
    }
    if (name->ownedByCertificate) {
      return Code::kState;  // released together with its certificate
    }
    asn1x509::DestroyObject(name);
    return Code::kOk;
  });
}

int32_t X509NameObjectSetPduBER(X509NameHandle name, const Pdu *pdu, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(name, ObjectKind::kName) || pdu == nullptr || (pdu->data == nullptr && pdu->length != 0)) {
      return Code::kArgument;
    }
    return name->Decode({pdu->data, pdu->length});
  });
}

int32_t X509NameObjectGetPduDER(X509NameHandle name, Pdu *out, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(name, ObjectKind::kName) || out == nullptr) {
      return Code::kArgument;
    }
    return name->Der(out);
  });
}

int32_t X509NameObjectCalRDN(X509NameHandle name, uint32_t *count, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(name, ObjectKind::kName) || count == nullptr) {
      return Code::kArgument;
    }
    *count = static_cast<uint32_t>(name->rdns.size());
    return Code::kOk;
  });
}

int32_t X509NameObjectCalAVA(X509NameHandle name, uint32_t rdnIndex, uint32_t *count, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(name, ObjectKind::kName) || count == nullptr) {
      return Code::kArgument;
    }
    if (rdnIndex >= name->rdns.size()) {
      return Code::kIndex;
    }
    *count = name->rdns[rdnIndex].count;
    return Code::kOk;
  });
}

int32_t X509NameObjectGetAVA(X509NameHandle name, uint32_t rdnIndex, uint32_t avaIndex, X509AVA *record,
                             uint32_t *err) {
  return Guard(err, [&]() -> Status {
    const X509AVA *ava = nullptr;
    if (record == nullptr) {
      return Code::kArgument;
    }
    if (Status s = LookupAva(name, rdnIndex, avaIndex, &ava); !s.ok()) {
      return s;
    }
    *record = *ava;
    return Code::kOk;
  });
}

int32_t X509NameObjectGetAVAp(X509NameHandle name, uint32_t rdnIndex, uint32_t avaIndex, const X509AVA **record,
                              uint32_t *err) {
  return Guard(err, [&] { return LookupAva(name, rdnIndex, avaIndex, record); });
}

int32_t X509NameObjectSgetAVA(X509NameHandle name, uint32_t rdnIndex, uint32_t avaIndex, X509TypedAVA *record,
                              uint32_t *err) {
  return Guard(err, [&]() -> Status {
    const X509AVA *ava = nullptr;
    if (record == nullptr) {
      return Code::kArgument;
    }
    if (Status s = LookupAva(name, rdnIndex, avaIndex, &ava); !s.ok()) {
      return s;
    }
    const asn1x509::Result<int> kind = asn1x509::KindOfAttributeType({ava->type.arcs, ava->type.count});
    if (!kind.ok()) {
      return kind.status();
    }
    der::Input value(ava->value, ava->valueLength);
    der::Element element;
    if (!value.ReadAnyElement(&element)) {
      return Code::kDer;
    }
    X509TypedAVA typed{};
    typed.kind = kind.value();
    if (typed.kind == X509_AVA_COUNTRY) {
      // Country codes are PrintableString; some issuers write them as
      // UTF8String or IA5String.  Their bytes read the same way, so those
      // are shown as they are rather than failing the whole name.
      if (element.tag != der::kPrintableString && element.tag != der::kUtf8String &&
          element.tag != der::kIa5String) {
        return Code::kStructure;
      }
      typed.country.data = element.contents.data();
      typed.country.length = element.contents.size32();
    } else {
      const asn1x509::Result<int32_t> choice = asn1x509::DirectoryStringChoice(element.tag);
      if (!choice.ok()) {
        return choice.status();
      }
      typed.directoryString.choice = choice.value();
      typed.directoryString.data = element.contents.data();
      typed.directoryString.length = element.contents.size32();
    }
    *record = typed;
    return Code::kOk;
  });
}

int32_t X509NameObjectAddRDN(X509NameHandle name, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(name, ObjectKind::kName)) {
      return Code::kArgument;
    }
    return name->AddRdn();
  });
}

int32_t X509NameObjectSetAVA(X509NameHandle name, const X509AVA *record, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(name, ObjectKind::kName)) {
      return Code::kArgument;
    }
    if (Status s = asn1x509::CheckAva(record); !s.ok()) {
      return s;
    }
    return name->AddAva(*record);
  });
}

int32_t X509NameObjectAddRDNSetAVA(X509NameHandle name, const X509AVA *record, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (!IsLive(name, ObjectKind::kName)) {
      return Code::kArgument;
    }
    if (Status s = asn1x509::CheckAva(record); !s.ok()) {
      return s;
    }
    if (Status s = name->AddRdn(); !s.ok()) {
      return s;
    }
    return name->AddAva(*record);
  });
}

int32_t X509NameObjectSsetCountryName(X509NameHandle name, const X509CountryValue *value, uint32_t *err) {
  return Guard(err, [&]() -> Status {
    if (value == nullptr) {
      return Code::kArgument;
    }
    return AppendTypedAva(name, X509_AVA_COUNTRY, der::kPrintableString, value->data, value->length);
  });
}

int32_t X509NameObjectSsetCommonName(X509NameHandle name, const DirectoryStringValue *value, uint32_t *err) {
  return Guard(err, [&] { return AppendDirectoryString(name, X509_AVA_COMMON_NAME, value); });
}

int32_t X509NameObjectSsetLocalityName(X509NameHandle name, const DirectoryStringValue *value, uint32_t *err) {
  return Guard(err, [&] { return AppendDirectoryString(name, X509_AVA_LOCALITY, value); });
}

int32_t X509NameObjectSsetOrgName(X509NameHandle name, const DirectoryStringValue *value, uint32_t *err) {
  return Guard(err, [&] { return AppendDirectoryString(name, X509_AVA_ORGANIZATION, value); });
}

int32_t X509NameObjectSsetOUName(X509NameHandle name, const DirectoryStringValue *value, uint32_t *err) {
  return Guard(err, [&] { return AppendDirectoryString(name, X509_AVA_ORG_UNIT, value); });
}

int32_t X509NameObjectSsetStateProvinceName(X509NameHandle name, const DirectoryStringValue *value,
                                            uint32_t *err) {
  return Guard(err, [&] { return AppendDirectoryString(name, X509_AVA_STATE, value); });
}

}  // extern "C"
