#include "platform/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <vector>

#include "platform/text.h"

namespace platform {

bool WriteCp932File(const std::string &path, std::string_view utf8) {
  if (path.empty()) return false;
  // Converted before the file is touched: without a cp932 converter
  // nothing is written (UTF-8 under a cp932 file name would be misread).
  const std::optional<std::string> text = Utf8ToCp932(utf8);
  if (!text) return false;
  File f = CreateRegularFile(path.c_str());
  if (!f) return false;
  bool ok = std::fwrite(text->data(), 1, text->size(), f.get()) == text->size();
  return f.Close() && ok;
}

File CreateRegularFile(const char *path) {
  struct stat st {};
  FileDescriptor fd = OpenRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, &st);
  if (!fd) return File();
  File stream(fdopen(fd.get(), "w"));
  if (stream) (void)fd.Release();
  return stream;
}

void FileDescriptor::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

FileDescriptor OpenRegularFile(const char *path, int flags, struct stat *st, OpenFailure *why) {
  OpenFailure failure = OpenFailure::kNotOpened;
  FileDescriptor fd(open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666));
  if (fd && fstat(fd.get(), st) != 0) {
    failure = OpenFailure::kNoStatus;
  } else if (fd) {
    const int mode = fcntl(fd.get(), F_GETFL);
    if (S_ISREG(st->st_mode) && mode >= 0 && fcntl(fd.get(), F_SETFL, mode & ~O_NONBLOCK) == 0) return fd;
  }
  if (why != nullptr) *why = failure;
  return FileDescriptor();
}

std::string ProgramPath() {
  std::vector<char> buf(PATH_MAX + 1);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0 || static_cast<size_t>(n) >= buf.size() - 1) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
}

std::string ProgramFolder() {
  const std::string path = ProgramPath();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BesideProgram(std::string_view file) {
  const std::string folder = ProgramFolder();
  if (folder.empty()) return {};
  return (folder == "/" ? std::string() : folder) + "/" + std::string(file);
}

}  // namespace platform
