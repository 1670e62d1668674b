// Velkor: renews the key pair and certificate on the inserted token from a
// PKCS#12 file, which it consumes.  It prints nothing: the exit code and,
// on failure, the log file beside the program are its only outputs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "card_rollback.h"
#include "entry_messages.h"
#include "import_messages.h"
#include "import_run.h"
#include "platform/secure.h"
#include "platform/text.h"
#include "token/smart_card_reader.h"
#include "token/token_uri.h"

namespace {

constexpr size_t kEntryMessageSize = 1024;
constexpr size_t kResultLineSize = 32;
constexpr int kFailure = -1;

// The log file beside the program; without a known folder the path stays
// empty and no log can be written.
std::string LogPath() { return platform::BesideProgram("Tamrin.txt"); }

// The import's failure as the log holds it: its message and the result
// line.
void WriteRunLog(token::Outcome &outcome) {
  char resultLine[kResultLineSize] = {};
  platform::FormatBounded(resultLine, sizeof resultLine, velkor::msg::kResultLine, outcome.code());
  outcome.message().AppendText(resultLine);
  token::WriteLogFile(LogPath(), outcome.message().c_str());
}

// The path as it goes into a message: cut (never inside a character) so
// that the message's own text and its result line always fit.
std::string PathForMessage(const char *path) {
  constexpr size_t kRoomForText = 160;
  size_t length = std::strlen(path);
  size_t room = kEntryMessageSize - kRoomForText;
  if (length <= room) return path;
  return std::string(path, platform::TrimPartialUtf8(path, room));
}

// Which file was read, so that only that very file is overwritten, and
// whose it is (the sticky-folder rule asks).
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  uid_t owner = 0;
};

// Reads the whole file into `blob` (wiped when it goes).  Only a regular
// file is read: anything else counts as a file that cannot be opened.  On
// failure the message is formatted into `message`.
bool ReadPkcs12File(const char *path, platform::SecureBuffer *blob, FileIdentity *identity, char *message,
                    size_t messageSize) {
  struct stat st {};
  bool statFailed = false;
  platform::FileDescriptor fd = platform::OpenRegularFile(path, O_RDONLY, &st, &statFailed);
  if (statFailed) {
    platform::FormatBounded(message, messageSize, velkor::msg::kStatP12, kFailure);
    return false;
  }
  if (!fd) {
    platform::FormatBounded(message, messageSize, velkor::msg::kOpenP12, PathForMessage(path).c_str(), kFailure);
    return false;
  }
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
    platform::FormatBounded(message, messageSize, velkor::msg::kStatP12, kFailure);
    return false;
  }
  size_t size = static_cast<size_t>(st.st_size);
  if (!blob->Allocate(size)) {
    platform::FormatBounded(message, messageSize, velkor::msg::kAllocP12, kFailure);
    return false;
  }
  // The whole size must come: an empty file, or one that shrank meanwhile,
  // is a failed read.
  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd.get(), blob->data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (size == 0 || done != size) {
    platform::FormatBounded(message, messageSize, velkor::msg::kReadP12, kFailure);
    return false;
  }
  identity->device = st.st_dev;
  identity->inode = st.st_ino;
  identity->owner = st.st_uid;
  return true;
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

// Overwrites the first `size` bytes of the file with 0x01 in place, in
// chunks of a fixed size, and flushes them to the disk before the caller
// deletes the file.  The file is never truncated first: whatever happens
// on the way, its contents are not lost before they were overwritten.  A
// file that is no longer the one read is not touched.
bool OverwritePkcs12File(const char *path, size_t size, const FileIdentity &identity, char *message,
                         size_t messageSize) {
  struct stat st {};
  platform::FileDescriptor fd = platform::OpenRegularFile(path, O_WRONLY, &st);
  if (!fd) {
    platform::FormatBounded(message, messageSize, velkor::msg::kOpenP12, PathForMessage(path).c_str(), kFailure);
    return false;
  }
  if (st.st_dev != identity.device || st.st_ino != identity.inode) {
    platform::FormatBounded(message, messageSize, velkor::msg::kChangedP12, PathForMessage(path).c_str(), kFailure);
    return false;
  }
  constexpr size_t kChunkSize = 64 * 1024;
  static const std::array<unsigned char, kChunkSize> kOnes = [] {
    std::array<unsigned char, kChunkSize> ones{};
    ones.fill(0x01);
    return ones;
  }();
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd.get(), kOnes.data(), std::min(kChunkSize, size - done));
    if (n < 0 && errno == EINTR) continue;
    // A write that fails (a full disk under a sparse file) ends the
    // overwriting; the file is deleted all the same.
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  (void)fsync(fd.get());
  return true;
}

// The PIN and the password, taken out of the command line at entry: every
// user of the machine can read a process's arguments (/proc/<pid>/cmdline
// shows the bytes of the original argument area), so they are copied into
// wiped buffers and overwritten in place before anything else happens.
struct CommandLineSecrets {
  platform::SecureBuffer pin;
  platform::SecureBuffer password;

  // Copies `arg` with its terminating zero into `copy`, then overwrites
  // `arg` whether or not the copy could be made.
  static bool Take(char *arg, platform::SecureBuffer *copy) {
    const size_t length = std::strlen(arg);
    const bool copied = copy->Assign({reinterpret_cast<const unsigned char *>(arg), length + 1});
    platform::SecureWipe(arg, length);
    return copied;
  }
  // Both taken from a command line of the right count (anything else is
  // refused before they would be used); false when memory is missing.
  bool TakeFrom(int argc, char **argv) {
    if (argc != 8) return true;
    const bool pinTaken = Take(argv[2], &pin);
    const bool passwordTaken = Take(argv[3], &password);
    return pinTaken && passwordTaken;
  }
  const char *Pin() const { return reinterpret_cast<const char *>(pin.data()); }
};

