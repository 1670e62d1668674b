// Child processes: posix_spawn, pipes for the standard streams, RAII
// termination and reaping.
#include "testtoken/testtoken.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace testtoken {

namespace {

// A file descriptor that closes itself.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw Error(std::string("pipe2: ") + std::strerror(errno));
    read = Fd(fds[0]);
    write = Fd(fds[1]);
  }
};

class SpawnFileActions {
 public:
  SpawnFileActions() {
    if (::posix_spawn_file_actions_init(&actions_) != 0) throw Error("posix_spawn_file_actions_init");
  }
  ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

  void redirect(int fd, int target) {
    int rc = fd >= 0 ? ::posix_spawn_file_actions_adddup2(&actions_, fd, target)
                     : ::posix_spawn_file_actions_addopen(&actions_, target, "/dev/null",
                                                          target == 0 ? O_RDONLY : O_WRONLY, 0);
    if (rc != 0) throw Error("posix_spawn file action");
  }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttr {
 public:
  SpawnAttr() {
    if (::posix_spawnattr_init(&attr_) != 0) throw Error("posix_spawnattr_init");
  }
  ~SpawnAttr() { ::posix_spawnattr_destroy(&attr_); }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

std::vector<char*> cStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Writes to a pipe without letting a reader that went away raise SIGPIPE.
void writeAllNoSigpipe(int fd, const std::string& data) {
  sigset_t pipeSet, oldSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
  std::size_t done = 0;
  bool broken = false;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      broken = errno == EPIPE;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (broken) {
    sigset_t pending;
    sigpending(&pending);
    int sig = 0;
    if (sigismember(&pending, SIGPIPE) == 1) sigwait(&pipeSet, &sig);
  }
  pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
}

}  // namespace

// ---- ChildProcess ------------------------------------------------------------------

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const SpawnOptions& options) {
  std::vector<std::string> argv;
  argv.push_back(options.argv0.value_or(program));
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> envp = options.envp;
  auto argvC = cStrings(argv);
  auto envpC = cStrings(envp);

  SpawnFileActions actions;
  actions.redirect(options.stdinFd, 0);
  actions.redirect(options.stdoutFd, 1);
  actions.redirect(options.stderrFd, 2);
  if (!options.workingDir.empty() &&
      ::posix_spawn_file_actions_addchdir_np(actions.get(), options.workingDir.c_str()) != 0)
    throw Error("posix_spawn_file_actions_addchdir_np");

  SpawnAttr attr;
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGQUIT, SIGUSR1, SIGUSR2})
    sigaddset(&defaults, sig);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.ownProcessGroup) {
    flags = static_cast<short>(flags | POSIX_SPAWN_SETPGROUP);
    ::posix_spawnattr_setpgroup(attr.get(), 0);
  }
  ::posix_spawnattr_setflags(attr.get(), flags);
  ::posix_spawnattr_setsigmask(attr.get(), &empty);
  ::posix_spawnattr_setsigdefault(attr.get(), &defaults);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), actions.get(), attr.get(), argvC.data(), envpC.data());
  if (rc != 0) throw Error("cannot start " + program + ": " + std::strerror(rc));
  pid_ = pid;
  group_ = options.ownProcessGroup;
}

ChildProcess::~ChildProcess() {
  try {
    terminate();
  } catch (...) {
  }
}

bool ChildProcess::running() {
  if (reaped_ || pid_ < 0) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    status_ = status;
    return false;
  }
  if (r < 0 && errno == ECHILD) {
    reaped_ = true;
    return false;
  }
  return true;
}

bool ChildProcess::waitFor(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void ChildProcess::signal(int sig) {
  if (pid_ < 0 || reaped_) return;
  ::kill(group_ ? -pid_ : pid_, sig);
}

int ChildProcess::terminate(std::chrono::milliseconds grace) {
  if (running()) {
    // While it runs its group is certainly ours: the signal also reaches
    // what it forked (a server's connection handlers).
    signal(SIGTERM);
    if (!waitFor(grace)) {
      signal(SIGKILL);
      waitFor(std::chrono::milliseconds(10000));
    }
  }
  return status_;
}

// ---- runProcess -----------------------------------------------------------------------

int32_t RunResult::signedExitCode() const {
  return static_cast<int32_t>(static_cast<int8_t>(static_cast<uint8_t>(exitCode & 0xFF)));
}

RunResult runProcess(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  Pipe outPipe, errPipe;
  std::optional<Pipe> inPipe;
  if (!options.stdinData.empty()) inPipe.emplace();

  SpawnOptions spawn;
  spawn.envp = buildEnvironment(options.env, options.inheritEnv);
  spawn.stdinFd = inPipe ? inPipe->read.get() : -1;
  spawn.stdoutFd = outPipe.write.get();
  spawn.stderrFd = errPipe.write.get();
  spawn.workingDir = options.workingDir;
  spawn.argv0 = options.argv0;
  spawn.ownProcessGroup = true;

  ChildProcess child(program, args, spawn);
  outPipe.write.reset();
  errPipe.write.reset();
  if (inPipe) {
    inPipe->read.reset();
    writeAllNoSigpipe(inPipe->write.get(), options.stdinData);
    inPipe->write.reset();
  }

  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  bool outOpen = true, errOpen = true;
  char buffer[8192];
  while (outOpen || errOpen) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                      std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      child.signal(SIGKILL);
      break;
    }
    struct pollfd fds[2];
    nfds_t n = 0;
    if (outOpen) fds[n++] = {outPipe.read.get(), POLLIN, 0};
    if (errOpen) fds[n++] = {errPipe.read.get(), POLLIN, 0};
    int rc = ::poll(fds, n, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) throw Error(std::string("poll: ") + std::strerror(errno));
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      bool isOut = fds[i].fd == outPipe.read.get();
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        (isOut ? outOpen : errOpen) = false;
        continue;
      }
      (isOut ? result.out : result.err).append(buffer, static_cast<std::size_t>(got));
    }
  }
  if (!result.timedOut) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                      std::chrono::steady_clock::now());
    if (!child.waitFor(std::max(left, std::chrono::milliseconds(0)))) {
      result.timedOut = true;
      child.signal(SIGKILL);
    }
  }
  int status = child.terminate(std::chrono::milliseconds(1000));
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace testtoken
