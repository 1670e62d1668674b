// Pieces shared by the harness's server fixtures.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

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

// Polls done() every 10 ms; throws when it is still false after limit.
template <typename Done>
void waitUntil(Done done, std::chrono::milliseconds limit, const std::string& what) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) throw Error("timed out waiting for " + what);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// An exclusive flock on path, waited for (bounded by limit): the fixtures
// of a machine-wide daemon hold it for their lifetime. what names the
// resource in the timeout message.
std::unique_ptr<FileFd> takeExclusiveLock(const std::filesystem::path& path, std::chrono::milliseconds limit,
                                          const std::string& what);

}  // namespace testtoken
