#include "platform/module.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <glob.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/text.h"

// What the loader makes of a module name is decided from the file system:
// a path is examined with stat(), a bare name is looked up in the folders
// the loader searches.  Only regular files ever reach dlopen(), so that a
// FIFO or a device named as the module can never block the program, and
// the loader's own (translated) error text is never consulted.

namespace platform {

namespace {

constexpr int kLoadFlags = RTLD_NOW | RTLD_LOCAL;

// Bounds for what is read from the system's loader configuration.
constexpr size_t kMaxFolders = 512;
constexpr int kMaxIncludeDepth = 4;
constexpr off_t kMaxConfBytes = 1 << 20;

// The loader's own default folders, after its configured ones.
constexpr const char *kDefaultFolders[] = {
#if defined(__x86_64__) && defined(__LP64__)
    "/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu",
#elif defined(__aarch64__)
    "/lib/aarch64-linux-gnu", "/usr/lib/aarch64-linux-gnu",
#elif defined(__i386__)
    "/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu",
#endif
#if defined(__LP64__)
    "/lib64", "/usr/lib64",
#endif
    "/lib", "/usr/lib",
};

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

class Folders {
 public:
  void Add(std::string folder) {
    if (folder.empty() || list_.size() >= kMaxFolders) return;
    for (const std::string &f : list_) {
      if (f == folder) return;
    }
    list_.push_back(std::move(folder));
  }
  const std::vector<std::string> &list() const { return list_; }

 private:
  std::vector<std::string> list_;
};

bool SecureMode() { return getauxval(AT_SECURE) != 0; }

// One entry of a search path list with $ORIGIN (the program's folder)
// expanded.  Entries with other substitutions are left to the loader's
// own search.
void AddExpanded(Folders *folders, const std::string &entry) {
  // The loader reads an empty entry as the current folder.
  if (entry.empty()) {
    folders->Add(std::string(1, '.'));
    return;
  }
  std::string out;
  size_t pos = 0;
  while (pos < entry.size()) {
    size_t dollar = entry.find('$', pos);
    if (dollar == std::string::npos) {
      out.append(entry, pos, std::string::npos);
      break;
    }
    out.append(entry, pos, dollar - pos);
    size_t length = 0;
    if (entry.compare(dollar, 7, "$ORIGIN") == 0) {
      length = 7;
    } else if (entry.compare(dollar, 9, "${ORIGIN}") == 0) {
      length = 9;
    } else {
      return;
    }
    // A privileged program never trusts its own location.
    if (SecureMode()) return;
    std::string origin = ProgramFolder();
    if (origin.empty()) return;
    out += origin;
    pos = dollar + length;
  }
  folders->Add(std::move(out));
}

void AddPathList(Folders *folders, const char *list) {
  if (list == nullptr) return;
  const char *p = list;
  for (;;) {
    size_t n = std::strcspn(p, ":;");
    AddExpanded(folders, std::string(p, n));
    if (p[n] == '\0') break;
    p += n + 1;
  }
}

// The main program's run path (DT_RUNPATH) and, when it has none, its
// older DT_RPATH: dlopen() called from the program searches them.
struct RunPaths {
  std::string runpath;
  std::string rpath;
  bool hasRunpath = false;
  bool hasRpath = false;
};

int ReadMainRunPaths(struct dl_phdr_info *info, size_t, void *data) {
  auto *out = static_cast<RunPaths *>(data);
  const ElfW(Dyn) *dyn = nullptr;
  size_t dynCount = 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_DYNAMIC) {
      dyn = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
      dynCount = info->dlpi_phdr[i].p_memsz / sizeof(ElfW(Dyn));
    }
  }
  ElfW(Addr) strtab = 0;
  size_t strsz = 0;
  size_t runpath = 0, rpath = 0;
  for (size_t i = 0; dyn != nullptr && i < dynCount && dyn[i].d_tag != DT_NULL; ++i) {
    switch (dyn[i].d_tag) {
      case DT_STRTAB: strtab = dyn[i].d_un.d_ptr; break;
      case DT_STRSZ: strsz = dyn[i].d_un.d_val; break;
      case DT_RUNPATH: runpath = dyn[i].d_un.d_val; out->hasRunpath = true; break;
      case DT_RPATH: rpath = dyn[i].d_un.d_val; out->hasRpath = true; break;
      default: break;
    }
  }
  // The loader relocates the address in place where the dynamic section
  // is writable; elsewhere it is still relative to the load address.
  if (strtab != 0 && strtab < info->dlpi_addr) strtab += info->dlpi_addr;
  auto text = [&](size_t offset) {
    if (strtab == 0 || offset >= strsz) return std::string();
    const char *s = reinterpret_cast<const char *>(strtab) + offset;
    return std::string(s, strnlen(s, strsz - offset));
  };
  if (out->hasRunpath) out->runpath = text(runpath);
  if (out->hasRpath) out->rpath = text(rpath);
  return 1;  // the main program is always the first object
}

