#include "sim/run.h"

#include <fcntl.h>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace stb {

namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr size_t kReadChunk = 65536;
constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGUSR1, SIGCHLD};

int gSignalWriteFd = -1;

void OnSignal(int sig) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(sig);
  if (gSignalWriteFd >= 0) {
    [[maybe_unused]] ssize_t n = write(gSignalWriteFd, &b, 1);
  }
  errno = saved;
}

int StatusOf(int wstatus) {
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

}  // namespace

std::string WireLine(char marker, std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string line(1, marker);
  line.reserve(1 + 3 * bytes.size());
  for (uint8_t b : bytes) {
    line += ' ';
    line += kDigits[b >> 4];
    line += kDigits[b & 0x0F];
  }
  return line;
}

int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int InstallSignalPipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  gSignalWriteFd = fds[1];
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : kHandledSignals) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return fds[0];
}

pid_t StartCommand(const std::vector<std::string>& command, const std::string& envName,
                   const std::string& linePath, std::string& error) {
  std::fflush(nullptr);  // else the child prints our buffered output again
  const pid_t pid = fork();
  if (pid < 0) {
    error = std::string("cannot start ") + command[0] + ": " + std::strerror(errno);
    return -1;
  }
  if (pid > 0) return pid;

  setsid();
#ifdef __linux__
  // A box that is killed outright takes its command with it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
  for (int sig : kHandledSignals) signal(sig, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  setenv(envName.c_str(), linePath.c_str(), 1);
  std::vector<char*> argv;
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  std::fprintf(stderr, "tarvex-stb: cannot run %s: %s\n", argv[0], std::strerror(errno));
  _exit(127);
}

RunOutcome RunBox(Box& box, RunSetup& setup) {
  // Paced bytes are due at exact times; the default 50 us timer slack on
  // every wake-up would add to each reply's turnaround.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  RunOutcome outcome;
  Line& line = *setup.line;
  std::vector<uint8_t> pending;  // due bytes the line has not taken yet
  size_t pendingAt = 0;
  bool childAlive = setup.child > 0;
  bool stopping = false;        // no command: leave the loop
  bool stopSent = false;        // the box's own SIGINT went out
  int64_t killAtNs = kNever;
  std::vector<uint8_t> buf(kReadChunk);

  auto loseLine = [&](const char* why) {
    if (box.mode != Mode::Lost && box.log) box.log(why);
    box.mode = Mode::Lost;
    box.rx.clear();
    box.tx.clear();
    CloseLine(line);
    pending.clear();
    pendingAt = 0;
    outcome.lineLost = true;
  };
  auto signalChild = [&](int sig, int64_t nowNs) {
    if (!childAlive) return;
    kill(setup.child, sig);
    if (killAtNs == kNever) killAtNs = nowNs + setup.killAfterMs * kNsPerMs;
  };
  auto reap = [&]() {
    int wstatus = 0;
    if (childAlive && waitpid(setup.child, &wstatus, WNOHANG) == setup.child) {
      childAlive = false;
      outcome.childEnded = true;
      outcome.childStatus = StatusOf(wstatus);
    }
  };

  StartBox(box, MonotonicNs());
  for (;;) {
    int64_t now = MonotonicNs();
    Advance(box, now);
    if (line.fd >= 0 && TakeDue(box, now, pending)) loseLine("line closed");
    while (line.fd >= 0 && pendingAt < pending.size()) {
      const ssize_t n = write(line.fd, pending.data() + pendingAt, pending.size() - pendingAt);
      if (n > 0) {
        if (setup.wire)
          setup.wire(WireLine(kWireToHost, std::span<const uint8_t>(pending.data() + pendingAt,
                                                                    static_cast<size_t>(n))));
        pendingAt += static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        break;
      } else {
        loseLine("line lost");
      }
    }
    if (pendingAt == pending.size()) {
      pending.clear();
      pendingAt = 0;
    }

    if (box.stopRequested && !stopSent && childAlive) {
      stopSent = true;
      signalChild(SIGINT, now);
    }
    if (childAlive && now >= killAtNs) {
      kill(setup.child, SIGKILL);
      killAtNs = kNever;
    }
    reap();
    if (setup.child > 0 && !childAlive) break;
    if (setup.child <= 0 && (stopping || line.fd < 0)) break;

    const int64_t wake = std::min(NextWakeNs(box), killAtNs);
    pollfd fds[2] = {{setup.controlFd, POLLIN, 0}, {line.fd, POLLIN, 0}};
    if (!pending.empty()) fds[1].events |= POLLOUT;
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (wake != kNever) {
      const int64_t left = std::max<int64_t>(0, wake - now);
      timeout.tv_sec = static_cast<time_t>(left / kNsPerSecond);
      timeout.tv_nsec = static_cast<long>(left % kNsPerSecond);
      timeoutPtr = &timeout;
    }
    const int ready = ppoll(fds, line.fd >= 0 ? 2 : 1, timeoutPtr, nullptr);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "tarvex-stb: poll failed: %s\n", std::strerror(errno));
      break;
    }
    if (ready <= 0) continue;
    now = MonotonicNs();

    if (fds[0].revents & POLLIN) {
      unsigned char sigs[64];
      const ssize_t n = read(setup.controlFd, sigs, sizeof sigs);
      for (ssize_t i = 0; i < n; ++i) {
        const int sig = sigs[i];
        if (sig == SIGINT || sig == SIGTERM) {
          if (setup.child > 0) signalChild(sig, now);
          else stopping = true;
        } else if (sig == SIGUSR1) {
          if (line.fd >= 0) PowerUp(box, now);
        } else if (sig == SIGCHLD) {
          reap();
        }
      }
    }
    if (line.fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t n = read(line.fd, buf.data(), buf.size());
      if (n > 0) {
        const std::span<const uint8_t> chunk(buf.data(), static_cast<size_t>(n));
        if (setup.wire) setup.wire(WireLine(kWireFromHost, chunk));
        ReceiveBytes(box, chunk, now);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR) ||
                 !(fds[1].revents & POLLIN)) {
        loseLine("line lost");  // a hang-up or error that no data follows
      }
    }
  }
  FinishBox(box);
  return outcome;
}

}  // namespace stb
