// Test token harness: a private SoftHSM2 token store served through
// p11-kit's server, a small PKCS#11 client for examining and seeding
// tokens, a child-process runner, a PKI factory on OpenSSL and the helpers
// around the fault-injecting module libfaultp11.so.
//
// Every object here owns what it makes (temp folders, processes, module
// handles, OpenSSL objects) and releases it in its destructor. Failures of
// the harness itself are thrown as testtoken::Error.
#pragma once

#include <p11-kit/pkcs11.h>
#include <openssl/evp.h>
#include <openssl/types.h>
#include <openssl/x509.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/owned.h"

namespace testtoken {

class FileFd;  // an owned file descriptor of the harness

using Bytes = std::vector<unsigned char>;
using EnvMap = std::map<std::string, std::string>;

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A PKCS#11 call that did not return CKR_OK.
class P11Error : public Error {
 public:
  P11Error(const std::string& what, CK_RV rv);
  CK_RV rv() const noexcept { return rv_; }

 private:
  CK_RV rv_;
};

Bytes toBytes(std::string_view text);
std::string toHex(const Bytes& bytes);  // lower-case, no separators
// A snake_case case name as a test name: "renewal_renewed_ca" is
// RenewalRenewedCa.
std::string camelCaseName(const char* snakeCase);
Bytes readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const Bytes& bytes);
std::string readTextFile(const std::filesystem::path& path);

// ---- Paths found when the harness was built; each can be overridden by the
// environment variable named beside it. -------------------------------------
std::string softhsmModulePath();      // TESTTOKEN_SOFTHSM_MODULE
std::string p11KitClientModulePath(); // TESTTOKEN_P11KIT_CLIENT
std::string faultModulePath();        // TESTTOKEN_FAULT_MODULE
std::string p11KitProgram();          // TESTTOKEN_P11KIT
std::string softhsmUtilProgram();     // TESTTOKEN_SOFTHSM_UTIL
std::string openCryptokiModulePath(); // TESTTOKEN_OPENCRYPTOKI_MODULE (libopencryptoki.so)
std::string pkcsslotdProgram();       // TESTTOKEN_PKCSSLOTD
std::string nssSoftokenModulePath();  // TESTTOKEN_NSS_SOFTOKEN (libsoftokn3.so)
std::string certutilProgram();        // TESTTOKEN_CERTUTIL (NSS's certutil)
std::string p11KitTrustModulePath();  // TESTTOKEN_P11KIT_TRUST (p11-kit-trust.so)
std::string gnomeKeyringStoreModulePath();  // TESTTOKEN_GNOME_KEYRING_STORE
std::string openScModulePath();       // TESTTOKEN_OPENSC_MODULE (opensc-pkcs11.so)
std::string pkcs15InitProgram();      // TESTTOKEN_PKCS15_INIT (OpenSC's pkcs15-init)
std::string pcscdProgram();           // TESTTOKEN_PCSCD
std::string vpcdDriverPath();         // TESTTOKEN_VPCD_DRIVER (vsmartcard's libifdvpcd.so)
std::string python3Program();         // TESTTOKEN_PYTHON3 (the system's, with its packages)
std::string cardEmulatorPath();       // TESTTOKEN_CARD_EMULATOR (testing/card/isoapplet_card.py)

// ---- Environment ------------------------------------------------------------

// setenv for each entry (overwriting).
void applyEnvironment(const EnvMap& vars);

