// Taking a run's writes back after the token refused one of them.  A
// card's stack can be left with a stale view of the card then: on a card
// whose files carry access rules its destroys answer "not logged in" while
// the session reads logged in, and on a card whose files carry none they
// succeed and rewrite the card's key directories from the stale view,
// taking the user's old keys with them.  So the module is started afresh
// before anything is destroyed: this process closes the token, and a fresh
// process of this program binds the module anew (a module's state can
// outlive C_Finalize in a process image: some modules crash on a second
// C_Initialize), finds the same token by serial number and label, logs in
// with the same PIN, finds the run's objects again by class and CKA_ID and
// destroys them, and checks that the token still holds every object it
// held at the start.  What it has to say is added to the failure's message.
#include "card_rollback.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <chrono>
#include <initializer_list>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "import_messages.h"
#include "import_run.h"
#include "platform/secure.h"
#include "platform/file.h"
#include "platform/text.h"
#include "token/attribute_values.h"

extern char **environ;

namespace velkor {

namespace {

// The environment variable that makes a process of this program the fresh
// start of a rollback; it then reads its request on standard input.
constexpr char kFreshRollbackVariable[] = "TOKENENROL_FRESH_ROLLBACK";
// The request is small: four objects and at most 511 listed ones.
constexpr size_t kMaxRequest = 1 << 20;
constexpr size_t kMaxAnswer = 4096;
// A card takes about a second for the whole fresh start.
constexpr auto kFreshStartTimeout = std::chrono::seconds(120);

// An object as the token names it: its class, identifier and label.
struct Identity {
  CK_OBJECT_CLASS objectClass = 0;
  std::string id;
  std::string label;
  bool operator==(const Identity &) const = default;
};

struct ListedObject {
  CK_OBJECT_HANDLE handle;
  Identity identity;
};

// The identities of `objects`; an object whose identity cannot be read is
// left out (nothing can be said of it later either).
std::vector<ListedObject> IdentitiesOf(CSmartCardReader &reader, std::span<const CK_OBJECT_HANDLE> objects) {
  std::vector<ListedObject> identities;
  token::AttributeValues<3> attrs({CKA_CLASS, CKA_ID, CKA_LABEL});
  for (CK_OBJECT_HANDLE object : objects) {
    if (attrs.Read(reader, object) != token::AttributeRead::kOk) {
      continue;
    }
    const std::optional<CK_ULONG> objectClass = attrs.Ulong(0);
    if (!objectClass) continue;
    identities.push_back({object, {*objectClass, std::string(attrs.Text(1)), std::string(attrs.Text(2))}});
  }
  return identities;
}

// Everything the token lists now, with identities; empty when the listing
// fails (its message then goes into `message`).
std::vector<ListedObject> ListNow(CSmartCardReader &reader, token::Message &message) {
  std::array<CK_OBJECT_HANDLE, ReplacementPlan::kListCapacity> handles{};
  int32_t count = 0;
  if (Outcome listed = reader.FindAllObjects(handles, &count); !listed.ok()) {
    message.Append("\n%s", listed.message().c_str());
    return {};
  }
  return IdentitiesOf(reader, std::span<const CK_OBJECT_HANDLE>(handles.data(), static_cast<size_t>(count)));
}

const char *KindName(CK_OBJECT_CLASS objectClass) {
  switch (objectClass) {
    case CKO_PRIVATE_KEY:
      return msg::kPrivateKeyName;
    case CKO_PUBLIC_KEY:
      return msg::kPublicKeyName;
    case CKO_CERTIFICATE:
      return msg::kCertificateName;
    default:
      return msg::kObjectName;
  }
}

std::string Hex(std::string_view bytes) {
  return platform::HexLower(std::span(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()));
}

// Hex text back to its text.size() / 2 bytes at `out`; false for text
// that is not hex.
bool UnhexInto(std::string_view text, unsigned char *out) {
  if (text.size() % 2 != 0) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]);
    const int low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    *out++ = static_cast<unsigned char>(high * 16 + low);
  }
  return true;
}

