// A pseudo-terminal pair for tests: the master end plays the target, the
// slave's path is what SerialPort opens. The pair keeps a slave descriptor
// of its own open, so the port's open and close never hang up the master.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class PtyPair {
public:
  PtyPair();   // aborts the test program when no pty can be had
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  int MasterFd() const { return master_; }

  // Writes all bytes to the master (the host reads them from the slave).
  void Send(const std::vector<uint8_t>& bytes);
  void Send(const std::string& bytes);
  // Reads from the master until `count` bytes came or `timeoutMs` passed.
  std::vector<uint8_t> Receive(size_t count, int timeoutMs);
  // Reads whatever arrives until the line has been quiet for `quietMs`.
  std::vector<uint8_t> ReceiveUntilQuiet(int quietMs, int maxMs = 5000);
  // Closes the master: the slave side then sees a hang-up.
  void HangUp();

private:
  int master_ = -1;
  int slaveKeep_ = -1;
  std::string slavePath_;
};

// Sets TARVEX_<name> to the pair's slave for the lifetime of the object.
class ComMapping {
public:
  ComMapping(const std::string& comName, const std::string& devicePath);
  ~ComMapping();

private:
  std::string var_;
};

}  // namespace testsupport
