#include "der.h"

#include <algorithm>
#include <limits>

namespace asn1x509::der {

bool Input::ReadBytes(size_t count, Input *out) {
  if (count > size_) {
    return false;
  }
  if (out != nullptr) {
    *out = Input(data_, count);
  }
  data_ += count;
  size_ -= count;
  return true;
}

bool Input::ReadAnyElement(Element *out) {
  // Identifier octet plus at least one length octet.
  if (size_ < 2) {
    return false;
  }
  const uint8_t tag = data_[0];
  // Tag number 31 announces the high-tag-number form; nothing we read
  // uses tag numbers above 30, so such an element is refused rather than
  // parsed by a second code path.
  if ((tag & kTagNumberMask) == kTagNumberMask) {
    return false;
  }
  // Universal class: tag 0 is reserved for BER's end-of-contents marker.
  // DER fixes the form of each universal type: SEQUENCE, SET, EXTERNAL and
  // EMBEDDED PDV are always constructed, everything else (strings
  // included) always primitive; the other combination is BER only.
  if ((tag & 0xC0) == 0) {
    const uint8_t number = tag & kTagNumberMask;
    if (number == 0) {
      return false;
    }
    const bool mustBeConstructed = number == 16 || number == 17 || number == 8 || number == 11;
    if (((tag & kConstructed) != 0) != mustBeConstructed) {
      return false;
    }
  }
  size_t headerLength = 2;
  size_t length = data_[1];
  if (length & 0x80) {
    const size_t lengthOctets = length & 0x7F;
    // 0x80 is BER's indefinite length; DER always uses definite lengths.
    if (lengthOctets == 0) {
      return false;
    }
    // More than four length octets cannot describe a length within the
    // 32-bit range the interface carries (0xFF is also reserved).
    if (lengthOctets > 4) {
      return false;
    }
    if (size_ - 2 < lengthOctets) {
      return false;
    }
    // A leading zero length octet is a non-minimal encoding.
    if (data_[2] == 0) {
      return false;
    }
    length = 0;
    for (size_t i = 0; i < lengthOctets; ++i) {
      length = (length << 8) | data_[2 + i];
    }
    // Lengths below 128 must use the one-octet short form.
    if (length < 0x80) {
      return false;
    }
    headerLength += lengthOctets;
  }
  // The contents must lie inside the view (the subtraction cannot wrap:
  // headerLength <= size_ was established above).
  if (length > size_ - headerLength) {
    return false;
  }
  if (out != nullptr) {
    out->tag = tag;
    out->whole = Input(data_, headerLength + length);
    out->contents = Input(data_ + headerLength, length);
  }
  data_ += headerLength + length;
  size_ -= headerLength + length;
  return true;
}

bool Input::ReadElementWithHeader(uint8_t tag, Input *whole, Input *contents) {
  Input probe = *this;
  Element element;
  if (!probe.ReadAnyElement(&element) || element.tag != tag) {
    return false;
  }
  *this = probe;
  if (whole != nullptr) {
    *whole = element.whole;
  }
  if (contents != nullptr) {
    *contents = element.contents;
  }
  return true;
}

bool Input::ReadElement(uint8_t tag, Input *contents) { return ReadElementWithHeader(tag, nullptr, contents); }

bool Input::ReadOptionalElement(uint8_t tag, Input *contents, bool *present) {
  uint8_t next = 0;
  if (!PeekTag(&next) || next != tag) {
    *present = false;
    return true;
  }
  *present = true;
  return ReadElement(tag, contents);
}

bool Input::PeekTag(uint8_t *tag) const {
  if (size_ == 0) {
    return false;
  }
  *tag = data_[0];
  return true;
}

bool ParseBoolean(Input contents, bool *value) {
  if (contents.size() != 1) {
    return false;
  }
  const uint8_t octet = contents.data()[0];
  if (octet != 0x00 && octet != 0xFF) {
    return false;
  }
  *value = octet == 0xFF;
  return true;
}

bool IsValidInteger(Input contents) {
  const uint8_t *p = contents.data();
  if (contents.empty()) {
    return false;
  }
  if (contents.size() >= 2) {
    // Nine equal leading bits mean the first octet is redundant.
    if (p[0] == 0x00 && (p[1] & 0x80) == 0) {
      return false;
    }
    if (p[0] == 0xFF && (p[1] & 0x80) != 0) {
      return false;
    }
  }
  return true;
}

bool ParseSmallNonNegative(Input contents, int32_t *value) {
  if (!IsValidInteger(contents) || (contents.data()[0] & 0x80) != 0) {
    return false;
  }
  uint64_t v = 0;
  for (size_t i = 0; i < contents.size(); ++i) {
    v = (v << 8) | contents.data()[i];
    if (v > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
      return false;
    }
  }
  *value = static_cast<int32_t>(v);
  return true;
}

bool ParseBitString(Input contents, Input *bits, uint32_t *bitLength) {
  if (contents.empty()) {
    return false;
  }
  const uint8_t unused = contents.data()[0];
  if (unused > 7) {
    return false;
  }
  const size_t byteCount = contents.size() - 1;
  if (byteCount == 0 && unused != 0) {
    return false;
  }
  if (unused != 0) {
    const uint8_t last = contents.data()[contents.size() - 1];
    if ((last & ((1u << unused) - 1u)) != 0) {
      return false;
    }
  }
  // The bit count must fit the 32-bit record member.
  if (byteCount > std::numeric_limits<uint32_t>::max() / 8) {
    return false;
  }
  *bits = Input(contents.data() + 1, byteCount);
  *bitLength = static_cast<uint32_t>(byteCount * 8 - unused);
  return true;
}

namespace {

// Walks the subidentifiers; calls sink(arc) for every arc.  Returns false
// on any encoding fault.
template <class Sink>
bool WalkObjectIdentifier(Input contents, Sink &&sink) {
  if (contents.empty()) {
    return false;
  }
  const uint8_t *p = contents.data();
  const size_t n = contents.size();
  bool first = true;
  size_t i = 0;
  while (i < n) {
    // A subidentifier starting with 0x80 has a redundant leading group.
    if (p[i] == 0x80) {
      return false;
    }
    uint64_t v = 0;
    for (;;) {
      if (i >= n) {
        return false;  // last subidentifier cut short
      }
      const uint8_t b = p[i++];
      v = (v << 7) | (b & 0x7F);
      if (v > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) + 80u) {
        return false;
      }
      if ((b & 0x80) == 0) {
        break;
      }
    }
    if (first) {
      first = false;
      // The first subidentifier carries two arcs: 40 * X + Y.
      int64_t x = v < 40 ? 0 : (v < 80 ? 1 : 2);
      int64_t y = static_cast<int64_t>(v) - 40 * x;
      if (y > std::numeric_limits<int32_t>::max()) {
        return false;
      }
      sink(static_cast<int32_t>(x));
      sink(static_cast<int32_t>(y));
    } else {
      if (v > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        return false;
      }
      sink(static_cast<int32_t>(v));
    }
  }
  return true;
}

}  // namespace

