// Pieces shared by the harness's server fixtures.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "testtoken/testtoken.h"

namespace testtoken {

// Percent-encodes everything but the unreserved characters of a URI.
std::string uriEncode(std::string_view text);
// True once a unix socket bound to path is listening.
bool socketListening(const std::string& path);
// The file's text, or nothing when it cannot be read.
std::string readOrEmpty(const std::filesystem::path& path);

// A file created (truncated) for writing, closed by the destructor.
class FileFd {
 public:
  explicit FileFd(const std::filesystem::path& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {
    if (fd_ < 0) throw Error("cannot create " + path.string() + ": " + std::strerror(errno));
  }
  ~FileFd() { ::close(fd_); }
  FileFd(const FileFd&) = delete;
  FileFd& operator=(const FileFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace testtoken
