#include "pkcs12/ber_to_der.h"

#include <cstring>
#include <deque>
#include <vector>

#include "der.h"

namespace velkor {

namespace {

namespace der = asn1x509::der;

constexpr uint8_t kConstructedOctetString = der::kOctetString | der::kConstructed;
// The identifier of a high tag number takes at most this many octets after
// the first.
constexpr int kMaxTagNumberOctets = 5;

struct Header {
  size_t identifierLength = 0;
  bool constructed = false;
  bool indefinite = false;
  size_t headerLength = 0;
  size_t length = 0;  // of the contents, in the definite form
};

// The identifier and length octets at p[0..avail), as BER allows them.  A
// definite length must lie inside the bytes at hand.
bool ReadHeader(const uint8_t *p, size_t avail, Header *h) {
  if (avail == 0) return false;
  size_t i = 0;
  const uint8_t first = p[i++];
  h->constructed = (first & der::kConstructed) != 0;
  if ((first & der::kTagNumberMask) == der::kTagNumberMask) {  // the tag number follows in base 128
    int octets = 0;
    do {
      if (i >= avail || ++octets > kMaxTagNumberOctets) return false;
    } while ((p[i++] & 0x80) != 0);
  }
  h->identifierLength = i;
  if (i >= avail) return false;
  const uint8_t lengthOctet = p[i++];
  h->indefinite = false;
  h->length = 0;
  if (lengthOctet == 0x80) {
    if (!h->constructed) return false;
    h->indefinite = true;
  } else if ((lengthOctet & 0x80) != 0) {
    const size_t octets = lengthOctet & 0x7Fu;
    if (octets > avail - i) return false;
    for (size_t k = 0; k < octets; ++k) {
      if (h->length > (SIZE_MAX >> 8)) return false;
      h->length = (h->length << 8) | p[i + k];
    }
    i += octets;
  } else {
    h->length = lengthOctet;
  }
  h->headerLength = i;
  return h->indefinite || h->length <= avail - i;
}

bool AtEndOfContents(const uint8_t *p, size_t avail) { return avail >= 2 && p[0] == 0 && p[1] == 0; }

// Length octets of the minimal definite form; 0 for contents of 4 GiB or
// more, which DER here cannot carry.
size_t LengthOctets(size_t length) {
  uint8_t octets[der::kMaxLengthOctets];
  return der::EncodeLength(length, octets);
}

// How one constructed element is written, decided while measuring.
struct Plan {
  size_t contentLength = 0;
  // A constructed OCTET STRING written as one primitive string.
  bool joined = false;
  // From this offset in the contents on, the bytes are copied as they are.
  size_t verbatimFrom = SIZE_MAX;
};

// Two passes over the same bytes: the first (no output) measures every
// constructed element and records its plan, the second writes along the
// plans.  Both take the same path, so the plans are used in the order they
// were recorded.
//
// Each input byte is looked at a bounded number of times, however deep it
// lies: a constructed OCTET STRING is tried as pieces only when no try of
// an enclosing one has already shown that it is none (see failedChain_).
class Converter {
 public:
  Converter(std::deque<Plan> *plans, uint8_t *out, size_t room) : plans_(plans), out_(out), room_(room) {}

  // The input bytes the element at p[0..avail) took; 0 when it is
  // malformed.
  size_t Element(const uint8_t *p, size_t avail, int nesting, int indefiniteNesting) {
    Header h;
    if (!Visit() || indefiniteNesting > kMaxIndefiniteNesting || !ReadHeader(p, avail, &h)) return 0;
    if (!h.constructed || (!h.indefinite && nesting >= kMaxBerNesting)) {
      if (!PutHeader(p, h.identifierLength, h.length)) return 0;
      NoteHeader(h, h.length);
      Put(p + h.headerLength, h.length);
      return h.headerLength + h.length;
    }
    return Constructed(p, h, avail, nesting, indefiniteNesting);
  }

  size_t produced() const { return produced_; }
  bool failed() const { return failed_; }
  bool tooManyElements() const { return tooManyElements_; }
  // After measuring: whether the DER differs from the BER it was measured
  // on (when not, it is the very bytes of the first element).
  bool changed() const { return changed_; }

 private:
  bool measuring() const { return out_ == nullptr; }

  // Counts one look at an element's header while measuring; false past
  // kMaxBerElements of them.
  bool Visit() {
    if (!measuring()) return true;
    if (++visits_ <= kMaxBerElements) return true;
    tooManyElements_ = true;
    return false;
  }

