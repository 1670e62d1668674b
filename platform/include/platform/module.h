// Run-time binding of a shared module by file name.  A failure is reported
// as one of three loader error numbers, the codes the programs' messages
// show.
#ifndef PLATFORM_MODULE_H_
#define PLATFORM_MODULE_H_

#include <cstdint>
#include <string>

namespace platform {

// The loader error numbers that messages carry: file not found, found but
// not loadable, and a symbol missing.
inline constexpr uint32_t kErrorModNotFound = 0x7E;    // file not found
inline constexpr uint32_t kErrorBadExeFormat = 0xC1;   // found, but not loadable
inline constexpr uint32_t kErrorProcNotFound = 0x7F;   // symbol missing

// Owns one dlopen reference.  Every successful open is balanced by exactly
// one dlclose, on Reset() or destruction.
class Module {
 public:
  Module() = default;
  ~Module() { Reset(); }
  Module(const Module &) = delete;
  Module &operator=(const Module &) = delete;
  Module(Module &&other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Module &operator=(Module &&other) noexcept;

  // Binds `path`: a module already in the process is used as it is (a new
  // reference is taken), otherwise it is loaded.  On failure returns false
  // and sets *error to one of the loader error numbers above, decided by
  // the file system alone: a path (with a slash) that names nothing, or a
  // bare name that no folder of the loader's search holds and the loader
  // cannot find either, is "not found"; an entry that is no regular file
  // (a FIFO, a folder, a device; never handed to the loader) or a file the
  // loader refuses is "not loadable".  A bare name is bound to the first
  // entry of that name in the folders the loader reports it searches (the
  // run path, LD_LIBRARY_PATH as at program start, the default folders, and
  // their glibc-hwcaps subfolders), else to what the loader's cache names.
  [[nodiscard]] bool Open(const std::string &path, uint32_t *error);

  // Looks up an exported symbol; nullptr (and *error = kErrorProcNotFound)
  // when missing.
  [[nodiscard]] void *Symbol(const char *name, uint32_t *error) const;

  bool IsOpen() const { return handle_ != nullptr; }
  void Reset();

 private:
  // Binds a name without a slash; on failure false, with *error set to the
  // loader error number.
  bool OpenBareName(const std::string &name, uint32_t *error);

  void *handle_ = nullptr;
};

}  // namespace platform

#endif  // PLATFORM_MODULE_H_