int Run(int argc, char **argv, CommandLineSecrets &secrets) {
  auto reader = std::make_unique<CSmartCardReader>();
  int result = kFailure;
  char message[kEntryMessageSize] = {};
  platform::SecureBuffer blob;
  velkor::ImportSwitches switches;

  do {
    if (argc != 8) {
      platform::FormatBounded(message, sizeof message, velkor::msg::kArgCount, kFailure);
      break;
    }
    if (std::strcmp(argv[5], velkor::msg::kSubDn) == 0) {
      switches.m_subjectMode = 0;
    } else if (std::strcmp(argv[5], velkor::msg::kSubCn) == 0) {
      switches.m_subjectMode = 1;
    } else {
      platform::FormatBounded(message, sizeof message, velkor::msg::kArg5, kFailure);
      break;
    }
    if (std::strcmp(argv[6], velkor::msg::kIsChkOn) == 0) {
      switches.m_issuerCheck = 1;
    } else if (std::strcmp(argv[6], velkor::msg::kIsChkOff) == 0) {
      switches.m_issuerCheck = 0;
    } else {
      platform::FormatBounded(message, sizeof message, velkor::msg::kArg6, kFailure);
      break;
    }
    if (std::strcmp(argv[7], velkor::msg::kAddOn) == 0) {
      switches.m_additionEnabled = 1;
    } else if (std::strcmp(argv[7], velkor::msg::kAddOff) == 0) {
      switches.m_additionEnabled = 0;
    } else {
      platform::FormatBounded(message, sizeof message, velkor::msg::kArg7, kFailure);
      break;
    }
    // A module argument given as a PKCS#11 URI that cannot choose a token
    // is refused before the PKCS#12 file is consumed: the user corrects
    // the argument and runs again with the same file.
    if (token::IsPkcs11Uri(argv[4])) {
      std::unique_ptr<token::TokenUri> uri;
      token::Outcome checked = token::TokenUri::Parse(argv[4], &uri);
      if (!checked.ok()) {
        result = checked.code();
        WriteRunLog(checked);
        break;
      }
    }
    FileIdentity identity;
    if (!ReadPkcs12File(argv[1], &blob, &identity, message, sizeof message)) break;
    if (!CanDeleteFile(argv[1], identity)) {
      platform::FormatBounded(message, sizeof message, velkor::msg::kDeleteP12, kFailure);
      break;
    }
    if (!OverwritePkcs12File(argv[1], blob.size(), identity, message, sizeof message)) break;
    if (std::remove(argv[1]) != 0) {
      platform::FormatBounded(message, sizeof message, velkor::msg::kDeleteP12, kFailure);
      break;
    }
    velkor::ImportRun run(*reader, switches, argv[4]);
    // The run wipes the password once the file is open; the PIN is kept
    // for the whole import.
    token::Outcome outcome =
        run.DoImportProc(static_cast<uint32_t>(blob.size()), blob.data(), secrets.Pin(), secrets.password);
    secrets.pin.Release();
    result = outcome.code();
    // The log is written before the token is closed: a module that fails
    // on the way out cannot take the message with it.
    if (!outcome.ok()) WriteRunLog(outcome);
    reader->CloseToken();
  } while (false);

  if (message[0] != '\0') token::WriteLogFile(LogPath(), message);
  blob.Release();
  reader.reset();
  return result;
}

// Runs the program; nothing that fails on the way ends it otherwise than
// with -1 and a message in the log.  Memory that cannot be had, wherever it
// was asked for, is reported as such.
int RunGuarded(int argc, char **argv) {
  bool outOfMemory = false;
  try {
    CommandLineSecrets secrets;
    if (secrets.TakeFrom(argc, argv)) return Run(argc, argv, secrets);
    outOfMemory = true;
  } catch (const std::bad_alloc &) {
    outOfMemory = true;
  } catch (const std::length_error &) {
    outOfMemory = true;
  } catch (...) {
    outOfMemory = false;
  }
  // The run's objects are gone with their memory (the secrets wiped) and
  // the token is closed.
  try {
    char message[kEntryMessageSize] = {};
    if (outOfMemory) {
      platform::FormatBounded(message, sizeof message, velkor::msg::kOutOfMemory, kFailure);
    } else {
      platform::FormatBounded(message, sizeof message, velkor::msg::kUnexpectedFailure, kFailure);
    }
    token::WriteLogFile(LogPath(), message);
  } catch (...) {
    // Not even the log can be written: the exit code tells.
  }
  return kFailure;
}

}  // namespace

int main(int argc, char **argv) {
  // Started again by a rollback that needs the module afresh.
  if (velkor::IsFreshRollbackStart(argc)) return velkor::FreshRollbackMain();
  // A caller that closed its end of our standard error must not turn the
  // one line written there (when the log cannot be written) into a death
  // by SIGPIPE: the exit code is the run's result.
  std::signal(SIGPIPE, SIG_IGN);
  // The PKCS#12 password arrives in the user's character set; the
  // conversions follow the user's locale.
  std::setlocale(LC_ALL, "");
  return RunGuarded(argc, argv);
}
