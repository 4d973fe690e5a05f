// Runs a box on a line: one thread, one poll() over the line, a control
// pipe (signal numbers, one byte each) and the timers of the box.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "sim/box.h"
#include "sim/line.h"

namespace stb {

int64_t MonotonicNs();

struct RunSetup {
  Line* line = nullptr;
  int controlFd = -1;  // SIGINT/SIGTERM: stop (or forward), SIGUSR1: power-up, SIGCHLD: reap
  pid_t child = -1;    // the command, or -1
  int64_t killAfterMs = 5000;
  // One line per chunk read from or written to the line (see WireLine).
  std::function<void(const std::string&)> wire;
};

// The wire record's markers: bytes read from the host, bytes put on the line.
constexpr char kWireFromHost = '>';
constexpr char kWireToHost = '<';

// "> 13 3A 01 00 06": the marker and the bytes in uppercase hex.
std::string WireLine(char marker, std::span<const uint8_t> bytes);

struct RunOutcome {
  bool childEnded = false;
  int childStatus = 0;  // exit status, or 128 + signal
  bool lineLost = false;
};

// Serves until the command ends, or without a command until SIGINT/SIGTERM
// or the loss of the line.
RunOutcome RunBox(Box& box, RunSetup& setup);

// Routes SIGINT, SIGTERM, SIGUSR1 and SIGCHLD into a pipe; returns its read
// end, or -1. SIGPIPE is ignored.
int InstallSignalPipe();

// Starts the command in a new session with `envName`=`linePath`; its
// standard streams are ours. Returns the pid, or -1 with `error` set.
pid_t StartCommand(const std::vector<std::string>& command, const std::string& envName,
                   const std::string& linePath, std::string& error);

}  // namespace stb