std::optional<std::string> Unhex(std::string_view text) {
  std::string bytes(text.size() / 2, '\0');
  if (!UnhexInto(text, reinterpret_cast<unsigned char *>(bytes.data()))) return std::nullopt;
  return bytes;
}

// The request for the fresh start, one record a line, fields separated by
// blanks, every byte string in hex:
//   module <argument>     token <serial> <label>     pin <PIN>
//   created <class> <id>  (newest first)
//   held <class> <id> <label>  (what the token listed at the start)
struct Request {
  std::string module;
  CSmartCardReader::TokenIdentity token;
  platform::SecureBuffer pin;
  std::vector<Identity> created;
  std::vector<Identity> held;
};

// The fields of a line; an empty byte string is an empty field, also the
// last one.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  if (line.empty()) return fields;
  for (;;) {
    const size_t end = line.find(' ');
    fields.push_back(line.substr(0, end));
    if (end == std::string_view::npos) return fields;
    line.remove_prefix(end + 1);
  }
}

bool ParseRequest(std::string_view text, Request *request) {
  bool module = false, token = false, pin = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::vector<std::string_view> f = Fields(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (f.empty()) continue;
    // The PIN goes straight into its wiped buffer.
    if (f[0] == "pin" && f.size() == 2) {
      if (!request->pin.Allocate(f[1].size() / 2 + 1) || !UnhexInto(f[1], request->pin.data())) return false;
      request->pin.data()[f[1].size() / 2] = 0;
      pin = true;
      continue;
    }
    std::vector<std::string> bytes;
    for (size_t i = 1; i < f.size(); ++i) {
      std::optional<std::string> b = Unhex(f[i]);
      if (!b) return false;
      bytes.push_back(std::move(*b));
    }
    auto classOf = [](const std::string &b) {
      CK_OBJECT_CLASS c = 0;
      for (unsigned char byte : b) c = (c << 8) | byte;
      return c;
    };
    if (f[0] == "module" && bytes.size() == 1) {
      request->module = bytes[0];
      module = true;
    } else if (f[0] == "token" && bytes.size() == 2 && bytes[0].size() == request->token.serial.size() &&
               bytes[1].size() == request->token.label.size()) {
      std::copy(bytes[0].begin(), bytes[0].end(), request->token.serial.begin());
      std::copy(bytes[1].begin(), bytes[1].end(), request->token.label.begin());
      token = true;
    } else if (f[0] == "created" && bytes.size() == 2 && bytes[0].size() <= sizeof(CK_OBJECT_CLASS)) {
      request->created.push_back({classOf(bytes[0]), bytes[1], {}});
    } else if (f[0] == "held" && bytes.size() == 3 && bytes[0].size() <= sizeof(CK_OBJECT_CLASS)) {
      request->held.push_back({classOf(bytes[0]), bytes[1], bytes[2]});
    } else {
      return false;
    }
  }
  return module && token && pin;
}

std::string ClassHex(CK_OBJECT_CLASS objectClass) {
  std::string bytes;
  for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((objectClass >> shift) & 0xFF);
  return Hex(bytes);
}

