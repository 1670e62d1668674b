#include "platform/module.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/file.h"

// What the loader makes of a module name is decided from the file system:
// a path is examined with stat(), a bare name is looked up in the folders
// that the loader itself reports it searches.  Only regular files ever
// reach dlopen() by path, and no name is handed to the loader while an
// entry it would open could block it (a FIFO, a device), so the program
// never waits forever; the loader's own (translated) error text is never
// consulted.

namespace platform {

namespace {

constexpr int kLoadFlags = RTLD_NOW | RTLD_LOCAL;

// Bound on the subfolders of one glibc-hwcaps folder that are looked at.
constexpr size_t kMaxHwcapsFolders = 64;

// dlopen(), first binding a module already in the process (a new
// reference is taken), then loading it.
void *Load(const char *name) {
  void *handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) handle = dlopen(name, kLoadFlags);
  if (handle == nullptr) dlerror();  // the text is not used; leave no stale message
  return handle;
}

// stat() failures that mean the named file is not there (as opposed to
// being there but out of reach).
bool MeansMissing(int error) {
  return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP;
}

std::string Join(const std::string &folder, const std::string &name) {
  return folder + (folder.empty() || folder.back() == '/' ? "" : "/") + name;
}

// The folders dlopen() searches for a bare name called from this program,
// in its order, as the loader reports them for the program itself: its
// run path, LD_LIBRARY_PATH as it was when the program started (not for
// a privileged program), the default folders.  Folders the loader already
// found missing are left out by the loader.  Empty when it cannot say.
std::vector<std::string> LoaderFolders() {
  std::vector<std::string> folders;
  void *self = dlopen(nullptr, RTLD_NOW);
  if (self == nullptr) {
    dlerror();
    return folders;
  }
  Dl_serinfo size{};
  if (dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
    // Dl_serinfo ends in an array of pointers: the buffer is aligned for it.
    std::vector<std::max_align_t> buffer(size.dls_size / sizeof(std::max_align_t) + 1);
    auto *info = reinterpret_cast<Dl_serinfo *>(buffer.data());
    info->dls_size = size.dls_size;
    info->dls_cnt = size.dls_cnt;
    if (dlinfo(self, RTLD_DI_SERINFOSIZE, info) == 0 && dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
      for (unsigned i = 0; i < info->dls_cnt; ++i) {
        if (info->dls_serpath[i].dls_name != nullptr) folders.emplace_back(info->dls_serpath[i].dls_name);
      }
    }
  }
  dlerror();
  dlclose(self);
  return folders;
}

// Where else in `folder` the loader may take the name from before the
// folder itself: the glibc-hwcaps subfolders (which of them it searches
// depends on the processor, so every one is looked at) and the older
// per-platform ones ("tls" and the platform's name).
std::vector<std::string> SubfolderCandidates(const std::string &folder, const std::string &name) {
  std::vector<std::string> candidates;
  const std::string hwcaps = Join(folder, "glibc-hwcaps");
  if (DIR *dir = opendir(hwcaps.c_str())) {
    std::unique_ptr<DIR, int (*)(DIR *)> owner(dir, closedir);
    size_t seen = 0;
    while (const struct dirent *entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      if (++seen > kMaxHwcapsFolders) break;
      candidates.push_back(Join(Join(hwcaps, entry->d_name), name));
    }
  }
  candidates.push_back(Join(Join(folder, "tls"), name));
  const auto *platform = reinterpret_cast<const char *>(getauxval(AT_PLATFORM));
  if (platform != nullptr && *platform != '\0' && std::strchr(platform, '/') == nullptr)
    candidates.push_back(Join(Join(folder, platform), name));
  return candidates;
}

// What one folder holds under the name.
struct FolderEntry {
  bool plain = false;        // folder/name exists
  bool inSubfolder = false;  // a subfolder candidate exists
  bool anyIrregular = false; // some candidate exists and is no regular file
};

FolderEntry Examine(const std::string &folder, const std::string &name) {
  FolderEntry entry;
  struct stat st {};
  if (stat(Join(folder, name).c_str(), &st) == 0) {
    entry.plain = true;
    entry.anyIrregular = !S_ISREG(st.st_mode);
  }
  for (const std::string &candidate : SubfolderCandidates(folder, name)) {
    if (stat(candidate.c_str(), &st) != 0) continue;
    entry.inSubfolder = true;
    if (!S_ISREG(st.st_mode)) entry.anyIrregular = true;
  }
  return entry;
}

// `path` made absolute against the working folder (it names the same file
// either way; the loader is handed the absolute form).
std::string Absolute(const std::string &path) {
  if (!path.empty() && path[0] == '/') return path;
  std::vector<char> cwd(PATH_MAX + 1);
  if (getcwd(cwd.data(), cwd.size()) == nullptr) return path;
  return Join(cwd.data(), path);
}

// Loads a file known to be there: only when it opens as a regular file
// without blocking.
void *LoadRegularFile(const std::string &path) {
  struct stat st {};
  if (!OpenRegularFile(path.c_str(), O_RDONLY, &st)) return nullptr;
  return Load(path.c_str());
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
  uint32_t code = kErrorModNotFound;
  if (!path.empty() && path.find('\0') == std::string::npos) {
    if (path.find('/') != std::string::npos) {
      struct stat st {};
      if (stat(path.c_str(), &st) != 0) {
        code = MeansMissing(errno) ? kErrorModNotFound : kErrorBadExeFormat;
      } else if (!S_ISREG(st.st_mode)) {
        code = kErrorBadExeFormat;
      } else {
        handle_ = LoadRegularFile(path);
        if (handle_ != nullptr) return true;
        code = kErrorBadExeFormat;
      }
    } else if (OpenBareName(path, &code)) {
      return true;
    }
  }
  if (error != nullptr) *error = code;
  return false;
}

// A bare name goes where the loader would take it from: the first folder
// of its search that has an entry of that name decides.  An entry directly
// in the folder is loaded by its absolute path.  When the folder has the
// name in a processor-dependent subfolder, which of its entries the loader
// takes is the loader's choice: the bare name is handed to it, and its
// failure means the file there is not loadable here.  When no folder has
// the name, the bare name is handed to the loader once, for its cache; a
// failure then means not found.
bool Module::OpenBareName(const std::string &name, uint32_t *error) {
  bool inSubfolder = false;  // an earlier folder holds the name in a subfolder
  for (const std::string &folder : LoaderFolders()) {
    const FolderEntry entry = Examine(folder, name);
    if (entry.anyIrregular) {
      *error = kErrorBadExeFormat;
      return false;
    }
    if (inSubfolder || (!entry.plain && !entry.inSubfolder)) continue;
    if (!entry.inSubfolder) {
      handle_ = LoadRegularFile(Absolute(Join(folder, name)));
      if (handle_ == nullptr) *error = kErrorBadExeFormat;
      return handle_ != nullptr;
    }
    // The loader may go on to later folders: none of them may hold an
    // entry that would block it.
    inSubfolder = true;
  }
  handle_ = Load(name.c_str());
  if (handle_ == nullptr) *error = inSubfolder ? kErrorBadExeFormat : kErrorModNotFound;
  return handle_ != nullptr;
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
