#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {
int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    std::perror("pty");
    std::abort();
  }
  slavePath_ = ptsname(master_);
  termios t{};
  tcgetattr(master_, &t);
  cfmakeraw(&t);
  tcsetattr(master_, TCSANOW, &t);
  slaveKeep_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveKeep_ < 0) {
    std::perror("pty slave");
    std::abort();
  }
  tcgetattr(slaveKeep_, &t);
  cfmakeraw(&t);
  tcsetattr(slaveKeep_, TCSANOW, &t);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  if (slaveKeep_ >= 0) close(slaveKeep_);
  if (master_ >= 0) close(master_);
}

void PtyPair::Send(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 100);
    } else {
      return;
    }
  }
}

void PtyPair::Send(const std::string& bytes) {
  Send(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

std::vector<uint8_t> PtyPair::Receive(size_t count, int timeoutMs) {
  std::vector<uint8_t> out;
  const int64_t end = NowMs() + timeoutMs;
  while (out.size() < count) {
    int64_t left = end - NowMs();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    uint8_t buf[4096];
    size_t want = std::min(sizeof buf, count - out.size());
    ssize_t n = read(master_, buf, want);
    if (n > 0) out.insert(out.end(), buf, buf + n);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
  }
  return out;
}

std::vector<uint8_t> PtyPair::ReceiveUntilQuiet(int quietMs, int maxMs) {
  std::vector<uint8_t> out;
  const int64_t end = NowMs() + maxMs;
  while (NowMs() < end) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, quietMs) <= 0) break;
    uint8_t buf[4096];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) out.insert(out.end(), buf, buf + n);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
  }
  return out;
}

void PtyPair::HangUp() {
  if (master_ >= 0) close(master_);
  master_ = -1;
  if (slaveKeep_ >= 0) close(slaveKeep_);
  slaveKeep_ = -1;
}

ComMapping::ComMapping(const std::string& comName, const std::string& devicePath)
    : var_("TARVEX_" + comName) {
  setenv(var_.c_str(), devicePath.c_str(), 1);
}

ComMapping::~ComMapping() { unsetenv(var_.c_str()); }

}  // namespace testsupport
