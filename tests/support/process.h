// Runs a built program for end-to-end tests and collects what it printed.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ProcessResult {
  int status = -1;      // exit status, or 128 + signal when killed; -1: could not start
  bool timedOut = false;
  std::string out;      // standard output
  std::string err;      // standard error
  long elapsedMs = 0;
};

struct ProcessOptions {
  std::vector<std::pair<std::string, std::string>> env;  // added or replaced
  std::string workDir;                                   // empty: current
  int timeoutMs = 60000;  // then SIGKILL, and timedOut is set
  bool newSession = true; // no controlling terminal, as in CI
};

// Runs argv[0] with the arguments, standard input from /dev/null.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const ProcessOptions& options = {});

// A running child whose output is collected when it is waited for.
class Process {
public:
  Process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  int Pid() const { return pid_; }
  void Signal(int sig);
  // Waits for the end (killing at the time-out) and returns what it printed.
  ProcessResult Wait();
  // Output gathered so far (reads what is waiting, without blocking).
  const std::string& OutSoFar();

private:
  void Drain(int timeoutMs);
  int pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  long startMs_ = 0;
  ProcessOptions options_;
  ProcessResult result_;
};

// Path of a fresh, empty scratch folder under the system's temp folder.
std::string MakeTempDir();
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace testsupport
