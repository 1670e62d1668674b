#include "trust_anchor_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdio>

#include "platform/file.h"

namespace velkor {

namespace {

// Opens the trust anchor file for reading in text mode, only when it is a
// regular file of at most kAnchorFileSizeLimit bytes.  The open itself
// never blocks (a FIFO without a writer would block forever).
platform::File OpenAnchorFile(const std::string &path) {
  struct stat st {};
  platform::FileDescriptor fd = platform::OpenRegularFile(path.c_str(), O_RDONLY, &st);
  if (!fd || st.st_size < 0 || static_cast<uint64_t>(st.st_size) > kAnchorFileSizeLimit) return platform::File();
  std::FILE *stream = fdopen(fd.get(), "r");
  if (stream != nullptr) fd.Release();
  return platform::File(stream);
}

}  // namespace

decide::Anchor LookUpTrustAnchor(const std::string &path, const std::string &text) {
  if (path.empty()) return decide::Anchor::kNoFile;
  platform::File file = OpenAnchorFile(path);
  if (!file) return decide::Anchor::kNoFile;
  // Read in pieces as large as the file is: a file that grew beyond the
  // limit while it was read is no list either.
  std::string contents;
  std::array<char, 4096> piece{};
  size_t got = 0;
  while ((got = std::fread(piece.data(), 1, piece.size(), file.get())) > 0) {
    if (got > kAnchorFileSizeLimit - contents.size()) return decide::Anchor::kNoFile;
    contents.append(piece.data(), got);
  }
  // A file that could not be read to its end lists nothing it could be
  // trusted for.
  if (std::ferror(file.get())) return decide::Anchor::kNoFile;
  return decide::AnchorListLists(contents, text) ? decide::Anchor::kListed : decide::Anchor::kNotListed;
}

}  // namespace velkor
