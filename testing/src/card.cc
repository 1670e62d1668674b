// A smart card behind OpenSC: pcscd with vsmartcard's virtual reader,
// the harness's IsoApplet card emulator, personalisation by pkcs15-init.
#include <cstdio>
#include <fstream>

#include "server_support.h"
#include "testtoken/testtoken.h"

namespace testtoken {

namespace fs = std::filesystem;

namespace {

// pcscd's client socket: one per machine.
const fs::path kPcscdSocket = "/run/pcscd/pcscd.comm";
const fs::path kCardLock = "/tmp/testtoken-pcscd.lock";
// The TCP port of the first virtual reader (vsmartcard's default, 0x8C7B).
constexpr int kReaderPort = 35963;

constexpr char kOpenScConf[] =
    "# The tests' OpenSC: no file cache, so that each test's card is read\n"
    "# afresh and nothing of it is kept after the test.\n"
    "app default {\n"
    "  framework pkcs15 {\n"
    "    use_file_caching = no;\n"
    "  }\n"
    "}\n";

}  // namespace

OpenScCardToken::OpenScCardToken(const TokenConfig& config, CardPersonality personality)
    : lock_(takeExclusiveLock(kCardLock, std::chrono::minutes(10), "pcscd and the card reader port")),
      config_(config),
      personality_(personality),
      dir_("opensc-card", "/tmp") {
  fs::create_directory(dir_ / "readers");
  fs::create_directory(dir_ / "card");
  writeFile(dir_ / "opensc.conf", toBytes(kOpenScConf));
  startPcscd();
  startCard();
  personalise();
}

OpenScCardToken::~OpenScCardToken() {
  // The card first (it is pcscd's client), then pcscd; both by their PIDs.
  card_.reset();
  pcscd_.reset();
}

EnvMap OpenScCardToken::environment() const { return {{"OPENSC_CONF", (dir_ / "opensc.conf").string()}}; }

void OpenScCardToken::startPcscd() {
  if (socketListening(kPcscdSocket.string()))
    throw Error("a pcscd not started by the tests listens on " + kPcscdSocket.string() +
                "; stop it (and its socket unit) to run the smart card tests");
  // The virtual reader only, from a reader folder of the test's own.
  char channel[16];
  std::snprintf(channel, sizeof channel, "0x%04X", kReaderPort);
  writeFile(dir_ / "readers" / "vpcd",
            toBytes(std::string("FRIENDLYNAME \"Virtual PCD\"\nDEVICENAME /dev/null:") + channel +
                    "\nLIBPATH " + vpcdDriverPath() + "\nCHANNELID " + channel + "\n"));
  FileFd log(dir_ / "pcscd.log");
  SpawnOptions spawn;
  spawn.envp = buildEnvironment({});
  spawn.stdoutFd = log.get();
  spawn.stderrFd = log.get();
  pcscd_ = std::make_unique<ChildProcess>(pcscdProgram(), std::vector<std::string>{"--foreground", "--config",
                                                                                  (dir_ / "readers").string()},
                                          spawn);
  waitUntil(
      [&] {
        if (!pcscd_->running()) throw Error("pcscd exited early: " + readOrEmpty(dir_ / "pcscd.log"));
        return socketListening(kPcscdSocket.string());
      },
      std::chrono::seconds(20), "pcscd's socket");
}

namespace {

// Whether OpenSC sees a card in any reader (recognised or not: a card
// that is not personalised yet shows no token).
bool cardInReader(const std::string& module, const EnvMap& env) {
  ScopedEnv scoped(env);
  P11Client client(module);
  for (CK_SLOT_ID slot : client.slots(false)) {
    CK_SLOT_INFO info{};
    if (client.functions()->C_GetSlotInfo(slot, &info) == CKR_OK && (info.flags & CKF_TOKEN_PRESENT) != 0)
      return true;
  }
  return false;
}

}  // namespace

void OpenScCardToken::startCard() {
  FileFd log(dir_ / "card.log");
  SpawnOptions spawn;
  spawn.envp = buildEnvironment({});
  spawn.stdoutFd = log.get();
  spawn.stderrFd = log.get();
  std::vector<std::string> args{cardEmulatorPath(), "--port", std::to_string(kReaderPort), "--control",
                                (dir_ / "card").string()};
  if (personality_ == CardPersonality::NoAccessRules) args.push_back("--no-access-rules");
  card_ = std::make_unique<ChildProcess>(python3Program(), args, spawn);
  // The emulator writes its APDU count once it is connected to the reader.
  waitUntil(
      [&] {
        if (!card_->running()) throw Error("the card emulator exited: " + readOrEmpty(dir_ / "card.log"));
        return fs::exists(dir_ / "card" / "apdus");
      },
      std::chrono::seconds(20), "the card emulator to reach the reader");
  waitUntil([&] { return cardInReader(modulePath(), environment()); }, std::chrono::seconds(20),
            "OpenSC to see the card");
}

void OpenScCardToken::runTool(const std::vector<std::string>& args, const std::string& what) {
  RunOptions options;
  options.env = environment();
  options.timeout = std::chrono::milliseconds(60000);
  RunResult r = runProcess(pkcs15InitProgram(), args, options);
  if (!r.exited || r.exitCode != 0)
    throw Error(what + " failed: " + r.out + r.err + "\ncard: " + readOrEmpty(dir_ / "card.log"));
}

void OpenScCardToken::personalise() {
  runTool({"--create-pkcs15", "--no-so-pin", "--label", config_.label}, "pkcs15-init --create-pkcs15");
  runTool({"--store-pin", "--auth-id", "01", "--pin", config_.userPin, "--puk", config_.soPin, "--label",
           "User PIN"},
          "pkcs15-init --store-pin");
}

namespace {

// A number the emulator published in its control folder.
std::size_t publishedNumber(const fs::path& file) {
  std::string text = readOrEmpty(file);
  try {
    return static_cast<std::size_t>(std::stoull(text));
  } catch (const std::exception&) {
    throw Error("the card emulator published no number in " + file.string() + ": \"" + text + "\"");
  }
}

}  // namespace

void OpenScCardToken::setCapacity(std::optional<std::size_t> bytes) {
  fs::path file = dir_ / "card" / "capacity";
  if (!bytes) {
    fs::remove(file);
    return;
  }
  // Written whole under another name first: the card never reads half a number.
  fs::path tmp = dir_ / "card" / "capacity.tmp";
  writeFile(tmp, toBytes(std::to_string(*bytes) + "\n"));
  fs::rename(tmp, file);
}

void OpenScCardToken::setFreeMemory(std::optional<std::size_t> bytes) {
  setCapacity(bytes ? std::optional<std::size_t>(memory().usedBytes + *bytes) : std::nullopt);
}

CardMemory OpenScCardToken::memory() const {
  CardMemory m;
  m.usedBytes = publishedNumber(dir_ / "card" / "used-bytes");
  m.keySlots = publishedNumber(dir_ / "card" / "key-slots");
  return m;
}

std::size_t OpenScCardToken::apdus() const { return publishedNumber(dir_ / "card" / "apdus"); }

void OpenScCardToken::removeCard() {
  if (!card_) return;
  card_->terminate();
  card_.reset();
  waitUntil([&] { return !cardInReader(modulePath(), environment()); }, std::chrono::seconds(20),
            "OpenSC to notice the card is gone");
}

}  // namespace testtoken