  // An element whose contents come out `contentLength` long: its header
  // stays as it was only in the minimal definite form of that length.
  void NoteHeader(const Header &h, size_t contentLength) {
    if (h.indefinite || contentLength != h.length ||
        LengthOctets(contentLength) != h.headerLength - h.identifierLength) {
      changed_ = true;
    }
  }

  void Put(const uint8_t *bytes, size_t n) {
    if (!measuring()) {
      if (n > room_ - produced_) {
        failed_ = true;
        return;
      }
      if (n > 0) std::memcpy(out_ + produced_, bytes, n);
    }
    produced_ += n;
  }

  bool PutHeader(const uint8_t *identifier, size_t identifierLength, size_t contentLength) {
    uint8_t octets[der::kMaxLengthOctets];
    const size_t n = der::EncodeLength(contentLength, octets);
    if (n == 0) return false;
    Put(identifier, identifierLength);
    Put(octets, n);
    return true;
  }

  // The contents of a constructed element, child by child, up to its end
  // (definite) or its end-of-contents octets (indefinite).  *offset ends
  // where the contents end.  In a definite element a child that is no
  // element starts the verbatim tail; in an indefinite one the end cannot be
  // found then, and the element is malformed.  Past kMaxBerConstructed
  // elements the whole input is refused, wherever that happens.
  bool Children(const uint8_t *contents, size_t limit, const Header &h, int nesting, int indefiniteNesting,
                Plan *plan, size_t *offset) {
    const int childIndefiniteNesting = indefiniteNesting + (h.indefinite ? 1 : 0);
    while (true) {
      if (h.indefinite) {
        if (AtEndOfContents(contents + *offset, limit - *offset)) {
          *offset += 2;
          return true;
        }
      } else if (*offset == limit) {
        return true;
      }
      if (!h.indefinite && *offset == plan->verbatimFrom && !measuring()) break;
      const size_t mark = produced_;
      const size_t planMark = plans_->size();
      const size_t taken = Element(contents + *offset, limit - *offset, nesting + 1, childIndefiniteNesting);
      if (taken == 0) {
        if (h.indefinite || !measuring() || tooManyElements_) return false;
        produced_ = mark;
        plans_->resize(planMark);
        plan->verbatimFrom = *offset;
        break;
      }
      *offset += taken;
    }
    Put(contents + *offset, limit - *offset);
    *offset = limit;
    return true;
  }

  size_t Constructed(const uint8_t *p, const Header &h, size_t avail, int nesting, int indefiniteNesting) {
    const uint8_t *contents = p + h.headerLength;
    const size_t limit = h.indefinite ? avail - h.headerLength : h.length;
    size_t offset = 0;
    if (measuring()) {
      const size_t index = plans_->size();
      if (index >= kMaxBerConstructed) {
        tooManyElements_ = true;
        return 0;
      }
      plans_->emplace_back();
      Plan plan;
      if (p[0] == kConstructedOctetString && !KnownNoPieces(p)) {
        size_t joinedLength = 0;
        const size_t chainMark = failedChain_.size();
        const size_t taken = Pieces(p, avail, nesting, indefiniteNesting, &joinedLength);
        // A try that fails lies past every element of the chain before it.
        if (taken == 0) {
          failedChain_.erase(failedChain_.begin(), failedChain_.begin() + static_cast<ptrdiff_t>(chainMark));
        } else {
          const size_t lengthOctets = LengthOctets(joinedLength);
          if (lengthOctets == 0) return 0;
          plan.joined = true;
          plan.contentLength = joinedLength;
          changed_ = true;
          (*plans_)[index] = plan;
          produced_ += 1 + lengthOctets + joinedLength;
          return taken;
        }
      }
      const size_t before = produced_;
      if (!Children(contents, limit, h, nesting, indefiniteNesting, &plan, &offset)) return 0;
      plan.contentLength = produced_ - before;
      const size_t lengthOctets = LengthOctets(plan.contentLength);
      if (lengthOctets == 0) return 0;
      NoteHeader(h, plan.contentLength);
      (*plans_)[index] = plan;
      produced_ += h.identifierLength + lengthOctets;
      return h.headerLength + offset;
    }
    if (nextPlan_ >= plans_->size()) return 0;
    Plan plan = (*plans_)[nextPlan_++];
    if (plan.joined) {
      const uint8_t primitive = der::kOctetString;
      if (!PutHeader(&primitive, 1, plan.contentLength)) return 0;
      size_t joinedLength = 0;
      return Pieces(p, avail, nesting, indefiniteNesting, &joinedLength);
    }
    if (!PutHeader(p, h.identifierLength, plan.contentLength)) return 0;
    if (!Children(contents, limit, h, nesting, indefiniteNesting, &plan, &offset)) return 0;
    return h.headerLength + offset;
  }

