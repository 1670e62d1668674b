// Child processes: fork and exec, pipes for the standard streams, RAII
// termination and reaping.
#include "testtoken/testtoken.h"

#include <fcntl.h>
#include <pwd.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
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
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> argv;
  argv.push_back(options.argv0.value_or(program));
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> envp = options.envp;
  auto argvC = cStrings(argv);
  auto envpC = cStrings(envp);
  const char* dir = options.workingDir.empty() ? nullptr : options.workingDir.c_str();
  const int fds[3] = {options.stdinFd, options.stdoutFd, options.stderrFd};
  const bool ownGroup = options.ownProcessGroup;
  const pid_t parent = ::getpid();
  sigset_t empty;
  sigemptyset(&empty);
  Pipe report;  // the child writes errno here when it cannot exec

  pid_t pid = ::fork();
  if (pid < 0) throw Error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    int fail = 0;
    if (ownGroup && ::setpgid(0, 0) != 0) fail = errno;
    // Dies with the test process, so a crashed test leaves no server behind.
    if (fail == 0 && ::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) fail = errno;
    if (fail == 0 && ::getppid() != parent) ::_exit(127);
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGQUIT, SIGUSR1, SIGUSR2})
      ::sigaction(sig, &dfl, nullptr);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    for (int target = 0; target < 3 && fail == 0; ++target) {
      int fd = fds[target];
      if (fd < 0) fd = ::open("/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
      if (fd < 0) {
        fail = errno;
      } else if (fd == target) {
        ::fcntl(fd, F_SETFD, 0);
      } else if (::dup2(fd, target) < 0) {
        fail = errno;
      }
    }
    if (fail == 0 && dir != nullptr && ::chdir(dir) != 0) fail = errno;
    if (fail == 0) {
      ::execve(program.c_str(), argvC.data(), envpC.data());
      fail = errno;
    }
    ssize_t ignored = ::write(report.write.get(), &fail, sizeof fail);
    (void)ignored;
    ::_exit(127);
  }
  pid_ = pid;
  group_ = ownGroup;
  report.write.reset();
  int childErrno = 0;
  ssize_t got;
  do {
    got = ::read(report.read.get(), &childErrno, sizeof childErrno);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof childErrno)) {
    terminate();
    throw Error("cannot start " + program + ": " + std::strerror(childErrno));
  }
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

std::optional<std::pair<uid_t, gid_t>> unprivilegedIds() {
  if (::geteuid() != 0) return std::nullopt;  // unprivileged already
  struct passwd* pw = ::getpwnam("nobody");
  if (pw == nullptr) throw Error("no user \"nobody\" to run programs as");
  return std::make_pair(pw->pw_uid, pw->pw_gid);
}

std::string setprivProgram() {
  for (const char* path : {"/usr/bin/setpriv", "/bin/setpriv"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  throw Error("setpriv (util-linux) not found: needed to run programs as an unprivileged user");
}

RunResult runProcessAs(const std::pair<uid_t, gid_t>& ids, const std::string& program,
                       const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> all = {"--reuid=" + std::to_string(ids.first), "--regid=" + std::to_string(ids.second),
                                  "--clear-groups", "--", program};
  all.insert(all.end(), args.begin(), args.end());
  return runProcess(setprivProgram(), all, options);
}

int32_t RunResult::signedExitCode() const {
  return static_cast<int32_t>(static_cast<int8_t>(static_cast<uint8_t>(exitCode & 0xFF)));
}

RunResult runProcess(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  Pipe outPipe, errPipe;
  std::optional<Pipe> inPipe;
  if (!options.stdinData.empty()) inPipe.emplace();

  // Without a reader, every write to them fails (and raises SIGPIPE).
  if (options.outputReaderGone) {
    outPipe.read.reset();
    errPipe.read.reset();
  }
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
  bool outOpen = !options.outputReaderGone, errOpen = !options.outputReaderGone;
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
