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
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "card_rollback.h"
#include "entry_messages.h"
#include "import_entry.h"
#include "import_messages.h"
#include "import_run.h"
#include "platform/secure.h"
#include "platform/file.h"
#include "platform/text.h"
#include "token/smart_card_reader.h"

namespace {

constexpr int kFailure = -1;
using velkor::entry::EntryOutcome;
using velkor::entry::FileIdentity;
using velkor::entry::PathForMessage;

// The log file beside the program; without a known folder the path stays
// empty and no log can be written.
std::string LogPath() { return platform::BesideProgram("Tamrin.txt"); }

// Overwrites the first `size` bytes of the file with 0x01 in place, in
// chunks of a fixed size, and flushes them to the disk before the caller
// deletes the file.  The file is never truncated first: whatever happens
// on the way, its contents are not lost before they were overwritten.  A
// file that is no longer the one read is not touched.
EntryOutcome OverwritePkcs12File(const char *path, size_t size, const FileIdentity &identity) {
  struct stat st {};
  platform::FileDescriptor fd = platform::OpenRegularFile(path, O_WRONLY, &st);
  if (!fd) return EntryOutcome::Failure(kFailure, velkor::msg::kOpenP12, PathForMessage(path).c_str(), kFailure);
  if (st.st_dev != identity.device || st.st_ino != identity.inode) {
    return EntryOutcome::Failure(kFailure, velkor::msg::kChangedP12, PathForMessage(path).c_str(), kFailure);
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
  return {};
}

int Run(int argc, char **argv, velkor::entry::CommandLineSecrets &secrets) {
  auto reader = std::make_unique<CSmartCardReader>();
  platform::SecureBuffer blob;
  velkor::ImportSwitches switches;
  FileIdentity identity;
  // The entry's own steps, up to the consumption of the file; their
  // failure's message is the whole log.
  EntryOutcome consumed = velkor::entry::PrepareRun(argc, argv, &switches, &blob, &identity);
  if (consumed.ok()) consumed = OverwritePkcs12File(argv[1], blob.size(), identity);
  if (consumed.ok() && std::remove(argv[1]) != 0) {
    consumed = EntryOutcome::Failure(kFailure, velkor::msg::kDeleteP12, kFailure);
  }
  if (!consumed.ok()) {
    token::WriteLogFile(LogPath(), consumed.message().c_str());
    return consumed.code();
  }

  velkor::ImportRun run(*reader, switches, argv[4]);
  // The run wipes the password once the file is open; the PIN is kept
  // for the whole import.
  token::Outcome outcome =
      run.DoImportProc(static_cast<uint32_t>(blob.size()), blob.data(), secrets.Pin(), secrets.password);
  secrets.pin.Release();
  // The log is written before the token is closed: a module that fails
  // on the way out cannot take the message with it.
  if (!outcome.ok()) token::WriteLogFile(LogPath(), velkor::entry::RunLogText(outcome).c_str());
  reader->CloseToken();
  return outcome.code();
}

// Runs the program; nothing that fails on the way ends it otherwise than
// with -1 and a message in the log.  Memory that cannot be had, wherever it
// was asked for, is reported as such.
int RunGuarded(int argc, char **argv) {
  bool outOfMemory = false;
  try {
    velkor::entry::CommandLineSecrets secrets;
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
    token::WriteLogFile(LogPath(), velkor::entry::UnexpectedFailure(outOfMemory).message().c_str());
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
