// How velkor-preview shows what a run of Velkor would come to: a report
// for people, or one JSON object for programs.
#ifndef IMPORT_PLAN_REPORT_H_
#define IMPORT_PLAN_REPORT_H_

#include <string>
#include <string_view>

#include "planned_changes.h"

namespace velkor::report {

// Everything a report shows.
struct Prediction {
  std::string_view file;      // the PKCS#12 file as given
  std::string_view module;    // the module argument as given
  std::string_view switches;  // the three keywords, as given
  int result = 0;             // the code Velkor would return
  bool fileConsumed = false;  // Velkor would get as far as deleting the file
  std::string_view message;   // the text Velkor's log would hold (UTF-8); empty on success
  const PlannedChanges *changes = nullptr;
};

// {"result": n, "message": "...", "write": [...], "delete": [...], "keep": [...]}
// with one object per token object: "type" ("cert", "private", "public"),
// "id" (lowercase hex), "label", and for certificates "subject" (RFC 4514
// text) and "serial" (lowercase hex of the INTEGER's contents octets).
// Byte strings that are not UTF-8 have every invalid byte replaced by
// U+FFFD; control characters are escaped.
std::string Json(const Prediction &prediction);
// The same for people, in UTF-8.
std::string Text(const Prediction &prediction);

}  // namespace velkor::report

#endif  // IMPORT_PLAN_REPORT_H_
