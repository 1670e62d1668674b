// velkor-preview: what Velkor would do with this PKCS#12 file on this token,
// decided by Velkor's own code up to its first write, shown before anything
// is done.  The file is only read, the token is reached through a read-only
// session, and no log is written.  The exit code is the one Velkor would
// return for everything it decides before its first write.
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "entry_messages.h"
#include "import_entry.h"
#include "import_run.h"
#include "plan_report.h"
#include "platform/secure.h"
#include "platform/text.h"
#include "token/smart_card_reader.h"

namespace {

constexpr int kFailure = -1;
constexpr char kJsonOption[] = "--json";

struct Preview {
  int result = kFailure;
  bool fileConsumed = false;
  std::string logText;  // UTF-8, as Velkor's log would hold it
  velkor::PlannedChanges changes;
};

// Velkor's steps with its command line (program name and seven arguments),
// stopped before the PKCS#12 file is overwritten and before the first
// write to the token.
void Predict(int argc, char **argv, velkor::entry::CommandLineSecrets &secrets, Preview *preview) {
  velkor::ImportSwitches switches;
  platform::SecureBuffer blob;
  velkor::entry::FileIdentity identity;
  const velkor::entry::EntryOutcome prepared = velkor::entry::PrepareRun(argc, argv, &switches, &blob, &identity);
  preview->result = prepared.code();
  if (!prepared.ok()) {
    preview->logText = prepared.message().c_str();
    return;
  }
  preview->fileConsumed = true;
  CSmartCardReader reader;
  reader.UseReadOnlySession();
  velkor::ImportRun run(reader, switches, argv[4]);
  token::Outcome outcome =
      run.Check(static_cast<uint32_t>(blob.size()), blob.data(), secrets.Pin(), secrets.password);
  if (outcome.ok()) outcome = run.Describe(&preview->changes);
  secrets.pin.Release();
  blob.Release();
  preview->result = outcome.code();
  if (!outcome.ok()) {
    preview->logText = velkor::entry::RunLogText(outcome);
    preview->changes = {};
  }
  reader.CloseToken();
}

void Print(const std::string &text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// The failure Velkor's entry point reports when the run ended otherwise.
void Unexpected(bool outOfMemory, Preview *preview) {
  *preview = {};
  preview->logText = velkor::entry::UnexpectedFailure(outOfMemory).message().c_str();
}

// Nothing that fails on the way ends the preview otherwise than with -1
// and a report; memory that cannot be had is reported as Velkor reports it.
int RunGuarded(int argc, char **argv, bool json) {
  Preview preview;
  try {
    velkor::entry::CommandLineSecrets secrets;
    if (!secrets.TakeFrom(argc, argv)) throw std::bad_alloc();
    Predict(argc, argv, secrets, &preview);
  } catch (const std::bad_alloc &) {
    Unexpected(true, &preview);
  } catch (const std::length_error &) {
    Unexpected(true, &preview);
  } catch (...) {
    Unexpected(false, &preview);
  }
  try {
    const bool given = argc == 8;
    const std::string switches = given ? std::string(argv[5]) + " " + argv[6] + " " + argv[7] : "(not given)";
    const velkor::report::Prediction shown{given ? argv[1] : "(not given)", given ? argv[4] : "(not given)",
                                           switches,           preview.result,
                                           preview.fileConsumed, preview.logText,
                                           &preview.changes};
    Print(json ? velkor::report::Json(shown) : velkor::report::Text(shown));
  } catch (...) {
    // Not even the report can be made: the exit code tells.
  }
  return preview.result;
}

}  // namespace

int main(int argc, char **argv) {
  std::signal(SIGPIPE, SIG_IGN);
  // The PKCS#12 password arrives in the user's character set, as Velkor
  // takes it.
  std::setlocale(LC_ALL, "");
  bool json = false;
  if (argc > 1 && std::strcmp(argv[1], kJsonOption) == 0) {
    // Velkor's command line follows the option.
    json = true;
    argv[1] = argv[0];
    ++argv;
    --argc;
  }
  return RunGuarded(argc, argv, json);
}
