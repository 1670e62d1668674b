// Sarnet: lists the end-entity certificates on the inserted token into
// "certRead.txt" beside the program.  The exit code is the result; on
// failure the message goes to "Morva.txt" beside the program, and only when
// that file cannot be written does anything appear on the console.
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "sarnet/cert_reader.h"
#include "sarnet/messages.h"

namespace {

constexpr size_t kMessageSize = 512;
// The two file paths are built into 511 bytes.
constexpr size_t kPathSize = 511;
constexpr size_t kResultLineSize = 32;

// "<folder>/<file>" into `path`; false when it does not fit whole (a cut
// path would name some other file).
bool BuildPath(char (&path)[kPathSize], const std::string &folder, const char *file) {
  const char *prefix = folder == "/" ? "" : folder.c_str();
  int n = std::snprintf(path, sizeof path, "%s/%s", prefix, file);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
    path[0] = '\0';
    return false;
  }
  return true;
}

std::string ResultLine(int32_t result) {
  char line[kResultLineSize] = {};
  platform::FormatBounded(line, sizeof line, sarnet::msg::kResultLine, result);
  return line;
}

// Console output, in the locale's character set.
void Print(std::string_view utf8) {
  std::string text = platform::Utf8ToLocale(utf8);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

int32_t Run(int argc, char **argv) {
  char message[kMessageSize] = {};
  char errorPath[kPathSize] = {};
  char certInfoPath[kPathSize] = {};
  int32_t result = 0;
  auto reader = std::make_unique<CSmartCardReaderForCertRead>();

  const std::string folder = platform::ProgramFolder();
  if (folder.empty() || !BuildPath(errorPath, folder, sarnet::msg::kErrorFileName) ||
      !BuildPath(certInfoPath, folder, sarnet::msg::kCertInfoFileName)) {
    Print(sarnet::msg::kLogPath);
    return -2;
  }
  platform::CopyBounded(reader->m_logPath, errorPath);
  platform::CopyBounded(reader->m_certInfoPath, certInfoPath);

  // The entries of an earlier run never outlive a new run, whatever it
  // finds.  A file that cannot be deleted is found out when it is opened.
  struct stat st {};
  if (stat(certInfoPath, &st) == 0) (void)unlink(certInfoPath);

  if (argc != 2) {
    platform::CopyBounded(message, sarnet::msg::kArgCount);
    result = -1;
  } else {
    reader->m_modulePath = argv[1];
    result = reader->ReadCertificates();
    if (result != 0) platform::CopyBounded(message, reader->m_errorText);
  }

  if (message[0] != '\0' || result != 0) {
    // The result line is always written whole after the message.
    std::string text = message;
    text += ResultLine(result);
    if (!platform::WriteCp932File(reader->m_logPath, text)) {
      std::string console = sarnet::msg::kErrorFileWrite;
      console += message;
      console += ResultLine(result);
      Print(console);
      result = -2;
    }
  }
  reader.reset();
  return result;
}

}  // namespace

int main(int argc, char **argv) {
  // Local text (the subject line, the console) follows the user's locale.
  std::setlocale(LC_ALL, "");
  return Run(argc, argv);
}