// The fresh start's work on a bound reader; its findings go into `message`.
void DestroyAndCheck(CSmartCardReader &reader, const Request &request, token::Message &message) {
  // The run's objects, newest first, found again by class and identifier.
  std::vector<CK_OBJECT_CLASS> unfound;
  for (const Identity &object : request.created) {
    std::vector<CK_OBJECT_HANDLE> found;
    CK_RV rv = reader.FindByClassAndId(object.objectClass, object.id, ReplacementPlan::kListCapacity, &found);
    if (rv != CKR_OK) message.Append(msg::kRollback, static_cast<unsigned>(rv));
    if (found.empty()) unfound.push_back(object.objectClass);
    for (CK_OBJECT_HANDLE handle : found) {
      rv = reader.DestroyObject(handle);
      if (rv != CKR_OK) message.Append(msg::kRollback, static_cast<unsigned>(rv));
    }
  }
  // A token that gives objects identifiers of its own: what it lists now
  // and did not hold at the start is the run's.
  if (!unfound.empty()) {
    std::vector<Identity> held = request.held;
    for (const ListedObject &object : ListNow(reader, message)) {
      auto old = std::find(held.begin(), held.end(), object.identity);
      if (old != held.end()) {
        held.erase(old);
        continue;
      }
      auto ours = std::find(unfound.begin(), unfound.end(), object.identity.objectClass);
      if (ours == unfound.end()) continue;
      unfound.erase(ours);
      CK_RV rv = reader.DestroyObject(object.handle);
      if (rv != CKR_OK) message.Append(msg::kRollback, static_cast<unsigned>(rv));
    }
  }
  // Every object of the start must still be there.
  std::vector<ListedObject> now = ListNow(reader, message);
  bool damaged = false;
  for (const Identity &object : request.held) {
    auto found = std::find_if(now.begin(), now.end(), [&](const ListedObject &l) { return l.identity == object; });
    if (found != now.end()) {
      now.erase(found);
      continue;
    }
    if (!damaged) message.AppendText(msg::kOldSetDamaged);
    damaged = true;
    message.Append(msg::kMissingObject, KindName(object.objectClass), Hex(object.id).c_str());
  }
}