bool ParseObjectIdentifier(Input contents, std::vector<int32_t> *arcs) {
  const size_t before = arcs->size();
  if (!WalkObjectIdentifier(contents, [arcs](int32_t arc) { arcs->push_back(arc); })) {
    arcs->resize(before);
    return false;
  }
  return true;
}

bool IsValidObjectIdentifier(Input contents) {
  return WalkObjectIdentifier(contents, [](int32_t) {});
}

bool IsEncodableObjectIdentifier(std::span<const int32_t> arcs) {
  if (arcs.size() < 2) {
    return false;
  }
  if (arcs[0] < 0 || arcs[0] > 2 || arcs[1] < 0) {
    return false;
  }
  if (arcs[0] < 2 && arcs[1] >= 40) {
    return false;
  }
  for (size_t i = 2; i < arcs.size(); ++i) {
    if (arcs[i] < 0) {
      return false;
    }
  }
  return true;
}

namespace {

bool Digits(const uint8_t *p, size_t count, int *value) {
  int v = 0;
  for (size_t i = 0; i < count; ++i) {
    if (p[i] < '0' || p[i] > '9') {
      return false;
    }
    v = v * 10 + (p[i] - '0');
  }
  *value = v;
  return true;
}

// MMDDHHMMSSZ after the year digits.
bool IsValidTimeTail(const uint8_t *p) {
  int month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!Digits(p, 2, &month) || !Digits(p + 2, 2, &day) || !Digits(p + 4, 2, &hour) ||
      !Digits(p + 6, 2, &minute) || !Digits(p + 8, 2, &second)) {
    return false;
  }
  return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 && second <= 59 &&
         p[10] == 'Z';
}

}  // namespace

bool IsValidUtcTime(Input contents) {
  int year = 0;
  return contents.size() == 13 && Digits(contents.data(), 2, &year) && IsValidTimeTail(contents.data() + 2);
}

