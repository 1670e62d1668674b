// Sarnet: lists the end-entity certificates on the inserted token into
// "certRead.txt" beside the program.  The exit code is the result; on
// failure the message goes to "Morva.txt" beside the program, and only when
// that file cannot be written does anything appear on the console.
#include <clocale>
#include <csignal>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/text.h"
#include "sarnet/listing_run.h"
#include "sarnet/messages.h"
#include "token/smart_card_reader.h"

namespace {

using token::Outcome;

constexpr size_t kResultLineSize = 32;

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

// Deletes the certificate information file of an earlier run, checks the
// argument and lists the token.
Outcome List(int argc, char **argv, const std::string &certInfoPath) {
  auto reader = std::make_unique<CSmartCardReader>();
  // The listing never writes: a write-protected token is read through a
  // read-only session.
  reader->AllowReadOnlySessionFallback();
  sarnet::ListingRun run(*reader, certInfoPath);
  run.RemoveEarlierFile();
  if (argc != 2) return Outcome::FailureText(token::kFailure, sarnet::msg::kArgCount);
  return run.Run(argv[1]);
}

int32_t Run(int argc, char **argv) {
  Outcome outcome;
  // Left empty by BesideProgram when the program's folder is unknown: the
  // one case in which no log can be written, so it stays a test of its own.
  std::string errorPath;

  // Nothing that fails in the run ends the program: memory that cannot be
  // had, wherever it was asked for, is a failure like any other.
  try {
    const std::string certInfoPath = platform::BesideProgram(sarnet::msg::kCertInfoFileName);
    errorPath = platform::BesideProgram(sarnet::msg::kErrorFileName);
    if (!errorPath.empty()) outcome = List(argc, argv, certInfoPath);
  } catch (const std::bad_alloc &) {
    outcome = Outcome::FailureText(token::kFailure, sarnet::msg::kOutOfMemory);
  } catch (const std::length_error &) {
    outcome = Outcome::FailureText(token::kFailure, sarnet::msg::kOutOfMemory);
  } catch (...) {
    outcome = Outcome::FailureText(token::kFailure, sarnet::msg::kUnexpectedFailure);
  }

  if (errorPath.empty()) {
    Print(sarnet::msg::kLogPath);
    return -2;
  }
  if (!outcome.ok()) {
    // The result line is always written whole after the message.  Whether
    // the log reached the disk is a flag: the console line is all that is
    // left to report with when it did not.
    const char *message = outcome.message().c_str();
    bool written = false;
    try {
      written = platform::WriteCp932File(errorPath, std::string(message) + ResultLine(outcome.code()));
    } catch (...) {
      written = false;
    }
    if (!written) {
      Print(std::string(sarnet::msg::kErrorFileWrite) + message + ResultLine(outcome.code()));
      return -2;
    }
  }
  return outcome.code();
}

}  // namespace

int main(int argc, char **argv) {
  // A caller that closed its end of our standard output must not turn the
  // console line into a death by SIGPIPE: the exit code is the result.
  std::signal(SIGPIPE, SIG_IGN);
  // Local text (the subject line, the console) follows the user's locale.
  std::setlocale(LC_ALL, "");
  try {
    return Run(argc, argv);
  } catch (...) {
    // Even the console line could not be made.
    return -2;
  }
}
