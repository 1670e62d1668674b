// The PKCS#11 calls of four runs, as libfaultp11.so logs them in front of
// SoftHSM, compared byte for byte with the traces checked in under
// tests/golden: every call, the attribute types of each template it passes
// (a length query marked "?") and its result. Handles, values and times
// never enter the comparison, so a trace changes only when what reaches the
// token changes. Set GOLDEN_TRACE_RECORD=1 to write the traces afresh.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "release_support.h"

namespace release_test {
namespace {

using namespace testtoken;

const fs::path kGoldenFolder = RELEASE_GOLDEN_DIR;

// One line per call: function, result, "injected" when the fault module
// answered, and the template's attribute types. Everything that differs
// between two runs of the same case (handles, values, lengths) is left out.
std::string Normalised(const std::vector<FaultCall> &calls) {
  std::string text;
  for (const FaultCall &c : calls) {
    char rv[16];
    std::snprintf(rv, sizeof rv, "0x%08lX", static_cast<unsigned long>(c.rv));
    text += c.function + " " + rv;
    if (c.injected) text += " injected";
    if (c.killed) text += " killed";
    if (!c.attributes.empty()) text += " [" + c.attributes + "]";
    text += "\n";
  }
  return text;
}

enum class Program { Velkor, Sarnet };

struct GoldenCase {
  const char *name;  // also the trace's file name
  Program program;
  void (*seed)(P11Session &);
  Bytes (*p12)();
  std::vector<std::string> switches;  // subject, serial check, addition
  const Certificate *trustAnchor;     // its identifier goes to trustAnchor.config
  const char *rules;                  // fault rules
  int exitCode;
};

// The token's listing order is its own (SoftHSM's differs from run to run):
// the fault module hands out every search's objects ordered by class,
// identifier and label, which the seeded tokens keep apart.
constexpr const char *kOrdered = "FIND_ORDERED";

void PrintTo(const GoldenCase &c, std::ostream *out) { *out << c.name; }

const std::vector<GoldenCase> &Cases() {
  static const std::vector<GoldenCase> cases = {
      {"renewal_renewed_ca", Program::Velkor, SeedOldSet,
       [] { return Pkcs12Of(SharedPki().newKey, {&SharedRenewedCa().userCert, &SharedRenewedCa().ca.cert}); },
       {"SUBDN", "ISCHKOFF", "ADDOFF"}, nullptr, kOrdered, 0},
      {"subject_change_trust_anchor", Program::Velkor, SeedOldSet,
       [] { return Pkcs12Of(SharedPki().newKey, {&MovedCert(), &SharedPki().ca.cert}); },
       {"SUBDN", "ISCHKOFF", "ADDON"}, &SharedPki().ca.cert, kOrdered, 0},
      {"refused_certificate_write", Program::Velkor, SeedOldSet, [] { return SharedPki().Renewal(); },
       {"SUBDN", "ISCHKOFF", "ADDOFF"}, nullptr, "FIND_ORDERED;C_CreateObject:cert=0x31", -12},
      {"sarnet_listing", Program::Sarnet, SeedListing, nullptr, {}, nullptr, kOrdered, 0},
  };
  return cases;
}

class GoldenTrace : public ::testing::TestWithParam<GoldenCase> {
 protected:
  // Seeds a fresh token, runs the case's program through the fault module
  // and returns the normalised trace.
  std::string Record(const GoldenCase &c) {
    SoftHsm hsm({TokenConfig{}});
    SeedStore(hsm, c.seed);
    FaultSetup fault(c.rules, softhsmModulePath(), hsm.environment());
    RunResult r;
    std::string report;
    if (c.program == Program::Velkor) {
      VelkorCopy velkor;
      writeFile(velkor.p12Path(), c.p12());
      if (c.trustAnchor != nullptr)
        writeFile(velkor.beside("trustAnchor.config"), toBytes(TrustAnchorLine(*c.trustAnchor)));
      std::vector<std::string> args = {velkor.p12Path().string(), "1234", SharedPki().password, fault.modulePath()};
      args.insert(args.end(), c.switches.begin(), c.switches.end());
      r = velkor.Run(args, fault.environment());
      report = FileBytes(velkor.logPath()).value_or("(no log)");
    } else {
      SarnetCopy sarnet;
      r = sarnet.Run({fault.modulePath()}, fault.environment());
      report = FileBytes(sarnet.errorPath()).value_or("(no error file)");
    }
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.signedExitCode(), c.exitCode) << report;
    return Normalised(fault.calls());
  }
};

TEST_P(GoldenTrace, CallsMatchTheRecordedTrace) {
  const GoldenCase &c = GetParam();
  const fs::path golden = kGoldenFolder / (std::string(c.name) + ".trace");
  std::string trace = Record(c);
  ASSERT_FALSE(trace.empty()) << "the fault module logged nothing";
  // A run that went wrong is never recorded as the reference.
  if (HasFailure()) return;
  const char *record = std::getenv("GOLDEN_TRACE_RECORD");
  if (record != nullptr && std::string(record) == "1") {
    writeFile(golden, toBytes(trace));
    GTEST_SKIP() << "recorded " << golden;
  }
  std::optional<std::string> expected = FileBytes(golden);
  ASSERT_TRUE(expected.has_value()) << golden << " is missing (GOLDEN_TRACE_RECORD=1 writes it)";
  EXPECT_EQ(trace, *expected) << "the PKCS#11 calls of " << c.name << " changed";
}

std::string TestName(const ::testing::TestParamInfo<GoldenCase> &param) { return camelCaseName(param.param.name); }

INSTANTIATE_TEST_SUITE_P(Runs, GoldenTrace, ::testing::ValuesIn(Cases()), TestName);

}  // namespace
}  // namespace release_test
