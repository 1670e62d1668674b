#include "typical_dn.h"

#include <cstring>
#include <string>
#include <vector>

#include "ava_order.h"
#include "directory_string.h"
#include "library_call.h"
#include "text_convert.h"

namespace mirrel {
namespace {

// The working state of one call: the AVA table of the current RDN and the
// text buffers, all reused from value to value.
class TypicalForm {
 public:
  Status append(X509NameHandle source, X509NameHandle destination);

 private:
  Status normaliseValue(const X509AVA &ava, TypicalAva &entry);

  ValueCodec codec_;
  std::vector<TypicalAva> table_;
  std::string utf8_;
  std::string normalised_;
};

Status TypicalForm::normaliseValue(const X509AVA &ava, TypicalAva &entry) {
  entry.arcs = ava.type.arcs;
  entry.arcCount = ava.type.count;
  if (Status s = codec_.decodeToUtf8(ava.value, ava.valueLength, utf8_); !s.ok()) return s;
  normaliseSpacesAndCase(utf8_, normalised_);
  return codec_.encodeUtf8String(normalised_, entry.value);
}

Status TypicalForm::append(X509NameHandle source, X509NameHandle destination) {
  uint32_t err = 0;
  uint32_t rdnCount = 0;
  if (Status s = fromLibrary(X509NameObjectCalRDN(source, &rdnCount, &err), err); !s.ok()) return s;

  for (uint32_t r = 0; r < rdnCount; ++r) {
    uint32_t avaCount = 0;
    if (Status s = fromLibrary(X509NameObjectCalAVA(source, r, &avaCount, &err), err); !s.ok()) return s;
    // The table grows with the RDN: an RDN may hold any number of AVAs.
    table_.resize(avaCount);
    for (uint32_t j = 0; j < avaCount; ++j) {
      X509AVA ava{};
      // A failed read must not hand a half-filled record to the decoder.
      if (Status s = fromLibrary(X509NameObjectGetAVA(source, r, j, &ava, &err), err); !s.ok()) return s;
      if (Status s = normaliseValue(ava, table_[j]); !s.ok()) return s;
    }
    orderAvas(table_);

    if (Status s = fromLibrary(X509NameObjectAddRDN(destination, &err), err); !s.ok()) return s;
    for (TypicalAva &entry : table_) {
      const X509AVA record{{entry.arcs, entry.arcCount}, entry.value.data(),
                           static_cast<uint32_t>(entry.value.size())};
      if (Status s = fromLibrary(X509NameObjectSetAVA(destination, &record, &err), err); !s.ok()) return s;
    }
  }
  return Status::success();
}

}  // namespace

Status appendTypicalForm(X509NameHandle source, X509NameHandle destination) {
  // The destination must be another object: the AVA types handed to it
  // point into the source, which must not change under them.
  if (source == nullptr || destination == nullptr || source == destination) {
    return Code::kArgument;
  }
  TypicalForm form;
  return form.append(source, destination);
}

Result<bool> sameTypicalForm(X509NameHandle name1, X509NameHandle name2) {
  OwnedName a;
  if (Status s = a.create(); !s.ok()) return s;
  OwnedName b;
  if (Status s = b.create(); !s.ok()) return s;
  if (Status s = appendTypicalForm(name1, a.get()); !s.ok()) return s;
  if (Status s = appendTypicalForm(name2, b.get()); !s.ok()) return s;

  uint32_t err = 0;
  Pdu derA{};
  Pdu derB{};
  if (Status s = fromLibrary(X509NameObjectGetPduDER(a.get(), &derA, &err), err); !s.ok()) return s;
  if (Status s = fromLibrary(X509NameObjectGetPduDER(b.get(), &derB, &err), err); !s.ok()) return s;
  return derA.length == derB.length &&
         (derA.length == 0 || std::memcmp(derA.data, derB.data, derA.length) == 0);
}

}  // namespace mirrel
