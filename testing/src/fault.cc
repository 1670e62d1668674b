// Environment and call log of the fault-injecting module.
#include "testtoken/testtoken.h"

#include <fstream>
#include <sstream>

namespace testtoken {

std::vector<FaultCall> readFaultLog(const std::filesystem::path& path) {
  std::vector<FaultCall> calls;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    FaultCall call;
    std::string rv, field;
    if (!(fields >> call.function >> rv)) continue;
    call.rv = static_cast<CK_RV>(std::stoul(rv, nullptr, 16));
    while (fields >> field) {
      if (field == "injected") call.injected = true;
      if (field == "killed") call.killed = true;
      if (field == "corrupted") call.corrupted = true;
      if (field.starts_with("attrs=")) call.attributes = field.substr(6);
      if (field.starts_with("ns=")) call.ns = std::stoll(field.substr(3));
      if (field.starts_with("stamp=")) call.stamp = field.substr(6);
      if (field.starts_with("flags=")) call.sessionFlags = std::stoul(field.substr(6), nullptr, 16);
    }
    calls.push_back(std::move(call));
  }
  return calls;
}

FaultSetup::FaultSetup(std::string rules, std::string target, EnvMap hsmEnv)
    : dir_("faultp11"),
      logPath_(dir_.path() / "calls.log"),
      rules_(std::move(rules)),
      target_(std::move(target)),
      hsmEnv_(std::move(hsmEnv)) {}

EnvMap FaultSetup::environment() const {
  EnvMap env = hsmEnv_;
  env["FAULTP11_TARGET"] = target_;
  env["FAULTP11_RULES"] = rules_;
  env["FAULTP11_LOG"] = logPath_.string();
  if (!stampPath_.empty()) env["FAULTP11_LOG_STAMP"] = stampPath_.string();
  return env;
}

std::vector<FaultCall> FaultSetup::calls() const { return readFaultLog(logPath_); }

std::vector<std::string> FaultSetup::functions() const {
  std::vector<std::string> names;
  for (auto& c : calls()) names.push_back(c.function);
  return names;
}

std::size_t FaultSetup::count(std::string_view function) const {
  std::size_t n = 0;
  for (auto& c : calls()) n += c.function == function ? 1 : 0;
  return n;
}

void FaultSetup::clearLog() const {
  std::error_code ec;
  std::filesystem::remove(logPath_, ec);
}

}  // namespace testtoken
