// A smart card behind OpenSC: pcscd with vsmartcard's virtual reader,
// the harness's IsoApplet card emulator, personalisation by pkcs15-init.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <fstream>

#include "server_support.h"
#include "testtoken/testtoken.h"

namespace testtoken {

namespace fs = std::filesystem;

namespace {

// The tests' pcscd runs in a mount namespace of its own in which this
// folder is mounted on /run: its socket /run/pcscd/pcscd.comm and pid file
// are files of this folder, and a system pcscd (socket-activated on
// /run/pcscd/pcscd.comm) is never touched. Clients reach it through
// PCSCLITE_CSOCK_NAME. The path is fixed, not per token: libpcsclite reads
// PCSCLITE_CSOCK_NAME once per loaded image, so a test process that makes
// one card after another must find each at the same path; the lock below
// gives it to one token at a time.
const fs::path kPcscdRunDir = "/tmp/testtoken-pcscd";
const fs::path kPcscdSocket = kPcscdRunDir / "pcscd" / "pcscd.comm";
const fs::path kCardLock = "/tmp/testtoken-pcscd.lock";
constexpr char kShellProgram[] = "/bin/sh";
constexpr char kUnshareProgram[] = "/usr/bin/unshare";

constexpr char kOpenScConf[] =
    "# The tests' OpenSC: no file cache, so that each test's card is read\n"
    "# afresh and nothing of it is kept after the test.\n"
    "app default {\n"
    "  framework pkcs15 {\n"
    "    use_file_caching = no;\n"
    "  }\n"
    "}\n";

// Whether a TCP port can be bound on every interface now (as vpcd binds).
bool tcpPortFree(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return free;
}

// A port whose successor is free too: vpcd listens on the configured port
// and the next one (its two virtual slots). Not vsmartcard's default
// 35963, which a system pcscd with the package's reader config holds.
int freeReaderPort() {
  for (int attempt = 0; attempt < 64; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = 0;  // the kernel picks
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port = ntohs(address.sin_port);
    ::close(fd);
    if (port > 0 && port < 65535 && tcpPortFree(port) && tcpPortFree(port + 1)) return port;
  }
  throw Error("no free TCP port pair for the virtual card reader");
}

}  // namespace

bool unixSocketAccepts(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof address.sun_path) throw Error("socket path too long: " + text);
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool accepted = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return accepted;
}

OpenScCardToken::OpenScCardToken(const TokenConfig& config, CardPersonality personality)
    : lock_(takeExclusiveLock(kCardLock, std::chrono::minutes(10), "the tests' pcscd socket")),
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

EnvMap OpenScCardToken::environment() const {
  return {{"OPENSC_CONF", (dir_ / "opensc.conf").string()}, {"PCSCLITE_CSOCK_NAME", kPcscdSocket.string()}};
}

void OpenScCardToken::startPcscd() {
  // Under the lock whatever is in the folder is a leftover of an earlier
  // token (a killed test): it goes.
  fs::remove_all(kPcscdRunDir);
  fs::create_directory(kPcscdRunDir);
  fs::permissions(kPcscdRunDir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
  readerPort_ = freeReaderPort();
  // The virtual reader only, from a reader folder of the test's own.
  char channel[16];
  std::snprintf(channel, sizeof channel, "0x%04X", static_cast<unsigned>(readerPort_));
  writeFile(dir_ / "readers" / "vpcd",
            toBytes(std::string("FRIENDLYNAME \"Virtual PCD\"\nDEVICENAME /dev/null:") + channel +
                    "\nLIBPATH " + vpcdDriverPath() + "\nCHANNELID " + channel + "\n"));
  FileFd log(dir_ / "pcscd.log");
  SpawnOptions spawn;
  spawn.envp = buildEnvironment({});
  spawn.stdoutFd = log.get();
  spawn.stderrFd = log.get();
  // unshare, then the shell, then pcscd: one process (each execs the
  // next), whose PID the ChildProcess owns. The mount is private to the
  // namespace and goes with it. Without root a user namespace comes along.
  std::vector<std::string> args{"--mount", "--propagation", "private"};
  if (::geteuid() != 0) args.push_back("--map-root-user");
  for (const std::string& arg :
       {std::string(kShellProgram), std::string("-c"), std::string("mount --bind \"$0\" /run && exec \"$@\""),
        kPcscdRunDir.string(), pcscdProgram(), std::string("--foreground"), std::string("--config"),
        (dir_ / "readers").string()})
    args.push_back(arg);
  pcscd_ = std::make_unique<ChildProcess>(kUnshareProgram, args, spawn);
  waitUntil(
      [&] {
        if (!pcscd_->running()) throw Error("pcscd exited early: " + readOrEmpty(dir_ / "pcscd.log"));
        return unixSocketAccepts(kPcscdSocket);
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
  std::vector<std::string> args{cardEmulatorPath(), "--port", std::to_string(readerPort_), "--control",
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

std::size_t OpenScCardToken::apdus() const { return publishedNumber(apduCounterPath()); }

std::filesystem::path OpenScCardToken::apduCounterPath() const { return dir_ / "card" / "apdus"; }

void OpenScCardToken::removeCard() {
  if (!card_) return;
  card_->terminate();
  card_.reset();
  waitUntil([&] { return !cardInReader(modulePath(), environment()); }, std::chrono::seconds(20),
            "OpenSC to notice the card is gone");
}

}  // namespace testtoken