bool IsValidGeneralizedTime(Input contents) {
  int year = 0;
  return contents.size() == 15 && Digits(contents.data(), 4, &year) && IsValidTimeTail(contents.data() + 4);
}

size_t HeaderLength(size_t contentLength) {
  size_t n = 2;
  if (contentLength >= 0x80) {
    for (size_t v = contentLength; v != 0; v >>= 8) {
      ++n;
    }
  }
  return n;
}

size_t EncodeLength(size_t length, uint8_t (&out)[kMaxLengthOctets]) {
  if (length > std::numeric_limits<uint32_t>::max()) {
    return 0;
  }
  if (length < 0x80) {
    out[0] = static_cast<uint8_t>(length);
    return 1;
  }
  size_t octets = 0;
  for (size_t v = length; v != 0; v >>= 8) {
    ++octets;
  }
  out[0] = static_cast<uint8_t>(0x80 | octets);
  for (size_t i = 0; i < octets; ++i) {
    out[octets - i] = static_cast<uint8_t>(length >> (8 * i));
  }
  return octets + 1;
}

namespace {

// Identifier and length octets of one element; 0 when the length cannot be
// written.
size_t EncodeHeader(uint8_t tag, size_t length, uint8_t (&header)[1 + kMaxLengthOctets]) {
  uint8_t lengthOctets[kMaxLengthOctets];
  const size_t n = EncodeLength(length, lengthOctets);
  if (n == 0) {
    return 0;
  }
  header[0] = tag;
  std::copy(lengthOctets, lengthOctets + n, header + 1);
  return n + 1;
}

}  // namespace

void Output::AddBytes(std::span<const uint8_t> bytes) { buffer_->insert(buffer_->end(), bytes.begin(), bytes.end()); }

bool Output::AddElement(uint8_t tag, std::span<const uint8_t> contents) {
  uint8_t header[1 + kMaxLengthOctets];
  const size_t n = EncodeHeader(tag, contents.size(), header);
  if (n == 0) {
    return false;
  }
  buffer_->insert(buffer_->end(), header, header + n);
  AddBytes(contents);
  return true;
}

namespace {

// Base-128 subidentifier, most significant group first.
size_t SubidentifierLength(uint64_t v) {
  size_t k = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++k;
  }
  return k;
}

void PutSubidentifier(std::vector<uint8_t> *out, uint64_t v) {
  const size_t k = SubidentifierLength(v);
  for (size_t i = k; i > 1; --i) {
    out->push_back(static_cast<uint8_t>(((v >> (7 * (i - 1))) & 0x7F) | 0x80));
  }
  out->push_back(static_cast<uint8_t>(v & 0x7F));
}

}  // namespace

bool Output::AddObjectIdentifier(std::span<const int32_t> arcs) {
  const uint64_t first = static_cast<uint64_t>(arcs[0]) * 40 + static_cast<uint64_t>(arcs[1]);
  size_t length = SubidentifierLength(first);
  for (size_t i = 2; i < arcs.size(); ++i) {
    length += SubidentifierLength(static_cast<uint64_t>(arcs[i]));
  }
  uint8_t header[1 + kMaxLengthOctets];
  const size_t n = EncodeHeader(kObjectIdentifier, length, header);
  if (n == 0) {
    return false;
  }
  buffer_->insert(buffer_->end(), header, header + n);
  PutSubidentifier(buffer_, first);
  for (size_t i = 2; i < arcs.size(); ++i) {
    PutSubidentifier(buffer_, static_cast<uint64_t>(arcs[i]));
  }
  return true;
}

size_t Output::BeginElement(uint8_t tag) {
  const size_t marker = buffer_->size();
  buffer_->push_back(tag);
  buffer_->push_back(0);  // short-form length, widened in EndElement if needed
  return marker;
}

bool Output::EndElement(size_t marker) {
  const size_t length = buffer_->size() - marker - 2;
  uint8_t lengthOctets[kMaxLengthOctets];
  const size_t n = EncodeLength(length, lengthOctets);
  if (n == 0) {
    return false;
  }
  (*buffer_)[marker + 1] = lengthOctets[0];
  if (n > 1) {
    buffer_->insert(buffer_->begin() + static_cast<std::ptrdiff_t>(marker + 2), lengthOctets + 1, lengthOctets + n);
  }
  return true;
}

}  // namespace asn1x509::der
