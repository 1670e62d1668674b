// Sarnet through libfaultp11.so with each of its PKCS#11 calls failing in
// turn: every run ends by itself with one of the program's codes, and the
// certificate file is either absent or a set of whole entries of the clean
// listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "release_support.h"

namespace release_test {
namespace {

using namespace testtoken;

using Entry = std::vector<std::string>;

std::vector<std::vector<Bytes>> StoreContents(const SoftHsm &hsm) {
  ScopedEnv env(hsm.environment());
  P11Client client(softhsmModulePath());
  P11Session session = client.openSession(client.slotByLabel("TestToken"));
  session.login("1234");
  std::vector<std::vector<Bytes>> contents;
  for (const TokenObject &o : session.objects()) contents.push_back({toBytes(o.label), o.id, o.subject, o.value});
  std::sort(contents.begin(), contents.end());
  return contents;
}

// The file as entries of four lines; false when it is not made of whole
// entries.
bool SplitEntries(const std::string &text, std::vector<Entry> *entries) {
  bool whole = true;
  std::vector<std::string> lines = Lines(text, &whole);
  if (!whole || lines.size() % 4 != 0) return false;
  for (size_t i = 0; i < lines.size(); i += 4)
    entries->emplace_back(lines.begin() + static_cast<std::ptrdiff_t>(i),
                          lines.begin() + static_cast<std::ptrdiff_t>(i + 4));
  return true;
}

TEST(ListingSweep, EveryFailingCallEndsCleanlyWithWholeEntries) {
  SoftHsm hsm({TokenConfig{}});
  {
    ScopedEnv env(hsm.environment());
    P11Client client(softhsmModulePath());
    P11Session session = client.openSession(client.slotByLabel("TestToken"));
    session.login("1234");
    SeedListing(session);
  }
  const std::vector<std::vector<Bytes>> before = StoreContents(hsm);
  SarnetCopy sarnet;

  // The clean run through the same module.
  FaultSetup clean("", softhsmModulePath(), hsm.environment());
  RunResult first = sarnet.Run({clean.modulePath()}, clean.environment());
  ASSERT_TRUE(first.exited);
  ASSERT_EQ(first.signedExitCode(), 0) << FileBytes(sarnet.errorPath()).value_or("");
  const std::string cleanText = FileBytes(sarnet.certPath()).value_or("");
  std::vector<Entry> cleanEntries;
  ASSERT_TRUE(SplitEntries(cleanText, &cleanEntries)) << cleanText;
  std::vector<Entry> expected = {OldCertEntry(), OtherCertEntry()};
  std::vector<Entry> sortedClean = cleanEntries;
  std::sort(sortedClean.begin(), sortedClean.end());
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(sortedClean, expected);
  // The fault module counts every call but C_GetFunctionList.
  const std::vector<FaultCall> cleanLog = clean.calls();
  const size_t cleanCalls = static_cast<size_t>(std::count_if(
      cleanLog.begin(), cleanLog.end(), [](const FaultCall &c) { return c.function != "C_GetFunctionList"; }));
  ASSERT_GT(cleanCalls, 10u);
  for (const FaultCall &c : cleanLog) {
    EXPECT_NE(c.function, "C_Login");
    EXPECT_FALSE(IsWritingCall(c.function)) << c.function;
  }

  const std::set<int32_t> allowed = {0, -1, -8, -9, -10, -13};
  int survived = 0;
  int failedRuns = 0;
  size_t n = 1;
  for (;; ++n) {
    SCOPED_TRACE("FAIL_CALL=" + std::to_string(n));
    ASSERT_LE(n, cleanCalls + 1) << "the runs keep making more calls than the clean one";
    // A stale certificate file must be removed by the run itself.
    writeFile(sarnet.certPath(), toBytes("stale\n"));
    fs::remove(sarnet.errorPath());
    FaultSetup fault("FAIL_CALL=" + std::to_string(n), softhsmModulePath(), hsm.environment());
    RunResult r = sarnet.Run({fault.modulePath()}, fault.environment());
    std::vector<FaultCall> calls = fault.calls();
    auto injected = std::find_if(calls.begin(), calls.end(), [](const FaultCall &c) { return c.injected; });
    if (injected == calls.end()) {
      // Past the last call: the clean run again.
      EXPECT_EQ(n, cleanCalls + 1);
      EXPECT_EQ(r.signedExitCode(), 0);
      std::vector<Entry> last;
      EXPECT_TRUE(SplitEntries(FileBytes(sarnet.certPath()).value_or("-"), &last));
      std::sort(last.begin(), last.end());
      EXPECT_EQ(last, sortedClean);
      break;
    }
    const std::string failing = injected->function;
    const int32_t code = r.signedExitCode();
    std::optional<std::string> text = FileBytes(sarnet.certPath());
    std::optional<std::string> error = FileBytes(sarnet.errorPath());

    bool ok = r.exited && !r.timedOut && allowed.count(code) == 1;
    std::string why;
    if (!ok) why = r.exited ? "exit code " + std::to_string(code) : "signal " + std::to_string(r.signal);

    // Whole entries of the clean listing, each at most once.
    std::vector<Entry> entries;
    if (ok && text) {
      ok = SplitEntries(*text, &entries);
      for (const Entry &e : entries) ok = ok && std::find(cleanEntries.begin(), cleanEntries.end(), e) != cleanEntries.end();
      std::vector<Entry> sorted = entries;
      std::sort(sorted.begin(), sorted.end());
      ok = ok && std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
      if (!ok) why = "certificate file is not made of clean entries:\n" + *text;
    }
    if (ok && code == 0) {
      // A failing attribute read passes one object over, a failing search
      // step ends the search with what it found so far; anything else that
      // fails without ending the run is part of the teardown. (SoftHSM
      // lists its objects in an order of its own in every session, so the
      // entries are compared as a set.)
      std::vector<Entry> sorted = entries;
      std::sort(sorted.begin(), sorted.end());
      if (failing == "C_GetAttributeValue") {
        ok = text.has_value() && entries.size() + 1 >= cleanEntries.size();
      } else if (failing == "C_FindObjects") {
        ok = text.has_value();
      } else {
        ok = text.has_value() && sorted == sortedClean && text->size() == cleanText.size();
      }
      ok = ok && !error.has_value();
      if (!ok) why = "exit 0 after a failing " + failing + " with\n" + text.value_or("(no file)");
    }
    if (ok && code != 0) {
      const std::string tail = Cp932("\nツールの戻り値 = " + std::to_string(code));
      ok = error.has_value() && error->rfind("error:", 0) == 0 && error->size() > tail.size() &&
           error->compare(error->size() - tail.size(), tail.size(), tail) == 0;
      if (!ok) why = "error file: " + error.value_or("(none)");
    }
    // Never a login or a write; once initialised, the module is finalised last.
    for (const FaultCall &c : calls) {
      if (c.function == "C_Login" || IsWritingCall(c.function)) {
        ok = false;
        why = "called " + c.function;
      }
    }
    bool initialised = std::any_of(calls.begin(), calls.end(),
                                   [](const FaultCall &c) { return c.function == "C_Initialize" && c.rv == CKR_OK; });
    if (initialised && calls.back().function != "C_Finalize") {
      ok = false;
      why = "last call " + calls.back().function;
    }

    if (std::getenv("RELEASE_SWEEP_VERBOSE") != nullptr)
      std::printf("FAIL_CALL=%zu %s -> %d\n", n, failing.c_str(), static_cast<int>(code));
    EXPECT_TRUE(ok) << "failing " << failing << ": " << why;
    if (ok) ++survived;
    if (code != 0) ++failedRuns;
  }
  const int points = static_cast<int>(n - 1);
  EXPECT_EQ(survived, points);
  EXPECT_GT(failedRuns, 0);
  EXPECT_EQ(StoreContents(hsm), before);
  std::printf("[ listing sweep ] %d of %d failure points survived (%d runs failed, %zu calls in a clean run)\n",
              survived, points, failedRuns, cleanCalls);
  RecordProperty("failure_points", points);
}

}  // namespace
}  // namespace release_test
