#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testsupport {

namespace {
long NowMs() {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count());
}
}  // namespace

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options)
    : options_(options) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
  std::fflush(nullptr);
  startMs_ = NowMs();
  pid_ = fork();
  if (pid_ == 0) {
    if (options.newSession) setsid();
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const auto& [k, v] : options.env) setenv(k.c_str(), v.c_str(), 1);
    if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
  fcntl(outFd_, F_SETFL, O_NONBLOCK);
  fcntl(errFd_, F_SETFL, O_NONBLOCK);
}

Process::~Process() {
  if (pid_ > 0 && result_.status == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

void Process::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

void Process::Drain(int timeoutMs) {
  pollfd p[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (poll(p, 2, timeoutMs) <= 0) return;
  char buf[8192];
  for (int i = 0; i < 2; ++i) {
    if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
    ssize_t n;
    while ((n = read(p[i].fd, buf, sizeof buf)) > 0)
      (i == 0 ? result_.out : result_.err).append(buf, static_cast<size_t>(n));
  }
}

const std::string& Process::OutSoFar() {
  if (outFd_ >= 0) Drain(0);
  return result_.out;
}

ProcessResult Process::Wait() {
  if (pid_ <= 0) return result_;
  const long deadline = startMs_ + options_.timeoutMs;
  int wstatus = 0;
  for (;;) {
    pid_t r = waitpid(pid_, &wstatus, WNOHANG);
    if (r == pid_) break;
    if (NowMs() > deadline && !result_.timedOut) {
      result_.timedOut = true;
      kill(pid_, SIGKILL);
    }
    Drain(20);
  }
  result_.elapsedMs = NowMs() - startMs_;
  // Collect what is still in the pipes (a grandchild may hold them open:
  // read only what is there now).
  for (int i = 0; i < 50; ++i) {
    size_t before = result_.out.size() + result_.err.size();
    Drain(10);
    if (result_.out.size() + result_.err.size() == before) break;
  }
  result_.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return result_;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  Process p(argv, options);
  return p.Wait();
}

std::string MakeTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tarvex-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  return tmpl;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace testsupport
