// Velkor: renews the key pair and certificate on the inserted token from a
// PKCS#12 file, which it consumes.  It prints nothing: the exit code and,
// on failure, the log file beside the program are its only outputs.
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "entry_messages.h"
#include "import_run.h"
#include "platform/secure.h"
#include "platform/text.h"
#include "token/smart_card_reader.h"

namespace {

constexpr size_t kEntryMessageSize = 1024;
constexpr int kFailure = -1;

// The path as it goes into a message: cut (never inside a character) so
// that the message's own text and its result line always fit.
std::string PathForMessage(const char *path) {
  constexpr size_t kRoomForText = 160;
  size_t length = std::strlen(path);
  size_t room = kEntryMessageSize - kRoomForText;
  if (length <= room) return path;
  return std::string(path, platform::TrimPartialUtf8(path, room));
}

// Reads the whole file into `blob` (wiped when it goes).  On failure the
// message is formatted into `message`.
bool ReadPkcs12File(const char *path, platform::SecureBuffer *blob, char *message, size_t messageSize) {
  platform::File f(std::fopen(path, "rb"));
  if (!f) {
    platform::FormatBounded(message, messageSize, velkor::msg::kOpenP12, PathForMessage(path).c_str(), kFailure);
    return false;
  }
  struct stat st {};
  if (fstat(fileno(f.get()), &st) != 0 || st.st_size < 0 || static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
    platform::FormatBounded(message, messageSize, velkor::msg::kStatP12, kFailure);
    return false;
  }
  size_t size = static_cast<size_t>(st.st_size);
  if (!blob->Allocate(size)) {
    platform::FormatBounded(message, messageSize, velkor::msg::kAllocP12, kFailure);
    return false;
  }
  // The whole file is read as one item; an empty file yields none.
  if (size == 0 || std::fread(blob->data(), size, 1, f.get()) != 1) {
    platform::FormatBounded(message, messageSize, velkor::msg::kReadP12, kFailure);
    return false;
  }
  return true;
}

// Overwrites the file's bytes with 0x01 in one write and flushes them to
// the disk before the caller deletes the file.
bool OverwritePkcs12File(const char *path, size_t size, char *message, size_t messageSize) {
  platform::File f(std::fopen(path, "w"));
  if (!f) {
    platform::FormatBounded(message, messageSize, velkor::msg::kOpenP12, PathForMessage(path).c_str(), kFailure);
    return false;
  }
  std::vector<unsigned char> ones(size, 0x01);
  if (size > 0) (void)std::fwrite(ones.data(), 1, size, f.get());
  if (std::fflush(f.get()) == 0) (void)fsync(fileno(f.get()));
  return true;
}

int Run(int argc, char **argv) {
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
    reader->m_modulePath = argv[4];
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
    if (!ReadPkcs12File(argv[1], &blob, message, sizeof message)) break;
    if (!OverwritePkcs12File(argv[1], blob.size(), message, sizeof message)) break;
    if (std::remove(argv[1]) != 0) {
      platform::FormatBounded(message, sizeof message, velkor::msg::kDeleteP12, kFailure);
      break;
    }
    velkor::ImportRun run(*reader, switches);
    result = run.DoImportProc(static_cast<uint32_t>(blob.size()), blob.data(), argv[2], argv[3]);
    // The PIN and the password are not needed any more: wipe the argument
    // strings too, so that no copy of them outlives the import.
    platform::SecureWipe(argv[2], std::strlen(argv[2]));
    platform::SecureWipe(argv[3], std::strlen(argv[3]));
  } while (false);

  if (message[0] != '\0') reader->WriteLogFile(message);
  blob.Release();
  reader.reset();
  return result;
}

}  // namespace

int main(int argc, char **argv) {
  // The PKCS#12 password arrives in the user's character set; the
  // conversions follow the user's locale.
  std::setlocale(LC_ALL, "");
  return Run(argc, argv);
}
