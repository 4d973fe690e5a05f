// SerialPort over POSIX termios.
//
// COMn names map to a device: $TARVEX_COMn when set and not empty, else
// /dev/ttyS<n-1>. The port is held exclusively (flock, which also holds
// against root, and TIOCEXCL), set raw 8N1 without flow control, and every
// read is timed in a poll() loop against the monotonic clock with the
// semantics of an interval and a total time-out. The input and output queue
// sizes are the driver's own: termios has no call to set them, and the
// protocol never has more than one frame in flight.
#include "serial/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "serial/serial_linux.h"
#include "serial/wire_trace.h"

namespace {

constexpr const char kComPrefix[] = "COM";
constexpr const char kComEnvPrefix[] = "TARVEX_";
constexpr const char kDefaultDevicePrefix[] = "/dev/ttyS";
// A write that makes no progress for this long has met a line that no
// longer takes bytes.
constexpr int kWriteStallMs = 5000;
// DiscardInput reads what is waiting in pieces of this size when it traces.
constexpr size_t kDiscardChunkSize = 4096;

struct StandardSpeed {
  uint32_t baud;
  speed_t code;
};
constexpr StandardSpeed kStandardSpeeds[] = {
    {110, B110},     {300, B300},     {600, B600},       {1200, B1200},
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

std::optional<speed_t> StandardSpeedCode(uint32_t baud) {
  for (const auto& s : kStandardSpeeds)
    if (s.baud == baud) return s.code;
  return std::nullopt;
}

struct DevicePath {
  std::string path;
  bool mapped = false;  // from TARVEX_COMn
};

// COMn with n a decimal number from 1 up, written without leading zeros.
std::optional<DevicePath> DevicePathFor(const std::string& name) {
  const std::string prefix = kComPrefix;
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
    return std::nullopt;
  const std::string digits = name.substr(prefix.size());
  if (digits.size() > 9 || digits[0] == '0') return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  const unsigned long n = std::strtoul(digits.c_str(), nullptr, 10);
  const std::string var = std::string(kComEnvPrefix) + name;
  if (const char* mapped = std::getenv(var.c_str()); mapped && *mapped)
    return DevicePath{mapped, true};
  return DevicePath{std::string(kDefaultDevicePrefix) + std::to_string(n - 1), false};
}

OpenFailure::Kind KindOfOpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
    case EIO:  // a ttyS name with no UART behind it
      return OpenFailure::Kind::kNoDevice;
    case EACCES:
    case EPERM:
    case EROFS:
      return OpenFailure::Kind::kNoAccess;
    case EBUSY:
      return OpenFailure::Kind::kHeld;
    default:
      return OpenFailure::Kind::kOther;
  }
}

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void MakeRaw(termios& t) {
  t.c_iflag &= static_cast<tcflag_t>(~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                        ICRNL | IXON | IXOFF | IXANY | IMAXBEL | INPCK));
  t.c_oflag &= static_cast<tcflag_t>(~(OPOST | ONLCR | OCRNL | ONOCR | ONLRET));
  t.c_lflag &= static_cast<tcflag_t>(~(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN));
  t.c_cflag &= static_cast<tcflag_t>(~(CSIZE | PARENB | CSTOPB | CRTSCTS));
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

// tcsetattr succeeds when any one change was applied: compare what we set.
bool RawSettingsTook(const termios& want, const termios& got) {
  const tcflag_t cflagMask = CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD;
  return (got.c_cflag & cflagMask) == (want.c_cflag & cflagMask) &&
         (got.c_iflag & (IXON | IXOFF | ISTRIP | ICRNL | INLCR | IGNCR)) == 0 &&
         (got.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (got.c_oflag & OPOST) == 0 &&
         cfgetospeed(&got) == cfgetospeed(&want);
}

}  // namespace

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() { Close(); }

bool SerialPort::IsOpen() const { return fd_ >= 0; }

bool SerialPort::Lost() const { return lost_; }

bool SerialPort::Open(const std::string& name, uint32_t baud, uint32_t readTotalTimeoutMs) {
  if (IsOpen()) {
    failure_ = {OpenFailure::Kind::kAlreadyOpen, name, {}, false, baud, 0};
    return false;
  }
  failure_ = {OpenFailure::Kind::kNone, name, {}, false, baud, 0};
  trace_ = WireTrace::StartFromEnvironment();
  auto refuse = [this](OpenFailure::Kind kind, int error) {
    failure_.kind = kind;
    failure_.systemError = error;
    if (trace_) {
      trace_->Note("open failed: " + std::string(error ? std::strerror(error) : "no such port name"));
      trace_.reset();
    }
    return false;
  };

  const std::optional<DevicePath> path = DevicePathFor(name);
  if (!path) {
    if (trace_) trace_->Note("open " + name + ": not a port name");
    return refuse(OpenFailure::Kind::kBadName, 0);
  }
  failure_.device = path->path;
  failure_.mapped = path->mapped;
  if (trace_) trace_->Note("open " + name + " (" + path->path + ") at " + std::to_string(baud) + " baud");

  const int fd = open(path->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    return refuse(KindOfOpenError(error), error);
  }
  auto fail = [fd, &refuse](OpenFailure::Kind kind, int error) {
    close(fd);
    return refuse(kind, error);
  };
  // flock holds against every other opener, root included; TIOCEXCL keeps
  // out programs that do not lock.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    return fail(error == EWOULDBLOCK ? OpenFailure::Kind::kHeld : OpenFailure::Kind::kOther, error);
  }
  termios t{};
  if (tcgetattr(fd, &t) != 0) return fail(OpenFailure::Kind::kNotSerial, errno);
  ioctl(fd, TIOCEXCL);
  auto failExcl = [fd, &fail](int error) {
    ioctl(fd, TIOCNXCL);
    return fail(OpenFailure::Kind::kRefused, error);
  };

  MakeRaw(t);
  const std::optional<speed_t> code = StandardSpeedCode(baud);
  // A custom rate is set through termios2 after the termios settings, which
  // would otherwise replace it; the B38400 placeholder is overwritten there.
  const speed_t termiosSpeed = code ? *code : B38400;
  cfsetispeed(&t, termiosSpeed);
  cfsetospeed(&t, termiosSpeed);
  if (tcsetattr(fd, TCSANOW, &t) != 0) return failExcl(errno);
  termios back{};
  if (tcgetattr(fd, &back) != 0 || !RawSettingsTook(t, back)) return failExcl(EINVAL);
  if (!code && !serial_linux::SetCustomBaud(fd, baud)) return failExcl(EINVAL);

  fd_ = fd;
  lost_ = false;
  lowLatencySet_ = serial_linux::EnableLowLatency(fd);
  SetReadTimeouts(readTotalTimeoutMs, kDefaultIntervalMs);
  return true;
}

