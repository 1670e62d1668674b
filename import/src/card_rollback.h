// The fresh start of a rollback runs as a process of its own: this
// program started again with an environment variable that says so, its
// request on standard input, its findings on standard output.
#ifndef IMPORT_CARD_ROLLBACK_H_
#define IMPORT_CARD_ROLLBACK_H_

namespace velkor {

// Whether this process was started as the fresh start of a rollback.
[[nodiscard]] bool IsFreshRollbackStart(int argc);
// Its whole work; the process's exit code (0: the findings were written).
int FreshRollbackMain();

}  // namespace velkor

#endif  // IMPORT_CARD_ROLLBACK_H_
