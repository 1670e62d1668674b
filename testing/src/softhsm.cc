// Private SoftHSM2 stores and p11-kit's server in front of them.
#include "testtoken/testtoken.h"

#include <fstream>
#include <sstream>
#include <thread>

#include "server_support.h"

namespace testtoken {

// ---- SoftHsm --------------------------------------------------------------------------

SoftHsm::SoftHsm(const std::vector<TokenConfig>& tokens) : dir_("softhsm") {
  std::filesystem::create_directory(tokenDir());
  std::ofstream conf(configPath());
  conf << "directories.tokendir = " << tokenDir().string() << "\n"
       << "objectstore.backend = file\n"
       << "log.level = ERROR\n"
       << "slots.removable = false\n";
  conf.close();
  if (!conf) throw Error("cannot write " + configPath().string());
  for (const auto& params : tokens) initToken(params);
}

SoftHsm::~SoftHsm() = default;

std::filesystem::path SoftHsm::configPath() const { return dir_.path() / "softhsm2.conf"; }
std::filesystem::path SoftHsm::tokenDir() const { return dir_.path() / "tokens"; }

EnvMap SoftHsm::environment() const { return {{"SOFTHSM2_CONF", configPath().string()}}; }

void SoftHsm::initToken(const TokenConfig& params) {
  RunOptions options;
  options.env = environment();
  options.timeout = std::chrono::milliseconds(60000);
  RunResult r = runProcess(softhsmUtilProgram(),
                           {"--init-token", "--free", "--label", params.label, "--so-pin", params.soPin,
                            "--pin", params.userPin},
                           options);
  if (!r.exited || r.exitCode != 0)
    throw Error("softhsm2-util --init-token for \"" + params.label + "\" failed: " + r.out + r.err);
  tokens_.push_back(params);
}

// ---- P11KitServer -------------------------------------------------------------------------

P11KitServer::P11KitServer(const SoftHsm& hsm, const std::vector<std::string>& labels)
    : runDir_("p11kit-run"), hsmEnv_(hsm.environment()) {
  // A unix socket path is limited to 107 bytes; fall back to /tmp for a
  // long TMPDIR.
  if ((runDir_.path() / "p11-kit" / "pkcs11.sock").string().size() > 100)
    runDir_ = TempDir("p11kit-run", "/tmp");
  std::filesystem::create_directory(runDir_.path() / "p11-kit");
  std::string socket = (runDir_.path() / "p11-kit" / "pkcs11.sock").string();
  address_ = "unix:path=" + socket;

  std::vector<std::string> args = {"server", "--foreground", "--sh", "--name", socket,
                                   "--provider", hsm.modulePath()};
  if (labels.empty()) {
    // Matches no token: the server then shows none.
    args.push_back("pkcs11:token=testtoken%20no%20such%20token");
  } else {
    for (const auto& label : labels) args.push_back("pkcs11:token=" + uriEncode(label));
  }

  EnvMap env = hsmEnv_;
  env["XDG_RUNTIME_DIR"] = runDir_.path().string();
  FileFd out(runDir_.path() / "server.out");
  FileFd err(runDir_.path() / "server.err");
  SpawnOptions spawn;
  spawn.envp = buildEnvironment(env);
  spawn.stdoutFd = out.get();
  spawn.stderrFd = err.get();
  spawn.ownProcessGroup = true;
  process_ = std::make_unique<ChildProcess>(p11KitProgram(), args, spawn);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!socketListening(socket)) {
    if (!process_->running())
      throw Error("p11-kit server exited early: " + readOrEmpty(runDir_.path() / "server.err"));
    if (std::chrono::steady_clock::now() > deadline)
      throw Error("p11-kit server did not listen on " + socket);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

P11KitServer::~P11KitServer() { process_.reset(); }

pid_t P11KitServer::pid() const { return process_->pid(); }

EnvMap P11KitServer::environment() const {
  EnvMap env = hsmEnv_;
  env["P11_KIT_SERVER_ADDRESS"] = address_;
  return env;
}

// ---- SoftHsmToken ----------------------------------------------------------------------------

SoftHsmToken::SoftHsmToken(const std::vector<TokenConfig>& tokens,
                           std::optional<std::vector<std::string>> servedLabels)
    : hsm_(tokens) {
  std::vector<std::string> labels;
  if (servedLabels) {
    labels = *servedLabels;
  } else {
    for (const auto& t : tokens) labels.push_back(t.label);
  }
  server_ = std::make_unique<P11KitServer>(hsm_, labels);
}

SoftHsmToken::~SoftHsmToken() { server_.reset(); }

EnvMap SoftHsmToken::environment() const { return server_->environment(); }

std::vector<std::string> SoftHsmToken::envp(const EnvMap& extra) const {
  EnvMap env = environment();
  for (const auto& [k, v] : extra) env[k] = v;
  return buildEnvironment(env);
}

void SoftHsmToken::serve(const std::vector<std::string>& labels) {
  server_.reset();
  server_ = std::make_unique<P11KitServer>(hsm_, labels);
}

}  // namespace testtoken