  // The pieces of an OCTET STRING (primitive, or constructed of pieces that
  // are OCTET STRINGs themselves), their contents added to *length and,
  // when writing, to the output.  The input bytes taken; 0 when these are
  // no such pieces.
  size_t Pieces(const uint8_t *p, size_t avail, int nesting, int indefiniteNesting, size_t *length) {
    Header h;
    if (!Visit() || nesting > kMaxBerNesting || indefiniteNesting > kMaxIndefiniteNesting ||
        !ReadHeader(p, avail, &h) || (p[0] & static_cast<uint8_t>(~der::kConstructed)) != der::kOctetString) {
      return 0;
    }
    const uint8_t *contents = p + h.headerLength;
    if (!h.constructed) {
      *length += h.length;
      if (!measuring()) Put(contents, h.length);
      return h.headerLength + h.length;
    }
    const size_t limit = h.indefinite ? avail - h.headerLength : h.length;
    const int childIndefiniteNesting = indefiniteNesting + (h.indefinite ? 1 : 0);
    size_t offset = 0;
    while (h.indefinite ? !AtEndOfContents(contents + offset, limit - offset) : offset != limit) {
      const size_t taken = Pieces(contents + offset, limit - offset, nesting + 1, childIndefiniteNesting, length);
      if (taken == 0) {
        // Unwinding from the place where the pieces end: this element holds
        // that place, so it is no run of pieces either.
        if (measuring()) failedChain_.push_back(p);
        return 0;
      }
      offset += taken;
    }
    return h.headerLength + offset + (h.indefinite ? 2 : 0);
  }

  // Whether the constructed OCTET STRING at p lies on the chain of the last
  // failed try: it then holds the same element that ended that try, and
  // trying it again would walk the same pieces once more.  (One that ends
  // before that element is tried, and joined: it is walked once more, and
  // its contents are not visited again.)  Elements are met in the order of
  // their addresses, and the chain (innermost first) holds them in the
  // reverse order, so the next one to meet is at its back.
  bool KnownNoPieces(const uint8_t *p) {
    while (!failedChain_.empty() && failedChain_.back() < p) failedChain_.pop_back();
    if (failedChain_.empty() || failedChain_.back() != p) return false;
    failedChain_.pop_back();
    return true;
  }

  std::deque<Plan> *plans_;
  size_t nextPlan_ = 0;
  uint8_t *out_;
  size_t room_;
  size_t produced_ = 0;
  bool failed_ = false;
  bool tooManyElements_ = false;
  bool changed_ = false;
  size_t visits_ = 0;
  // The constructed OCTET STRINGs that enclose the element where the last
  // failed try of pieces ended, innermost first; at most kMaxBerNesting + 1.
  std::vector<const uint8_t *> failedChain_;
};

}  // namespace

BerConversion BerToDer(std::span<const uint8_t> ber, platform::SecureBuffer *out,
                       std::span<const uint8_t> *der) {
  out->Release();
  *der = {};
  std::deque<Plan> plans;
  Converter measure(&plans, nullptr, 0);
  const size_t taken = measure.Element(ber.data(), ber.size(), 0, 0);
  if (taken == 0) return measure.tooManyElements() ? BerConversion::kTooManyElements : BerConversion::kMalformed;
  if (!measure.changed()) {
    *der = ber.first(taken);
    return BerConversion::kOk;
  }
  if (!out->Allocate(measure.produced())) return BerConversion::kNoMemory;
  Converter write(&plans, out->data(), out->size());
  if (write.Element(ber.data(), ber.size(), 0, 0) == 0 || write.failed() || write.produced() != out->size()) {
    out->Release();
    return BerConversion::kMalformed;
  }
  *der = {out->data(), out->size()};
  return BerConversion::kOk;
}

BerConversion BerToDer(std::span<const uint8_t> ber, platform::SecureBuffer *out) {
  std::span<const uint8_t> der;
  const BerConversion result = BerToDer(ber, out, &der);
  if (result != BerConversion::kOk || der.data() == out->data()) return result;
  // The input was DER already: its first element is the result.
  if (!out->Allocate(der.size())) return BerConversion::kNoMemory;
  if (!der.empty()) std::memcpy(out->data(), der.data(), der.size());
  return BerConversion::kOk;
}

}  // namespace velkor