// The contents of a regular configuration file of bounded size.
bool ReadConf(const std::string &path, std::string *text) {
  struct stat st {};
  FileDescriptor fd = OpenRegularFile(path.c_str(), O_RDONLY, &st);
  if (!fd || st.st_size > kMaxConfBytes) return false;
  text->resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < text->size()) {
    ssize_t n = read(fd.get(), text->data() + got, text->size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  text->resize(got);
  return true;
}

std::string Trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// The folders of ld.so.conf and the files it includes: the folders whose
// libraries the loader's cache holds.
void AddConfFolders(Folders *folders, const std::string &path, int depth) {
  std::string text;
  if (depth > kMaxIncludeDepth || !ReadConf(path, &text)) return;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    line = Trim(line.substr(0, line.find('#')));
    if (line.rfind("include", 0) == 0 && line.size() > 7 && (line[7] == ' ' || line[7] == '\t')) {
      std::string rest = line.substr(8);
      size_t p = 0;
      while (p < rest.size()) {
        size_t b = rest.find_first_not_of(" \t", p);
        if (b == std::string::npos) break;
        size_t e = rest.find_first_of(" \t", b);
        if (e == std::string::npos) e = rest.size();
        std::string pattern = rest.substr(b, e - b);
        p = e;
        if (pattern[0] != '/') pattern = path.substr(0, path.rfind('/') + 1) + pattern;
        glob_t g{};
        if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
          for (size_t i = 0; i < g.gl_pathc; ++i) AddConfFolders(folders, g.gl_pathv[i], depth + 1);
        }
        globfree(&g);
      }
      continue;
    }
    if (line.rfind("hwcap", 0) == 0) continue;
    line = Trim(line.substr(0, line.find('=')));
    while (line.size() > 1 && line.back() == '/') line.pop_back();
    if (!line.empty() && line[0] == '/') folders->Add(line);
  }
}

// The folders dlopen() searches for a bare name, in its order: the
// program's DT_RPATH (only without DT_RUNPATH), LD_LIBRARY_PATH (not for
// a privileged program), the program's DT_RUNPATH, the configured folders
// (which the loader's cache stands for) and the default folders.
std::vector<std::string> SearchFolders() {
  Folders folders;
  RunPaths run;
  dl_iterate_phdr(ReadMainRunPaths, &run);
  if (run.hasRpath && !run.hasRunpath) AddPathList(&folders, run.rpath.c_str());
  AddPathList(&folders, secure_getenv("LD_LIBRARY_PATH"));
  if (run.hasRunpath) AddPathList(&folders, run.runpath.c_str());
  AddConfFolders(&folders, "/etc/ld.so.conf", 0);
  for (const char *f : kDefaultFolders) folders.Add(f);
  return folders.list();
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
    std::string file;  // the file to load; empty when no folder holds the name
    struct stat st {};
    if (path.find('/') != std::string::npos) {
      if (stat(path.c_str(), &st) != 0) {
        code = MeansMissing(errno) ? kErrorModNotFound : kErrorBadExeFormat;
      } else if (!S_ISREG(st.st_mode)) {
        code = kErrorBadExeFormat;
      } else {
        file = path;
      }
    } else {
      // The first folder that has an entry of that name decides.
      bool decided = false;
      for (const std::string &folder : SearchFolders()) {
        std::string candidate = folder + (folder.back() == '/' ? "" : "/") + path;
        if (stat(candidate.c_str(), &st) != 0) continue;
        decided = true;
        if (S_ISREG(st.st_mode)) {
          file = candidate;
        } else {
          code = kErrorBadExeFormat;
        }
        break;
      }
      if (!decided) {
        // The loader's cache may know a file outside those folders.
        handle_ = Load(path.c_str());
        if (handle_ != nullptr) return true;
      }
    }
    if (!file.empty()) {
      handle_ = Load(file.c_str());
      if (handle_ != nullptr) return true;
      code = kErrorBadExeFormat;
    }
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