// Sets the variables for its lifetime and restores the previous values
// (or their absence) afterwards.
class ScopedEnv {
 public:
  explicit ScopedEnv(const EnvMap& vars);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// "NAME=value" strings for a child: the current environment (when inherit)
// with the given variables added or replaced.
std::vector<std::string> buildEnvironment(const EnvMap& vars, bool inherit = true);

// ---- Temp folder ------------------------------------------------------------

// A fresh private (0700) folder under base (default: $TMPDIR or /tmp),
// removed with all its contents by the destructor.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "testtoken", const std::filesystem::path& base = {});
  ~TempDir();
  TempDir(TempDir&& other) noexcept;
  TempDir& operator=(TempDir&& other) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// ---- Child processes ----------------------------------------------------------

struct RunOptions {
  EnvMap env;                      // added to / replacing the inherited ones
  bool inheritEnv = true;          // start from the current environment
  std::string workingDir;          // empty: the current one
  std::string stdinData;           // fed to the child's standard input
  std::optional<std::string> argv0;  // default: the program path
  std::chrono::milliseconds timeout{120000};  // then SIGKILL
  // Standard output and error are pipes whose reading ends are closed
  // before the child starts (a caller that went away); out and err stay
  // empty.
  bool outputReaderGone = false;
};

struct RunResult {
  int exitCode = -1;      // valid when exited
  int signal = 0;         // terminating signal, 0 when exited
  bool exited = false;
  bool timedOut = false;
  std::string out;
  std::string err;
  // exitCode as the signed 32-bit tool result the program returned
  // (the low 8 bits of the exit status, sign-extended).
  int32_t signedExitCode() const;
};

// Runs program with args (argv[1..]) and waits for it.
RunResult runProcess(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// The unprivileged user ("nobody") a root test process runs programs as
// where permissions must stop them; none when the tests do not run as root
// (they are unprivileged already).
std::optional<std::pair<uid_t, gid_t>> unprivilegedIds();
// setpriv of util-linux, which runs a program under other ids.
std::string setprivProgram();
// runProcess as the user `ids` (through setpriv, groups cleared).
RunResult runProcessAs(const std::pair<uid_t, gid_t>& ids, const std::string& program,
                       const std::vector<std::string>& args, const RunOptions& options = {});

struct SpawnOptions {
  std::vector<std::string> envp;  // complete environment, "NAME=value"
  int stdinFd = -1;               // descriptors the child gets as 0, 1, 2
  int stdoutFd = -1;              // (-1: /dev/null)
  int stderrFd = -1;
  std::string workingDir;
  std::optional<std::string> argv0;
  bool ownProcessGroup = true;    // signals then reach its whole group
};

// A running child; the destructor kills (SIGTERM, then SIGKILL) and reaps it.
// The child gets SIGTERM when the thread that started it ends, so a test
// that dies abruptly leaves nothing running.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const SpawnOptions& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();  // not yet exited (reaps it when it has)
  // Waits up to timeout for the exit; true when it exited.
  bool waitFor(std::chrono::milliseconds timeout);
  void signal(int sig);  // to the child (its group when it has its own)
  // SIGTERM, up to grace for the exit, then SIGKILL; returns the wait status.
  int terminate(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
  int waitStatus() const { return status_; }  // valid once reaped

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  bool group_ = false;
  int status_ = 0;
};

// ---- SoftHSM2 store and p11-kit server ----------------------------------------

struct TokenConfig {
  std::string label = "TestToken";
  std::string soPin = "12345678";
  std::string userPin = "1234";
};

// A private SoftHSM2 store: a temp folder with softhsm2.conf
// (directories.tokendir inside it, objectstore.backend = file,
// log.level = ERROR) and the tokens initialised in it.
class SoftHsm {
 public:
  explicit SoftHsm(const std::vector<TokenConfig>& tokens = {});
  ~SoftHsm();
  SoftHsm(const SoftHsm&) = delete;
  SoftHsm& operator=(const SoftHsm&) = delete;

  void initToken(const TokenConfig& params);  // softhsm2-util --init-token --free
  const std::vector<TokenConfig>& tokens() const { return tokens_; }

  const std::filesystem::path& dir() const { return dir_.path(); }
  std::filesystem::path configPath() const;
  std::filesystem::path tokenDir() const;
  std::string modulePath() const { return softhsmModulePath(); }
  EnvMap environment() const;  // SOFTHSM2_CONF

 private:
  TempDir dir_;
  std::vector<TokenConfig> tokens_;
};

// p11-kit's server over a SoftHsm, exposing exactly the tokens with the
// given labels (none: a URI that matches no token). It runs in the
// foreground with a private XDG_RUNTIME_DIR and socket; the destructor
// stops it by its PID and waits for it.
class P11KitServer {
 public:
  P11KitServer(const SoftHsm& hsm, const std::vector<std::string>& labels);
  ~P11KitServer();
  P11KitServer(const P11KitServer&) = delete;
  P11KitServer& operator=(const P11KitServer&) = delete;

  const std::string& address() const { return address_; }  // unix:path=...
  pid_t pid() const;
  std::string clientModulePath() const { return p11KitClientModulePath(); }
  // P11_KIT_SERVER_ADDRESS and SOFTHSM2_CONF
  EnvMap environment() const;

 private:
  TempDir runDir_;
  std::string address_;
  EnvMap hsmEnv_;
  std::unique_ptr<ChildProcess> process_;
};

// The usual fixture: a SoftHSM store with the given tokens, all of them
// served by p11-kit's server (or only servedLabels when given).
class SoftHsmToken {
 public:
  explicit SoftHsmToken(const std::vector<TokenConfig>& tokens = {TokenConfig{}},
                        std::optional<std::vector<std::string>> servedLabels = std::nullopt);
  ~SoftHsmToken();

  const TokenConfig& token(std::size_t index = 0) const { return hsm_.tokens().at(index); }
  SoftHsm& hsm() { return hsm_; }
  const SoftHsm& hsm() const { return hsm_; }
  P11KitServer& server() { return *server_; }

  // Module the programs load: p11-kit-client.so.
  std::string modulePath() const { return p11KitClientModulePath(); }
  // The SoftHSM module itself, for direct access or as fault target.
  std::string softhsmModulePath() const { return testtoken::softhsmModulePath(); }
  EnvMap environment() const;  // P11_KIT_SERVER_ADDRESS, SOFTHSM2_CONF
  void applyEnvironment() const { testtoken::applyEnvironment(environment()); }
  std::vector<std::string> envp(const EnvMap& extra = {}) const;

  // Serves another set of labels (restarts the server).
  void serve(const std::vector<std::string>& labels);

 private:
  SoftHsm hsm_;
  std::unique_ptr<P11KitServer> server_;
};

// ---- More token implementations -----------------------------------------------------

class P11Client;

// What a test needs of any served token: the module the programs load, the
// environment they need for it, and the token's PINs and label.
class ServedToken {
 public:
  virtual ~ServedToken() = default;
  virtual std::string modulePath() const = 0;
  virtual EnvMap environment() const = 0;
  virtual const TokenConfig& token() const = 0;
  // A client the token keeps initialised for its whole life, for a module
  // that must not be initialised twice in one process; null: a test makes
  // its own P11Client(modulePath()) with environment() applied.
  virtual P11Client* sharedClient() { return nullptr; }
};

// p11-kit's server over the modules registered in a private user
// configuration (HOME/.config/pkcs11/modules/<name>.module, which can carry
// x-init-reserved), exposing the tokens that match the given URIs. p11-kit
// ignores user configurations when it runs as root, so a root test process
// starts it as the unprivileged user "nobody" (setpriv); the folders it
// uses then belong to that user.
class ConfiguredP11KitServer {
 public:
  // Prepares the folders; start() runs the server.
  explicit ConfiguredP11KitServer(const std::vector<std::string>& uris);
  ~ConfiguredP11KitServer() = default;
  ConfiguredP11KitServer(const ConfiguredP11KitServer&) = delete;
  ConfiguredP11KitServer& operator=(const ConfiguredP11KitServer&) = delete;

  const std::string& address() const { return address_; }
  pid_t pid() const;
  EnvMap environment() const;  // P11_KIT_SERVER_ADDRESS
  // A folder the server's user may read and write (module data lives here).
  std::filesystem::path dataDir() const { return dir_.path() / "data"; }
  // Writes HOME/.config/pkcs11/modules/<name>.module.
  void addModuleConfig(const std::string& name, const std::string& text);
  // Hands the folders to the user the server runs as and starts it (once
  // the module configs and the data under dataDir() are in place).
  void start();

 private:
  TempDir dir_;
  std::vector<std::string> uris_;
  std::string address_;
  std::unique_ptr<ChildProcess> process_;
};

// NSS softoken: a database made with certutil -N (its password is the
// user PIN), served by p11-kit's server with the softoken's parameters in
// x-init-reserved. The programs load p11-kit-client.so. The token's label
// is the softoken's: "NSS Certificate DB".
class NssToken : public ServedToken {
 public:
  explicit NssToken(const TokenConfig& config = TokenConfig{"NSS Certificate DB", "", "1234"});
  ~NssToken() override = default;

  std::string modulePath() const override { return p11KitClientModulePath(); }
  EnvMap environment() const override { return server_->environment(); }
  const TokenConfig& token() const override { return config_; }
  std::filesystem::path databaseDir() const;
  // The softoken's C_Initialize parameters for this database.
  std::string initParameters() const;

 private:
  TokenConfig config_;
  std::unique_ptr<ConfiguredP11KitServer> server_;
};

// gnome-keyring's key store (gkm-gnome2-store-standalone.so, one slot
// "Gnome2 Key Storage") over a private folder, served by p11-kit's server
// with directory='...' in x-init-reserved. The store is created at the
// first login, with that PIN. It chooses the identifiers and labels of the
// objects itself (CKA_ID from the key, CKA_LABEL from the certificate).
class GnomeKeyringToken : public ServedToken {
 public:
  explicit GnomeKeyringToken(const TokenConfig& config = TokenConfig{"Gnome2 Key Storage", "", "1234"});
  ~GnomeKeyringToken() override = default;

  std::string modulePath() const override { return p11KitClientModulePath(); }
  EnvMap environment() const override { return server_->environment(); }
  const TokenConfig& token() const override { return config_; }
  std::filesystem::path storeDir() const;

 private:
  TokenConfig config_;
  std::unique_ptr<ConfiguredP11KitServer> server_;
};

// The machine's one openCryptoki software token (swtok), made afresh: with
// the slot daemon stopped, its token files (NVTOK.DAT, MK_SO, MK_USER,
// TOK_OBJ/*) and shared memory are removed, pkcsslotd is started and the
// token is initialised through PKCS#11 with the default SO PIN 87654321,
// the label and the user PIN. The programs load libopencryptoki.so
// directly. Only one such token can exist on a machine at a time: the
// constructor waits (bounded) for an exclusive lock that the destructor,
// which stops the daemon it started and removes the token files, releases.
// Needs root (the daemon and its folders are system-wide). The package's
// TPM token library crashes when libopencryptoki is initialised a second
// time in a process, so the test process talks to the token only through
// sharedClient(), and a process makes one such token only (ctest runs each
// test in a process of its own).
class OpenCryptokiToken : public ServedToken {
 public:
  explicit OpenCryptokiToken(const TokenConfig& config = TokenConfig{"TestToken", "87654321", "1234"});
  ~OpenCryptokiToken() override;
  OpenCryptokiToken(const OpenCryptokiToken&) = delete;
  OpenCryptokiToken& operator=(const OpenCryptokiToken&) = delete;

  std::string modulePath() const override { return openCryptokiModulePath(); }
  EnvMap environment() const override { return {}; }
  const TokenConfig& token() const override { return config_; }
  static std::filesystem::path tokenDir();  // /var/lib/opencryptoki/swtok
  P11Client* sharedClient() override { return client_.get(); }

 private:
  void stopDaemon();
  void startDaemon();
  static void resetFiles();
  // Held from the start of the constructor to the end of the destructor.
  std::unique_ptr<FileFd> lock_;
  TokenConfig config_;
  std::unique_ptr<P11Client> client_;
};

// An emulated smart card behind OpenSC, started the way a user's machine
// runs a card reader: pcscd in the foreground (its PID owned here) with
// vsmartcard's virtual reader driver configured in a private reader folder,
// the harness's IsoApplet card emulator connected to that reader over the
// loopback (a free port pair, not vsmartcard's default), and the card
// personalised with OpenSC's own tool (pkcs15-init --create-pkcs15
// --no-so-pin, then --store-pin --auth-id 01 with the user PIN and, as PUK,
// the config's soPin). The programs load opensc-pkcs11.so with OPENSC_CONF
// naming a private configuration (no file cache, so that no card's
// contents outlive the test) and PCSCLITE_CSOCK_NAME naming the tests'
// pcscd socket: pcscd runs in a mount namespace of its own (unshare) in
// which /tmp/testtoken-pcscd is mounted on /run, so it coexists with a
// system pcscd and never touches /run/pcscd. That socket path is one for
// all tokens (libpcsclite reads the variable once per loaded image): the
// constructor waits (bounded) for an exclusive lock that the destructor
// releases after stopping the emulator and pcscd by their PIDs. ctest
// entries of such tests carry RESOURCE_LOCK pcscd.
//
// Personalities: with AccessRules (the default) the card keeps the
// security attributes OpenSC gives the files it creates, answers them in
// each file's control parameters and enforces them, so OpenSC presents the
// PIN before updates and deletes; with NoAccessRules files carry none and
// OpenSC never presents the PIN for them (keys still need it).
//
// Memory: files take their size and imported keys their key slot
// (kCardKeySlotBytes, occupied from the first import into it on: the
// applet has no key delete, so a key whose directory entry is deleted
// keeps its slot). With a capacity set, a file or key beyond it is refused
// with "memory full" (6A84, which OpenSC reports as CKR_DEVICE_MEMORY).
enum class CardPersonality { AccessRules, NoAccessRules };

// Memory a 2048-bit key takes in an IsoApplet key slot.
constexpr std::size_t kCardKeySlotBytes = 640;

// The card's memory as the emulator published it after its last command.
struct CardMemory {
  std::size_t usedBytes = 0;  // files plus key slots
  std::size_t keySlots = 0;   // key slots occupied
  std::size_t fileBytes() const { return usedBytes - keySlots * kCardKeySlotBytes; }
};

// Whether a unix socket at path accepts a connection now (closed again at
// once). Unlike a look at /proc/net/unix it tells apart two sockets bound
// to the same name in different mount namespaces.
bool unixSocketAccepts(const std::filesystem::path& path);

class OpenScCardToken : public ServedToken {
 public:
  explicit OpenScCardToken(const TokenConfig& config = TokenConfig{"TestCard", "12345678", "1234"},
                           CardPersonality personality = CardPersonality::AccessRules);
  explicit OpenScCardToken(CardPersonality personality)
      : OpenScCardToken(TokenConfig{"TestCard", "12345678", "1234"}, personality) {}
  ~OpenScCardToken() override;
  OpenScCardToken(const OpenScCardToken&) = delete;
  OpenScCardToken& operator=(const OpenScCardToken&) = delete;

  std::string modulePath() const override { return openScModulePath(); }
  EnvMap environment() const override;  // OPENSC_CONF
  const TokenConfig& token() const override { return config_; }

  CardPersonality personality() const { return personality_; }
  // The card's total memory from now on (bytes); nullopt: unlimited.
  void setCapacity(std::optional<std::size_t> bytes);
  // The card's free memory from now on: the capacity becomes what is in
  // use now plus bytes; nullopt: unlimited again.
  void setFreeMemory(std::optional<std::size_t> bytes);
  CardMemory memory() const;
  // APDUs the card has answered since it was started.
  std::size_t apdus() const;
  // The file in which the emulator publishes that count after every
  // command (for FaultSetup::setStampFile).
  std::filesystem::path apduCounterPath() const;
  // Pulls the card: the emulator is stopped and this returns once OpenSC
  // no longer shows a token.
  void removeCard();

 private:
  void startPcscd();
  void startCard();
  void personalise();
  void runTool(const std::vector<std::string>& args, const std::string& what);

  std::unique_ptr<FileFd> lock_;
  TokenConfig config_;
  CardPersonality personality_;
  int readerPort_ = 0;
  TempDir dir_;
  std::unique_ptr<ChildProcess> pcscd_;
  std::unique_ptr<ChildProcess> card_;
};

// ---- PKCS#11 client -------------------------------------------------------------

// An attribute template that owns its values.
class Template {
 public:
  Template& add(CK_ATTRIBUTE_TYPE type, const Bytes& value);
  Template& add(CK_ATTRIBUTE_TYPE type, std::string_view text);
  Template& add(CK_ATTRIBUTE_TYPE type, const char* text) { return add(type, std::string_view(text)); }
  Template& addUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
  Template& addBool(CK_ATTRIBUTE_TYPE type, bool value);
  Template& set(CK_ATTRIBUTE_TYPE type, const Bytes& value);  // replaces or adds
  CK_ATTRIBUTE* data();
  CK_ULONG size() const { return static_cast<CK_ULONG>(values_.size()); }

 private:
  std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> values_;
  std::vector<CK_ATTRIBUTE> attrs_;
};

struct TokenObject {
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  CK_OBJECT_CLASS objectClass = static_cast<CK_OBJECT_CLASS>(-1);
  std::string label;
  Bytes id;
  Bytes subject;  // certificates and keys, when set
  Bytes value;    // certificates (DER); empty for keys
  Bytes issuer;
  Bytes serialNumber;
};

class P11Client;

// One session; closed (after logout) by the destructor.
class P11Session {
 public:
  P11Session(P11Session&& other) noexcept;
  P11Session& operator=(P11Session&&) = delete;
  P11Session(const P11Session&) = delete;
  ~P11Session();

  CK_SESSION_HANDLE handle() const { return session_; }
  void login(const std::string& pin, CK_USER_TYPE user = CKU_USER);
  CK_RV tryLogin(const std::string& pin, CK_USER_TYPE user = CKU_USER);
  void logout();

  std::vector<CK_OBJECT_HANDLE> find(Template& match);
  std::vector<CK_OBJECT_HANDLE> findAll();
  std::vector<TokenObject> objects();  // every object with its main attributes
  std::optional<Bytes> attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
  // What the token answers to a length query of one attribute (e.g.
  // CKR_ATTRIBUTE_SENSITIVE for a private exponent it keeps secret).
  CK_RV attributeStatus(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
  CK_OBJECT_HANDLE create(Template& attrs);
  void destroy(CK_OBJECT_HANDLE object);

  // Seeding helpers: token objects the way an enrolment writes them.
  CK_OBJECT_HANDLE createCertificate(const Bytes& der, const Bytes& id, const std::string& label,
                                     const Template* extra = nullptr);
  CK_OBJECT_HANDLE createPrivateKey(EVP_PKEY* rsaKey, const Bytes& id, const std::string& label,
                                    const Bytes& subject = {}, const Template* extra = nullptr);
  CK_OBJECT_HANDLE createPublicKey(EVP_PKEY* rsaKey, const Bytes& id, const std::string& label,
                                   const Bytes& subject = {}, const Template* extra = nullptr);

  // Signs with the private key whose CKA_ID is id (CKM_SHA256_RSA_PKCS by default).
  Bytes sign(const Bytes& id, const Bytes& data, CK_MECHANISM_TYPE mechanism = CKM_SHA256_RSA_PKCS);
  // Decrypts with the private key of that CKA_ID (CKM_RSA_PKCS); throws
  // P11Error when the token refuses.
  Bytes decrypt(const Bytes& id, const Bytes& ciphertext);

 private:
  friend class P11Client;
  P11Session(CK_FUNCTION_LIST* fl, CK_SESSION_HANDLE session) : fl_(fl), session_(session) {}
  CK_OBJECT_HANDLE privateKeyOf(const Bytes& id);
  CK_FUNCTION_LIST* fl_ = nullptr;
  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  bool loggedIn_ = false;
};

// dlopen of a module, C_GetFunctionList and C_Initialize; the destructor
// finalizes and unloads. Sessions must be gone before the client is.
class P11Client {
 public:
  explicit P11Client(const std::string& modulePath, bool initialize = true);
  ~P11Client();
  P11Client(const P11Client&) = delete;
  P11Client& operator=(const P11Client&) = delete;

  CK_FUNCTION_LIST* functions() const { return fl_; }
  void initialize();
  void finalize();
  bool initialized() const { return initialized_; }

  std::vector<CK_SLOT_ID> slots(bool tokenPresent = true);
  CK_TOKEN_INFO tokenInfo(CK_SLOT_ID slot);
  std::string tokenLabel(CK_SLOT_ID slot);  // blank padding removed
  CK_SLOT_ID slotByLabel(const std::string& label);
  CK_SLOT_ID onlySlot();                     // throws unless exactly one
  P11Session openSession(CK_SLOT_ID slot, bool readWrite = true);

 private:
  void* handle_ = nullptr;
  CK_FUNCTION_LIST* fl_ = nullptr;
  bool initialized_ = false;
};

// ---- Fault module ------------------------------------------------------------------

struct FaultCall {
  std::string function;  // "C_Login"
  CK_RV rv = CKR_OK;
  bool injected = false;
  bool killed = false;   // the module killed its process at this call
  bool corrupted = false;  // a corrupt rule flipped a bit of the answer
  // The template's attribute types ("CKA_CLASS,CKA_ID"; "CKA_VALUE?" for a
  // length query) of C_CreateObject, C_FindObjectsInit, C_GetAttributeValue.
  std::string attributes;
  // With a stamp file (FaultSetup::setStampFile): CLOCK_MONOTONIC
  // nanoseconds when the call returned (-1 without), and the first word of
  // the stamp file then.
  long long ns = -1;
  std::string stamp;
  // The flags C_OpenSession asked for.
  std::optional<CK_FLAGS> sessionFlags;
};

// A run through libfaultp11.so: the log file in a private temp folder and
// the environment that configures the module.
class FaultSetup {
 public:
  // target: the real module (normally the SoftHSM module); hsmEnv is
  // merged into environment() (e.g. SoftHsm::environment()).
  explicit FaultSetup(std::string rules = {}, std::string target = softhsmModulePath(),
                      EnvMap hsmEnv = {});
  std::string modulePath() const { return faultModulePath(); }
  const std::filesystem::path& logPath() const { return logPath_; }
  void setRules(std::string rules) { rules_ = std::move(rules); }
  // Every log line then carries the time and the first word of this file
  // (FAULTP11_LOG_STAMP), e.g. a card emulator's APDU counter.
  void setStampFile(std::filesystem::path path) { stampPath_ = std::move(path); }
  // FAULTP11_TARGET, FAULTP11_RULES, FAULTP11_LOG plus hsmEnv.
  EnvMap environment() const;

  std::vector<FaultCall> calls() const;          // the log, in order
  std::vector<std::string> functions() const;    // names only
  std::size_t count(std::string_view function) const;
  void clearLog() const;

 private:
  TempDir dir_;
  std::filesystem::path logPath_;
  std::string rules_;
  std::string target_;
  EnvMap hsmEnv_;
  std::filesystem::path stampPath_;
};

std::vector<FaultCall> readFaultLog(const std::filesystem::path& path);

// ---- PKI factory (OpenSSL) -----------------------------------------------------------

enum class StringType { Utf8, Printable, Ia5, Teletex, Bmp, Universal, Numeric, Visible };

// One attribute of a name. value is UTF-8 text; for Bmp and Universal it is
// converted to UCS-2/UCS-4 big-endian, for the other types the bytes go in
// unchanged (so invalid contents can be made on purpose). raw: the value
// bytes go in unchanged whatever the type.
struct Ava {
  std::string type;  // short name ("CN", "O", "C", "emailAddress") or dotted OID
  std::string value;
  StringType stringType = StringType::Utf8;
  bool raw = false;
};
using Rdn = std::vector<Ava>;       // more than one: a multi-valued RDN
using Name = std::vector<Rdn>;      // in encoding order (C first, CN last usually)

// Convenience: one single-valued RDN per AVA.
Name simpleName(const std::vector<Ava>& avas);
Bytes nameDer(const Name& name);

class Key {
 public:
  static Key rsa(int bits = 2048);
  // The index-th key of a process-wide pool of keys of that size, made on
  // first use: tests that only need "some key" save the generation time.
  static Key pooledRsa(int index = 0, int bits = 2048);
  static Key fromPrivateKeyInfo(const Bytes& der);
  static Key adopt(EVP_PKEY* owned);  // takes ownership
  Key(const Key& other);
  Key& operator=(const Key& other);
  Key(Key&&) noexcept = default;
  Key& operator=(Key&&) noexcept = default;
  ~Key();

  EVP_PKEY* get() const { return pkey_.get(); }
  Bytes privateKeyInfoDer() const;  // PKCS#8 PrivateKeyInfo
  Bytes publicKeyInfoDer() const;   // SubjectPublicKeyInfo
  Bytes modulus() const;            // unsigned big-endian
  Bytes publicExponent() const;
  int bits() const;

 private:
  explicit Key(EVP_PKEY* pkey) : pkey_(pkey) {}
  platform::Owned<EVP_PKEY, EVP_PKEY_free> pkey_;
};

class Certificate {
 public:
  static Certificate fromDer(const Bytes& der);
  static Certificate adopt(X509* owned);  // takes ownership
  Certificate(const Certificate& other);
  Certificate& operator=(const Certificate& other);
  Certificate(Certificate&&) noexcept = default;
  Certificate& operator=(Certificate&&) noexcept = default;
  ~Certificate();

  X509* get() const { return cert_.get(); }
  Bytes der() const;
  Bytes subjectDer() const;
  Bytes issuerDer() const;
  Bytes serialDer() const;       // whole DER INTEGER (tag, length, contents)
  Bytes serialContent() const;   // contents octets only
  std::optional<Bytes> subjectKeyId() const;
  std::string subjectText() const;  // OpenSSL one-line form, for messages

 private:
  explicit Certificate(X509* x) : cert_(x) {}
  platform::Owned<X509, X509_free> cert_;
};

enum class TimeEncoding { Auto, UtcTime, GeneralizedTime };
enum class BasicConstraints { Absent, CaTrue, CaFalse };
enum class KeyIdMode { Absent, Computed, Given };

struct Extension {
  std::string oid;  // dotted or short name
  bool critical = false;
  Bytes value;      // DER of the extension value (inside the OCTET STRING)
};

struct CertParams {
  Name subject;
  std::optional<Name> issuer;  // default: the issuer certificate's subject (self: subject)
  Bytes serial = {0x01};       // contents octets of the DER INTEGER (minimal form)
  std::time_t notBefore = std::time(nullptr) - 24 * 3600;
  std::time_t notAfter = std::time(nullptr) + 365 * 24 * 3600;
  TimeEncoding notBeforeEncoding = TimeEncoding::Auto;  // Auto: UTCTime up to 2049
  TimeEncoding notAfterEncoding = TimeEncoding::Auto;
  BasicConstraints basicConstraints = BasicConstraints::Absent;
  std::optional<long> pathLength;
  bool basicConstraintsCritical = true;
  KeyIdMode subjectKeyId = KeyIdMode::Computed;
  Bytes subjectKeyIdValue;           // for Given
  KeyIdMode authorityKeyId = KeyIdMode::Computed;  // Computed: issuer's SKI (or key hash)
  Bytes authorityKeyIdValue;         // for Given
  std::string keyUsage;              // OpenSSL form, e.g. "critical,keyCertSign,cRLSign"
  std::vector<Extension> extensions;
  std::string digest = "SHA256";
};

// Serial contents octets for an unsigned number (leading zero added when
// the top bit is set).
Bytes serialFromUnsigned(const Bytes& magnitude);
Bytes serialFromNumber(std::uint64_t number);

// Signs a certificate for subjectKey with issuerKey; issuerCert null means
// self-signed (issuer name = subject).
Certificate issueCertificate(const CertParams& params, const Key& subjectKey, const Key& issuerKey,
                             const Certificate* issuerCert = nullptr);

// A CA key and self-signed certificate (cA true, keyCertSign).
// True when `signature` is a SHA-256 RSA signature over `data` that the
// certificate's public key verifies.
bool signatureVerifies(const Certificate& cert, const Bytes& data, const Bytes& signature);
// `data` encrypted with the certificate's RSA public key, PKCS#1 v1.5.
Bytes encryptFor(const Certificate& cert, const Bytes& data);

struct CertAuthority {
  Key key;
  Certificate cert;
  static CertAuthority create(const Name& subject, int bits = 2048);
  // A certificate signed by this CA, made exactly as params say.
  Certificate issue(const CertParams& params, const Key& subjectKey) const;
};

enum class Pkcs12Encryption {
  Aes256,      // PBES2 / PBKDF2 / AES-256-CBC, MAC with SHA-256
  Legacy3Des,  // pbeWithSHAAnd3-KeyTripleDES-CBC for key and certificates, MAC SHA-1
  LegacyRc2,   // RC2-40 certificates, 3DES key (needs OpenSSL's legacy provider)
  None,        // certificates not encrypted, key shrouded with 3DES
};

enum class Pkcs12Spot { None, Mac, KeyBag, CertSafe };

struct Pkcs12Params {
  std::string password;
  bool absentPassword = false;  // MAC and encryption with no password at all
  const Key* key = nullptr;     // nullptr: no key bag
  // More keys, as PrivateKeyInfo bytes, in plain key bags after it.
  std::vector<Bytes> plainKeyInfos;
  std::vector<const Certificate*> certs;  // certificate bags in this order
  // Index into certs that gets the localKeyId shared with the key bag
  // (default: the certificate whose public key matches the key).
  std::optional<std::size_t> keyCertIndex;
  Pkcs12Encryption encryption = Pkcs12Encryption::Aes256;
  std::string friendlyName;     // on the key and its certificate
  bool mac = true;
  bool keyFirst = false;        // key safe before the certificate safe
  int iterations = 2048;
  int macIterations = 0;  // 0: iterations
  // The key shrouded with PBES2 / scrypt of these costs (N, r, p) and
  // AES-256-CBC instead of the encryption's own algorithm.
  struct ScryptCost {
    uint64_t n, r, p;
  };
  std::optional<ScryptCost> keyScrypt;
  // A hostile producer's file: this iteration count written into one place
  // without ever being run (the file's MAC then no longer matches when the
  // place is the MAC; a rewritten key bag or safe no longer decrypts).
  Pkcs12Spot declaredIterationsAt = Pkcs12Spot::None;
  long declaredIterations = 0;
  // With a PBKDF2 spot: the PRF written there too (an HMAC's NID).
  int declaredPrf = 0;  // NID_undef: the PRF stays
  // This many more certificate bags in a safe of their own, each holding a
  // few bytes instead of a certificate.
  std::size_t fillerBags = 0;
  // This many more safes, each of them empty.
  std::size_t fillerSafes = 0;
  // A bag of an unknown type whose value is this many indefinite-length
  // SEQUENCEs one inside the other, first in the filler bags' safe (with
  // no filler bags: in a safe of its own).
  std::size_t indefiniteNestingInBag = 0;
  // A first safe of an unknown content type whose content is nested so.
  std::size_t indefiniteNestingInFirstSafe = 0;
  // The certificate bags wrapped this many times in safe contents bags.
  int nestingDepth = 0;
};

Bytes makePkcs12(const Pkcs12Params& params);
void writePkcs12(const std::filesystem::path& path, const Pkcs12Params& params);

}  // namespace testtoken
