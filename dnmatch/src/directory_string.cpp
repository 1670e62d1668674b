#include "directory_string.h"

#include "library_call.h"

namespace mirrel {
namespace {

constexpr const char *kRoot = "/";

constexpr std::array<AsnTypeDesc, kDirectoryStringChoices.size()> makeAlternatives() {
  std::array<AsnTypeDesc, kDirectoryStringChoices.size()> alternatives{};
  for (std::size_t i = 0; i < kDirectoryStringChoices.size(); ++i) {
    alternatives[i] = AsnTypeDesc{ASN_TYPE_PRIMITIVE, kDirectoryStringChoices[i].tag,
                                  kDirectoryStringChoices[i].path, nullptr, 0};
  }
  return alternatives;
}

constexpr std::array<AsnTypeDesc, kDirectoryStringChoices.size()> kAlternatives = makeAlternatives();
constexpr AsnTypeDesc kDirectoryString{ASN_TYPE_CHOICE, 0, kRoot, kAlternatives.data(),
                                       static_cast<uint32_t>(kAlternatives.size())};

static_assert(kDirectoryStringChoices[kUtf8StringChoice - 1].conversion == Conversion::none);

}  // namespace

const AsnTypeDesc &directoryStringType() noexcept { return kDirectoryString; }

Status ValueCodec::decodeToUtf8(const unsigned char *der, uint32_t length, std::string &utf8) {
  const DirectoryStringChoice *chosen = nullptr;
  {
    AsnObject value;
    const Pdu pdu{der, length};
    uint32_t err = 0;
    int32_t choice = 0;
    uint32_t contentLength = 0;
    if (Status s = value.create(); !s.ok()) return s;
    if (Status s = value.openFromMem(&kDirectoryString, pdu); !s.ok()) return s;
    if (Status s = fromLibrary(AsnDecode(value.get(), kRoot, &err), err); !s.ok()) return s;
    if (Status s = fromLibrary(AsnCalNumberOfChoice(value.get(), kRoot, &choice, &err), err); !s.ok()) return s;
    if (choice < 1 || choice > static_cast<int32_t>(kDirectoryStringChoices.size())) {
      return Code::kArgument;
    }
    chosen = &kDirectoryStringChoices[static_cast<std::size_t>(choice - 1)];
    if (Status s = fromLibrary(AsnCalLengthOfValFld(value.get(), chosen->path, &contentLength, &err), err);
        !s.ok()) {
      return s;
    }
    content_.resize(contentLength);
    uint32_t fetched = 0;
    if (Status s = fromLibrary(
            AsnGetOctDER(value.get(), chosen->path, content_.data(), contentLength, &fetched, &err), err);
        !s.ok()) {
      return s;
    }
    if (fetched > contentLength) {
      return Code::kArgument;
    }
    content_.resize(fetched);
    if (Status s = value.finish(); !s.ok()) return s;
  }

  const ByteSpan content(content_.data(), content_.size());
  switch (chosen->conversion) {
    case Conversion::ucs2:
      return ucs2ToUtf8(content, utf8);
    case Conversion::ucs4:
      return ucs4ToUtf8(content, utf8);
    case Conversion::none:
      utf8.assign(reinterpret_cast<const char *>(content.data()), content.size());
      return Status::success();
    case Conversion::localeText:
      return locale_.toUtf8(content, utf8);
  }
  return Code::kArgument;
}

Status ValueCodec::encodeUtf8String(std::string_view text, std::vector<unsigned char> &der) {
  const char *path = kDirectoryStringChoices[kUtf8StringChoice - 1].path;
  AsnObject value;
  uint32_t err = 0;
  uint32_t encodedLength = 0;
  uint32_t written = 0;
  if (text.size() > UINT32_MAX) return Code::kArgument;
  if (Status s = value.create(); !s.ok()) return s;
  if (Status s = value.openNew(&kDirectoryString); !s.ok()) return s;
  if (Status s = fromLibrary(AsnSetOctDER(value.get(), path, reinterpret_cast<const unsigned char *>(text.data()),
                                          static_cast<uint32_t>(text.size()), &err),
                             err);
      !s.ok()) {
    return s;
  }
  if (Status s = fromLibrary(AsnCalLengthOfEnc(value.get(), kRoot, &encodedLength, &err), err); !s.ok()) return s;
  der.resize(encodedLength);
  if (Status s = fromLibrary(AsnEncodeToMemDER(value.get(), kRoot, der.data(), encodedLength, &written, &err), err);
      !s.ok()) {
    der.clear();
    return s;
  }
  if (written > encodedLength) {
    der.clear();
    return Code::kArgument;
  }
  der.resize(written);
  return value.finish();
}

}  // namespace mirrel
