// What Velkor's entry point and its preview share: the secrets taken out of
// the command line, and the steps before the PKCS#12 file is consumed (the
// arguments, a module URI, reading the file and asking whether it could be
// deleted).
#ifndef IMPORT_IMPORT_ENTRY_H_
#define IMPORT_IMPORT_ENTRY_H_

#include <sys/types.h>

#include <string>

#include "import_run.h"
#include "platform/secure.h"
#include "token/outcome.h"

namespace velkor::entry {

// The entry point's message buffer: its messages and their result line.
inline constexpr size_t kMessageSize = 1024;

// What a step of the entry point came to: its failures' messages are the
// whole log text, result line included, and name the PKCS#12 file's path,
// so they are given twice the room of a run's message.
using EntryOutcome = token::BasicOutcome<kMessageSize>;

// The PIN and the password, taken out of the command line at entry: every
// user of the machine can read a process's arguments (/proc/<pid>/cmdline
// shows the bytes of the argument area itself), so they are copied into
// wiped buffers and overwritten in place before anything else happens.
struct CommandLineSecrets {
  platform::SecureBuffer pin;
  platform::SecureBuffer password;

  // Both taken from a command line of the right count (anything else is
  // refused before they would be used); false when memory is missing.
  bool TakeFrom(int argc, char **argv);
  const char *Pin() const { return reinterpret_cast<const char *>(pin.data()); }
};

// Which file was read, so that only that very file is overwritten, and
// whose it is (the sticky-folder rule asks).
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  uid_t owner = 0;
};

// The path as it goes into a message: cut (never inside a character) so
// that the message's own text and its result line always fit.
std::string PathForMessage(const char *path);

// The failure the entry point reports when the run ended otherwise than
// with an outcome: memory that could not be had, or anything else.
EntryOutcome UnexpectedFailure(bool outOfMemory);

// The log text of a failure of the run: its message and the result line.
std::string RunLogText(token::Outcome &outcome);

// The entry point's steps up to the consumption of the file, with Velkor's
// command line (program name and seven arguments): the count, the three
// switches, a module URI, reading the whole file into `blob` (only a
// regular file) and whether this process may delete it afterwards.  A
// failure's message is the log Velkor would write.
EntryOutcome PrepareRun(int argc, char **argv, ImportSwitches *switches, platform::SecureBuffer *blob,
                        FileIdentity *identity);

}  // namespace velkor::entry

#endif  // IMPORT_IMPORT_ENTRY_H_
