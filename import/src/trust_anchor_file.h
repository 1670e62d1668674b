// The trust anchor file: the key identifiers of the CAs trusted for a
// subject change, one a line, looked up for one identifier.
#ifndef IMPORT_TRUST_ANCHOR_FILE_H_
#define IMPORT_TRUST_ANCHOR_FILE_H_

#include <cstddef>
#include <string>

#include "decisions.h"

namespace velkor {

// The largest trust anchor file read: many thousands of identifier lines.
// A larger file is not a trust anchor list but something else.
inline constexpr size_t kAnchorFileSizeLimit = 1024 * 1024;

// Looks `text` up in the trust anchor file at `path`: every line of exactly
// 59 characters (line end, and a CR before it, not counted) is compared
// with CompareKeyIdText: listed, not listed, or no file when the file
// cannot be opened or read: also when it is no regular file (a FIFO or a
// device never blocks or streams forever) or larger than
// kAnchorFileSizeLimit.
[[nodiscard]] decide::Anchor LookUpTrustAnchor(const std::string &path, const std::string &text);

}  // namespace velkor

#endif  // IMPORT_TRUST_ANCHOR_FILE_H_
