// Token implementations beside SoftHSM: NSS softoken behind p11-kit's
// server (started from a private user configuration) and openCryptoki's
// software token behind its slot daemon.
#include "testtoken/testtoken.h"

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "server_support.h"

namespace testtoken {

namespace fs = std::filesystem;

namespace {

void chownTree(const fs::path& root, uid_t uid, gid_t gid) {
  auto change = [&](const fs::path& p) {
    if (::lchown(p.c_str(), uid, gid) != 0)
      throw Error("chown " + p.string() + ": " + std::strerror(errno));
  };
  change(root);
  for (const auto& entry : fs::recursive_directory_iterator(root)) change(entry.path());
}

void checkRv(CK_RV rv, const std::string& what) {
  if (rv != CKR_OK) throw P11Error(what, rv);
}

}  // namespace

// ---- ConfiguredP11KitServer -----------------------------------------------------------------

ConfiguredP11KitServer::ConfiguredP11KitServer(const std::vector<std::string>& uris)
    // Under /tmp: the socket path must stay short.
    : dir_("p11kit-conf", "/tmp"), uris_(uris) {
  fs::create_directories(dir_.path() / "home" / ".config" / "pkcs11" / "modules");
  fs::create_directory(dir_.path() / "run");
  fs::create_directory(dataDir());
  address_ = "unix:path=" + (dir_.path() / "run" / "pkcs11.sock").string();
}


void ConfiguredP11KitServer::addModuleConfig(const std::string& name, const std::string& text) {
  fs::path file = dir_.path() / "home" / ".config" / "pkcs11" / "modules" / (name + ".module");
  writeFile(file, toBytes(text));
}

void ConfiguredP11KitServer::start() {
  if (process_) throw Error("p11-kit's server is already running");
  if (auto ids = unprivilegedIds()) chownTree(dir_.path(), ids->first, ids->second);
  std::string socket = (dir_.path() / "run" / "pkcs11.sock").string();
  std::vector<std::string> serverArgs = {"server", "--foreground", "--sh", "--name", socket};
  if (uris_.empty()) {
    serverArgs.push_back("pkcs11:token=testtoken%20no%20such%20token");
  } else {
    serverArgs.insert(serverArgs.end(), uris_.begin(), uris_.end());
  }
  std::string program = p11KitProgram();
  std::vector<std::string> args = serverArgs;
  if (auto ids = unprivilegedIds()) {
    // Dropping the user clears the parent-death signal; setpriv sets it
    // again so that the server still dies with the test.
    args = {"--reuid=" + std::to_string(ids->first), "--regid=" + std::to_string(ids->second), "--clear-groups",
            "--pdeathsig", "TERM", "--", program};
    args.insert(args.end(), serverArgs.begin(), serverArgs.end());
    program = setprivProgram();
  }
  EnvMap env;
  env["HOME"] = (dir_.path() / "home").string();
  env["XDG_CONFIG_HOME"] = (dir_.path() / "home" / ".config").string();
  env["XDG_RUNTIME_DIR"] = (dir_.path() / "run").string();
  // The server's own output goes to a folder the test process owns.
  fs::path logs = dir_.path() / "server.err";
  FileFd err(logs);
  SpawnOptions spawn;
  spawn.envp = buildEnvironment(env);
  spawn.stderrFd = err.get();
  spawn.ownProcessGroup = true;
  process_ = std::make_unique<ChildProcess>(program, args, spawn);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!socketListening(socket)) {
    if (!process_->running()) throw Error("p11-kit server exited early: " + readOrEmpty(logs));
    if (std::chrono::steady_clock::now() > deadline) throw Error("p11-kit server did not listen on " + socket);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

pid_t ConfiguredP11KitServer::pid() const { return process_ ? process_->pid() : -1; }

EnvMap ConfiguredP11KitServer::environment() const { return {{"P11_KIT_SERVER_ADDRESS", address_}}; }

// ---- NssToken ----------------------------------------------------------------------------------

NssToken::NssToken(const TokenConfig& config) : config_(config) {
  // Only the database token, not the softoken's read-only crypto token.
  server_ = std::make_unique<ConfiguredP11KitServer>(std::vector<std::string>{
      "pkcs11:manufacturer=Mozilla%20Foundation;token=" + uriEncode(config_.label)});
  fs::create_directory(databaseDir());
  fs::path passwordFile = server_->dataDir() / "password";
  writeFile(passwordFile, toBytes(config_.userPin + "\n"));
  RunOptions options;
  options.timeout = std::chrono::milliseconds(60000);
  std::vector<std::string> args = {"-N", "-d", "sql:" + databaseDir().string()};
  if (config_.userPin.empty()) {
    args.push_back("--empty-password");
  } else {
    args.insert(args.end(), {"-f", passwordFile.string()});
  }
  RunResult r = runProcess(certutilProgram(), args, options);
  fs::remove(passwordFile);
  if (!r.exited || r.exitCode != 0) throw Error("certutil -N failed: " + r.out + r.err);
  server_->addModuleConfig("nss-softoken",
                           "module: " + nssSoftokenModulePath() + "\nx-init-reserved: " + initParameters() + "\n");
  server_->start();
}


fs::path NssToken::databaseDir() const { return server_->dataDir() / "nssdb"; }

std::string NssToken::initParameters() const {
  return "configdir='sql:" + databaseDir().string() +
         "' certPrefix='' keyPrefix='' secmod='secmod.db' flags=optimizeSpace";
}

// ---- GnomeKeyringToken ---------------------------------------------------------------------

GnomeKeyringToken::GnomeKeyringToken(const TokenConfig& config) : config_(config) {
  server_ = std::make_unique<ConfiguredP11KitServer>(std::vector<std::string>{
      "pkcs11:manufacturer=Gnome%20Keyring;token=" + uriEncode(config_.label)});
  fs::create_directory(storeDir());
  server_->addModuleConfig("gnome-keyring-store", "module: " + gnomeKeyringStoreModulePath() +
                                                      "\nx-init-reserved: directory='" + storeDir().string() +
                                                      "'\n");
  server_->start();
}


fs::path GnomeKeyringToken::storeDir() const { return server_->dataDir() / "keyrings"; }

// ---- OpenCryptokiToken ---------------------------------------------------------------------

namespace {

const fs::path kOckLibDir = "/var/lib/opencryptoki";
const fs::path kOckLockDir = "/var/lock/opencryptoki";
const fs::path kSlotdPidFile = "/var/run/pkcsslotd.pid";
const fs::path kSlotdSocket = "/var/run/pkcsslotd.socket";
// The token's state that openCryptoki keeps in shared memory, named
// after the token folder.
const fs::path kSwtokShm = "/dev/shm/var.lib.opencryptoki.swtok";
// The pid of the slot daemon the harness started (so a daemon left by a
// crashed test is stopped, and a foreign one is never touched).
const fs::path kHarnessMarker = "/var/lock/opencryptoki/testtoken-pkcsslotd.pid";
const fs::path kHarnessLock = "/tmp/testtoken-opencryptoki.lock";

std::optional<pid_t> readPid(const fs::path& file) {
  std::ifstream in(file);
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

bool isSlotDaemon(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  return static_cast<bool>(std::getline(in, name)) && name == "pkcsslotd";
}

// A folder of openCryptoki's: group pkcs11, mode 0770.
void ensureOckDir(const fs::path& dir, gid_t group) {
  fs::create_directories(dir);
  if (::chown(dir.c_str(), 0, group) != 0 || ::chmod(dir.c_str(), 0770) != 0)
    throw Error("cannot prepare " + dir.string() + ": " + std::strerror(errno));
}

std::array<CK_UTF8CHAR, 32> paddedLabel(const std::string& label) {
  std::array<CK_UTF8CHAR, 32> out;
  out.fill(' ');
  std::memcpy(out.data(), label.data(), std::min(label.size(), out.size()));
  return out;
}

}  // namespace

fs::path OpenCryptokiToken::tokenDir() { return kOckLibDir / "swtok"; }

OpenCryptokiToken::OpenCryptokiToken(const TokenConfig& config) : config_(config) {
  if (::geteuid() != 0) throw Error("openCryptoki's software token is system-wide: its tests need root");
  static bool madeInThisProcess = false;
  if (madeInThisProcess)
    throw Error("one openCryptoki token per process: libopencryptoki cannot be initialised twice in a process "
                "(run one openCryptoki test per process, as ctest does)");
  madeInThisProcess = true;
  lock_ = takeExclusiveLock(kHarnessLock, std::chrono::minutes(10), "the openCryptoki token");
  try {
    struct group* gr = ::getgrnam("pkcs11");
    if (gr == nullptr) throw Error("no group pkcs11: is openCryptoki installed?");
    // The lock folders live on a tmpfs: after a reboot they are gone.
    ensureOckDir(kOckLockDir, gr->gr_gid);
    ensureOckDir(kOckLockDir / "swtok", gr->gr_gid);
    ensureOckDir(kOckLibDir, gr->gr_gid);
    ensureOckDir(tokenDir(), gr->gr_gid);
    ensureOckDir(tokenDir() / "TOK_OBJ", gr->gr_gid);
    stopDaemon();
    resetFiles();
    startDaemon();

    client_ = std::make_unique<P11Client>(modulePath());
    P11Client& client = *client_;
    std::vector<CK_SLOT_ID> slots = client.slots(true);
    if (slots.size() != 1)
      throw Error("openCryptoki shows " + std::to_string(slots.size()) + " tokens, expected its software token only");
    CK_FUNCTION_LIST* fl = client.functions();
    auto label = paddedLabel(config_.label);
    std::string so = config_.soPin;
    std::string user = config_.userPin;
    checkRv(fl->C_InitToken(slots[0], reinterpret_cast<CK_UTF8CHAR_PTR>(so.data()), so.size(), label.data()),
            "C_InitToken");
    P11Session session = client.openSession(slots[0]);
    session.login(so, CKU_SO);
    checkRv(fl->C_InitPIN(session.handle(), reinterpret_cast<CK_UTF8CHAR_PTR>(user.data()), user.size()),
            "C_InitPIN");
  } catch (...) {
    // The first failure is the one reported; the lock goes with lock_.
    client_.reset();
    try {
      stopDaemon();
      resetFiles();
    } catch (const std::exception&) {
    }
    throw;
  }
}

OpenCryptokiToken::~OpenCryptokiToken() {
  try {
    client_.reset();
    stopDaemon();
    resetFiles();
  } catch (const std::exception&) {
    // Nothing more can be done here; the next token resets again.
  }
}  // lock_ goes last and releases the lock

void OpenCryptokiToken::stopDaemon() {
  std::optional<pid_t> pid = readPid(kSlotdPidFile);
  if (!pid || ::kill(*pid, 0) != 0 || !isSlotDaemon(*pid)) return;
  if (readPid(kHarnessMarker) != pid)
    throw Error("a pkcsslotd not started by the tests is running (pid " + std::to_string(*pid) +
                "); stop it to run the openCryptoki tests");
  ::kill(*pid, SIGTERM);
  try {
    waitUntil([&] { return ::kill(*pid, 0) != 0 || !isSlotDaemon(*pid); }, std::chrono::seconds(10),
              "pkcsslotd to stop");
  } catch (const Error&) {
    ::kill(*pid, SIGKILL);
    waitUntil([&] { return ::kill(*pid, 0) != 0 || !isSlotDaemon(*pid); }, std::chrono::seconds(10),
              "pkcsslotd to die");
  }
  fs::remove(kHarnessMarker);
}

void OpenCryptokiToken::resetFiles() {
  std::error_code ec;
  for (const char* name : {"NVTOK.DAT", "MK_SO", "MK_USER"}) fs::remove(tokenDir() / name, ec);
  if (fs::is_directory(tokenDir() / "TOK_OBJ")) {
    for (const auto& entry : fs::directory_iterator(tokenDir() / "TOK_OBJ")) fs::remove_all(entry.path(), ec);
  }
  fs::remove(kSwtokShm, ec);
}

void OpenCryptokiToken::startDaemon() {
  fs::remove(kSlotdPidFile);
  RunOptions options;
  options.timeout = std::chrono::milliseconds(30000);
  RunResult r = runProcess(pkcsslotdProgram(), {}, options);
  if (!r.exited || r.exitCode != 0) throw Error("pkcsslotd failed to start: " + r.out + r.err);
  // It forks itself into the background; the pid file names the daemon.
  waitUntil([] { return readPid(kSlotdPidFile).has_value(); }, std::chrono::seconds(10), "pkcsslotd's pid file");
  writeFile(kHarnessMarker, toBytes(std::to_string(*readPid(kSlotdPidFile)) + "\n"));
  waitUntil([] { return socketListening(kSlotdSocket.string()); }, std::chrono::seconds(10),
            "pkcsslotd's socket");
}

}  // namespace testtoken