bool SerialPort::SetReadTimeouts(uint32_t totalMs, uint32_t intervalMs) {
  if (!IsOpen()) return false;
  TraceTimeouts(totalMs, intervalMs);
  totalMs_ = totalMs;
  intervalMs_ = intervalMs;
  return true;
}

void SerialPort::MarkLost(const char* what, int error) {
  if (trace_ && !lost_)
    trace_->Note(std::string("port lost: ") + what + (error ? ": " : "") + (error ? std::strerror(error) : ""));
  lost_ = true;
}

bool SerialPort::Write(const uint8_t* data, uint32_t count) {
  if (!IsOpen()) {
    std::printf("write INVALID_HANDLE_VALUE\n");
    return false;
  }
  uint32_t done = 0;
  int64_t lastProgress = NowMs();
  while (done < count && !lost_) {
    const ssize_t n = write(fd_, data + done, count - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      lastProgress = NowMs();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      const int64_t left = lastProgress + kWriteStallMs - NowMs();
      if (left <= 0) break;
      pollfd p{fd_, POLLOUT, 0};
      const int r = poll(&p, 1, static_cast<int>(left));
      if (r > 0 && (p.revents & (POLLERR | POLLHUP)) && !(p.revents & POLLOUT))
        MarkLost("hung up while writing", 0);
      continue;
    }
    MarkLost("write", n < 0 ? errno : 0);  // EIO, ENXIO: the device is gone
  }
  TraceWrite(data, count, done, false);
  if (done < count) {
    std::printf("write error\n");
    return false;
  }
  // Like a synchronous write on the line: return once the bytes have left.
  while (tcdrain(fd_) != 0 && errno == EINTR) {
  }
  return true;
}

bool SerialPort::Read(uint8_t* buffer, uint32_t count, uint32_t* received) {
  uint32_t got = 0;
  if (received) *received = 0;
  if (!IsOpen()) return false;
  if (count == 0) return true;
  const int64_t end = NowMs() + totalMs_;
  int64_t lastByte = 0;
  bool stopped = false;
  while (got < count && !lost_) {
    const int64_t now = NowMs();
    int64_t wait = end - now;
    if (got > 0 && intervalMs_ > 0) wait = std::min(wait, lastByte + intervalMs_ - now);
    pollfd p{fd_, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(std::max<int64_t>(wait, 0)));
    if (r < 0) {
      if (errno != EINTR) {
        MarkLost("poll", errno);
        break;
      }
      if (platform::StopRequested()) {
        stopped = true;
        break;
      }
      continue;
    }
    if (r == 0) break;  // the interval or the total has passed
    if (p.revents & POLLNVAL) {
      MarkLost("the descriptor is no longer valid", 0);
      break;
    }
    // With VMIN and VTIME at 0 an empty line reads as 0 bytes, so only a
    // 0-byte read after poll() said readable means the device is gone.
    const ssize_t n = read(fd_, buffer + got, count - got);
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      lastByte = NowMs();
    } else if (n == 0) {
      MarkLost("hung up", 0);
    } else if (errno != EAGAIN && errno != EINTR) {
      MarkLost("read", errno);
    }
  }
  if (received) *received = got;
  TraceRead(buffer, count, got, stopped);
  return got == count;
}

void SerialPort::DiscardInput() {
  if (!IsOpen()) return;
  if (trace_) {
    // Read out what is waiting rather than let the driver drop it unseen:
    // the trace is to show every byte that came.
    std::vector<uint8_t> dropped;
    uint8_t chunk[kDiscardChunkSize];
    for (;;) {
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n > 0) {
        dropped.insert(dropped.end(), chunk, chunk + n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break;
      }
    }
    TraceDropped(dropped);
  }
  tcflush(fd_, TCIFLUSH);
}

bool SerialPort::InputPending() {
  int queued = 0;
  if (!IsOpen() || lost_ || ioctl(fd_, FIONREAD, &queued) != 0) return false;
  return queued > 0;
}

bool SerialPort::Close() {
  if (!IsOpen()) return true;
  EndTrace();
  if (lowLatencySet_) serial_linux::DisableLowLatency(fd_);
  lowLatencySet_ = false;
  // On a pty the exclusive flag outlives this descriptor: clear it.
  ioctl(fd_, TIOCNXCL);
  close(fd_);
  fd_ = -1;
  return true;
}