// Writes all of `data` to `fd`; false when the other end went, or, with a
// deadline (and `fd` non-blocking), when it passed.
bool WriteAll(int fd, std::string_view data,
              std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
      continue;
    }
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Runs this program afresh as the fresh start, hands it `request` and
// takes what it says; none when it could not be run, failed, or did not
// end in time (it is killed then).
std::optional<std::string> RunFreshStart(std::initializer_list<std::string_view> request) {
  // This program's file as its path (under a tool such as valgrind
  // /proc/self/exe itself is the tool), and the environment with the
  // variable that makes it the fresh start: made before any descriptor.
  std::string program = platform::ProgramPath();
  if (program.empty()) program = "/proc/self/exe";
  char *argv[] = {program.data(), nullptr};
  std::vector<std::string> env;
  for (char **e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
  env.push_back(std::string(kFreshRollbackVariable) + "=1");
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::array<int, 2> in{-1, -1}, out{-1, -1};
  if (pipe2(in.data(), O_CLOEXEC) != 0) return std::nullopt;
  platform::FileDescriptor toChild(in[1]), childIn(in[0]);
  if (pipe2(out.data(), O_CLOEXEC) != 0) return std::nullopt;
  platform::FileDescriptor fromChild(out[0]), childOut(out[1]);
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return std::nullopt;
  pid_t child = -1;
  const int spawned =
      posix_spawn_file_actions_adddup2(&actions, childIn.get(), STDIN_FILENO) != 0 ||
              posix_spawn_file_actions_adddup2(&actions, childOut.get(), STDOUT_FILENO) != 0
          ? -1
          : posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  childIn.Reset();
  childOut.Reset();
  if (spawned != 0) return std::nullopt;

  const auto deadline = std::chrono::steady_clock::now() + kFreshStartTimeout;
  auto msLeft = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  };
  bool sent = fcntl(toChild.get(), F_SETFL, O_NONBLOCK) == 0;
  for (std::string_view part : request) sent = sent && WriteAll(toChild.get(), part, deadline);
  toChild.Reset();
  std::string answer;
  bool ended = false;
  while (sent && !ended && msLeft() > 0) {
    pollfd p{fromChild.get(), POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(msLeft()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[512];
    const ssize_t n = read(fromChild.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = true;
    } else if (answer.size() < kMaxAnswer) {
      answer.append(buffer, static_cast<size_t>(n));
    }
  }
  fromChild.Reset();
  // A process that closed its output is given what is left of the
  // deadline to end; one that does not is killed, so that waiting for it
  // never hangs.
  int status = 0;
  pid_t waited = 0;
  while (ended && msLeft() > 0) {
    waited = waitpid(child, &status, WNOHANG);
    if (waited == child || (waited < 0 && errno != EINTR)) break;
    pollfd none{-1, 0, 0};
    (void)poll(&none, 1, 10);
  }
  if (waited != child) {
    kill(child, SIGKILL);
    ended = false;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return answer;
}

}  // namespace

void ImportRun::RollBackAfterRefusal(Outcome *failure) {
  CSmartCardReader::TokenIdentity token;
  if (Outcome identified = r_.IdentifyToken(&token); !identified.ok()) {
    // The token cannot be named again: what can be done in this session
    // is done.
    RollBackCreated(failure);
    return;
  }
  std::string request = "module " + Hex(inputs_.modulePath) + "\ntoken " + platform::HexLower(token.serial) + " " +
                        platform::HexLower(token.label) + "\n";
  for (int i = createdCount_ - 1; i >= 0; --i) {
    const Created &object = created_[static_cast<size_t>(i)];
    request += "created " + ClassHex(object.objectClass) + " " + Hex(object.identifier) + "\n";
  }
  // What the token held at the start, read while the module still knows
  // the listed handles.
  for (const ListedObject &object : IdentitiesOf(r_, plan_.Listed())) {
    request += "held " + ClassHex(object.identity.objectClass) + " " + Hex(object.identity.id) + " " +
               Hex(object.identity.label) + "\n";
  }
  // The stale view goes with this process's module.
  r_.CloseToken();
  createdCount_ = 0;
  // The PIN's line is made in a wiped buffer of its exact size.
  const std::string_view pin(pin_ != nullptr ? pin_ : "");
  constexpr std::string_view kPinField = "pin ";
  platform::SecureBuffer pinLine;
  if (!pinLine.Allocate(kPinField.size() + 2 * pin.size() + 1)) {
    failure->message().AppendText(msg::kRollbackRestart);
    return;
  }
  char *line = reinterpret_cast<char *>(pinLine.data());
  std::copy(kPinField.begin(), kPinField.end(), line);
  platform::HexLower(std::span(reinterpret_cast<const unsigned char *>(pin.data()), pin.size()), line + kPinField.size());
  line[pinLine.size() - 1] = '\n';
  std::optional<std::string> answer =
      RunFreshStart({request, std::string_view(line, pinLine.size())});
  if (!answer) {
    failure->message().AppendText(msg::kRollbackRestart);
    return;
  }
  failure->message().AppendText(answer->c_str());
}

bool IsFreshRollbackStart(int argc) { return argc == 1 && std::getenv(kFreshRollbackVariable) != nullptr; }

int FreshRollbackMain() {
  // The request holds the PIN: it is read into one wiped buffer of the
  // bound, never into one that grows.
  platform::SecureBuffer text;
  if (!text.Allocate(kMaxRequest)) return 2;
  size_t length = 0;
  for (;;) {
    if (length == text.size()) return 2;
    const ssize_t n = read(STDIN_FILENO, text.data() + length, text.size() - length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    length += static_cast<size_t>(n);
  }
  Request request;
  if (!ParseRequest(std::string_view(reinterpret_cast<const char *>(text.data()), length), &request)) return 2;
  text.Release();
  Outcome result = Outcome::FailureText(kFailure, "");
  token::Message &message = result.message();
  CSmartCardReader reader;
  Outcome opened = reader.LoadPkcs11Module(request.module);
  if (opened.ok()) opened = reader.OpenSameToken(request.token, reinterpret_cast<const char *>(request.pin.data()));
  if (!opened.ok()) {
    message.AppendText(msg::kRollbackRestart);
    message.Append("\n%s", opened.message().c_str());
  } else {
    DestroyAndCheck(reader, request, message);
  }
  reader.CloseToken();
  const std::string_view said(message.c_str());
  return WriteAll(STDOUT_FILENO, said) ? 0 : 2;
}

}  // namespace velkor
