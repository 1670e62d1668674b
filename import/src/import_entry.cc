#include "import_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "entry_messages.h"
#include "import_messages.h"
#include "platform/file.h"
#include "platform/text.h"
#include "token/token_uri.h"

namespace velkor::entry {

namespace {

constexpr size_t kResultLineSize = 32;
constexpr int kFailure = -1;

// Copies `arg` with its terminating zero into `copy`, then overwrites `arg`
// whether or not the copy could be made.
bool Take(char *arg, platform::SecureBuffer *copy) {
  const size_t length = std::strlen(arg);
  const bool copied = copy->Assign({reinterpret_cast<const unsigned char *>(arg), length + 1});
  platform::SecureWipe(arg, length);
  return copied;
}

// Reads the whole file into `blob` (wiped when it goes).  Only a regular
// file is read: anything else counts as a file that cannot be opened.
EntryOutcome ReadPkcs12File(const char *path, platform::SecureBuffer *blob, FileIdentity *identity) {
  struct stat st {};
  platform::OpenFailure why = platform::OpenFailure::kNotOpened;
  platform::FileDescriptor fd = platform::OpenRegularFile(path, O_RDONLY, &st, &why);
  if (!fd && why == platform::OpenFailure::kNoStatus) {
    return EntryOutcome::Failure(kFailure, velkor::msg::kStatP12, kFailure);
  }
  if (!fd) return EntryOutcome::Failure(kFailure, velkor::msg::kOpenP12, PathForMessage(path).c_str(), kFailure);
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
    return EntryOutcome::Failure(kFailure, velkor::msg::kStatP12, kFailure);
  }
  size_t size = static_cast<size_t>(st.st_size);
  if (!blob->Allocate(size)) return EntryOutcome::Failure(kFailure, velkor::msg::kAllocP12, kFailure);
  // The whole size must come: an empty file, or one that shrank meanwhile,
  // is a failed read.
  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd.get(), blob->data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (size == 0 || done != size) return EntryOutcome::Failure(kFailure, velkor::msg::kReadP12, kFailure);
  identity->device = st.st_dev;
  identity->inode = st.st_ino;
  identity->owner = st.st_uid;
  return {};
}

// The folder that holds `path`'s last component: "." for a bare name, "/"
// for a name directly under the root.
std::string ParentFolder(const char *path) {
  std::string folder(path);
  size_t slash = folder.rfind('/');
  if (slash == std::string::npos) return ".";
  folder.erase(slash);
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder.empty() ? "/" : folder;
}

// Whether this process may delete the file that was read: its folder must
// be writable and searchable for the process's effective ids (the kernel
// also answers "no" for a read-only mount or an immutable folder), and in
// a folder with the sticky bit only the owner of the file or of the folder
// (or the superuser) may remove an entry.  Asked before the file is
// overwritten, so that a file that could not be deleted afterwards is left
// as it was instead of destroyed with nothing imported.
bool CanDeleteFile(const char *path, const FileIdentity &identity) {
  const std::string folder = ParentFolder(path);
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return false;
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) return false;
  if ((st.st_mode & S_ISVTX) == 0) return true;
  const uid_t self = geteuid();
  return self == 0 || self == identity.owner || self == st.st_uid;
}

// The switch of one argument: 0 for `first`, 1 for `second`, -1 for
// anything else (an exact, case-sensitive comparison).
int Keyword(const char *arg, const char *first, const char *second) {
  if (std::strcmp(arg, first) == 0) return 0;
  if (std::strcmp(arg, second) == 0) return 1;
  return -1;
}

}  // namespace

bool CommandLineSecrets::TakeFrom(int argc, char **argv) {
  if (argc != 8) return true;
  const bool pinTaken = Take(argv[2], &pin);
  const bool passwordTaken = Take(argv[3], &password);
  return pinTaken && passwordTaken;
}

std::string PathForMessage(const char *path) {
  constexpr size_t kRoomForText = 160;
  size_t length = std::strlen(path);
  size_t room = kMessageSize - kRoomForText;
  if (length <= room) return path;
  return std::string(path, platform::TrimPartialUtf8(path, room));
}

EntryOutcome UnexpectedFailure(bool outOfMemory) {
  return EntryOutcome::Failure(kFailure, outOfMemory ? velkor::msg::kOutOfMemory : velkor::msg::kUnexpectedFailure,
                               kFailure);
}

std::string RunLogText(token::Outcome &outcome) {
  char resultLine[kResultLineSize] = {};
  platform::FormatBounded(resultLine, sizeof resultLine, velkor::msg::kResultLine, outcome.code());
  outcome.message().AppendText(resultLine);
  return outcome.message().c_str();
}

EntryOutcome PrepareRun(int argc, char **argv, ImportSwitches *switches, platform::SecureBuffer *blob,
                        FileIdentity *identity) {
  if (argc != 8) return EntryOutcome::Failure(kFailure, velkor::msg::kArgCount, kFailure);
  // "SUBDN" 0, "SUBCN" 1; "ISCHKOFF" 0, "ISCHKON" 1; "ADDOFF" 0, "ADDON" 1.
  switches->m_subjectMode = Keyword(argv[5], velkor::msg::kSubDn, velkor::msg::kSubCn);
  if (switches->m_subjectMode < 0) return EntryOutcome::Failure(kFailure, velkor::msg::kArg5, kFailure);
  switches->m_issuerCheck = Keyword(argv[6], velkor::msg::kIsChkOff, velkor::msg::kIsChkOn);
  if (switches->m_issuerCheck < 0) return EntryOutcome::Failure(kFailure, velkor::msg::kArg6, kFailure);
  switches->m_additionEnabled = Keyword(argv[7], velkor::msg::kAddOff, velkor::msg::kAddOn);
  if (switches->m_additionEnabled < 0) return EntryOutcome::Failure(kFailure, velkor::msg::kArg7, kFailure);
  // A module argument given as a PKCS#11 URI that cannot choose a token
  // is refused before the PKCS#12 file is consumed: the user corrects
  // the argument and runs again with the same file.
  if (token::IsPkcs11Uri(argv[4])) {
    std::unique_ptr<token::TokenUri> uri;
    token::Outcome checked = token::TokenUri::Parse(argv[4], &uri);
    if (!checked.ok()) return EntryOutcome::FailureText(checked.code(), RunLogText(checked).c_str());
  }
  if (EntryOutcome read = ReadPkcs12File(argv[1], blob, identity); !read.ok()) return read;
  if (!CanDeleteFile(argv[1], *identity)) return EntryOutcome::Failure(kFailure, velkor::msg::kDeleteP12, kFailure);
  return {};
}

}  // namespace velkor::entry
