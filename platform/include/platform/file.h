// Files: the cp932 files our programs leave beside themselves, where the
// running program lives, owners of a FILE* and of a file descriptor, and
// opening only a regular file without ever blocking.
#ifndef PLATFORM_FILE_H_
#define PLATFORM_FILE_H_

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace platform {

// Converts `utf8` to cp932, then opens `path` with mode "w" (truncating)
// and writes the text with one write.  Returns false when there is no cp932
// converter (the file is not touched then), when the file cannot be opened
// or when the write fails; nothing else is reported.
[[nodiscard]] bool WriteCp932File(const std::string &path, std::string_view utf8);

// The running program's file (resolved /proc/self/exe); empty when it
// cannot be had.
std::string ProgramPath();
// Folder of the running program (resolved /proc/self/exe), without a
// trailing slash; empty when it cannot be determined.
std::string ProgramFolder();
// "<program folder>/<file>", built whole whatever the folder's length (a
// path cut to some bound would name another file); empty when the folder
// is unknown.
std::string BesideProgram(std::string_view file);

// Owns a FILE* and closes it.
class File {
 public:
  File() = default;
  explicit File(std::FILE *f) : f_(f) {}
  ~File() { Close(); }
  File(const File &) = delete;
  File &operator=(const File &) = delete;
  File(File &&o) noexcept : f_(o.f_) { o.f_ = nullptr; }
  File &operator=(File &&o) noexcept {
    if (this != &o) { Close(); f_ = o.f_; o.f_ = nullptr; }
    return *this;
  }
  std::FILE *get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  // False when fclose fails; true when it succeeds or nothing was open.
  bool Close() {
    bool closed = true;
    if (f_ != nullptr) { closed = std::fclose(f_) == 0; f_ = nullptr; }
    return closed;
  }

 private:
  std::FILE *f_ = nullptr;
};

// Owns a file descriptor.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  FileDescriptor(FileDescriptor &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  FileDescriptor &operator=(FileDescriptor &&o) noexcept {
    if (this != &o) { Reset(); fd_ = o.fd_; o.fd_ = -1; }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Hands the descriptor over (for fdopen); this object owns none after.
  int Release() { int fd = fd_; fd_ = -1; return fd; }
  void Reset();

 private:
  int fd_ = -1;
};

// Why OpenRegularFile gave no descriptor.
enum class OpenFailure {
  kNotOpened,  // the file cannot be opened, or is no regular file
  kNoStatus,   // it was opened, but its status cannot be had
};

// Opens `path` with `flags` (O_RDONLY, O_WRONLY, ...; with O_CREAT a new
// file gets mode 0666 less the umask) only when it is a regular file, in
// ordinary blocking mode; `st` gets its status.  The open
// itself never blocks: a FIFO without a reader or writer, or a device,
// would otherwise hold the program forever.  An invalid descriptor when the
// file cannot be opened, is no regular file, or its status cannot be had;
// *why, when given, then says which.
FileDescriptor OpenRegularFile(const char *path, int flags, struct stat *st, OpenFailure *why = nullptr);

// The stream fopen(path, "w") gives, for a regular file only (made when
// missing, emptied when there); none otherwise, with errno from the open
// where it failed there.
File CreateRegularFile(const char *path);

}  // namespace platform

#endif  // PLATFORM_FILE_H_
