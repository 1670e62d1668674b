#include "platform/module.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

// A bare name goes through the loader's search path; tell "not found" from
// "not loadable" by the loader's own words, as there is no file to stat.
bool LoaderSaysMissing(const char *message) {
  return message != nullptr && std::strstr(message, "No such file or directory") != nullptr;
}

}  // namespace

Module &Module::operator=(Module &&other) noexcept {
  if (this != &other) {
    Reset();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

bool Module::Open(const std::string &path, uint32_t *error) {
  Reset();
  // A module already present in the process is bound directly.
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle_ == nullptr) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (handle_ != nullptr) return true;

  const char *message = dlerror();
  uint32_t code = kErrorBadExeFormat;
  if (path.find('/') != std::string::npos) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) code = kErrorModNotFound;
  } else if (path.empty() || LoaderSaysMissing(message)) {
    code = kErrorModNotFound;
  }
  if (error != nullptr) *error = code;
  return false;
}

void *Module::Symbol(const char *name, uint32_t *error) const {
  if (handle_ == nullptr) {
    if (error != nullptr) *error = kErrorProcNotFound;
    return nullptr;
  }
  dlerror();
  void *sym = dlsym(handle_, name);
  if (sym == nullptr && error != nullptr) *error = kErrorProcNotFound;
  return sym;
}

void Module::Reset() {
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

}  // namespace platform
