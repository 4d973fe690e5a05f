// serial-probe.exe: calls the Windows SerialPort and platform layer one at a
// time, for what tarvex.exe alone does not show under Wine. Each result is
// one line on standard output.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

constexpr int kUsageStatus = 2;
constexpr int kFailStatus = 1;
constexpr uint32_t kReadTotalMs = 1000;

double NowMs() {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER counter{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

uint32_t Number(const char* text) { return static_cast<uint32_t>(std::strtoul(text, nullptr, 10)); }

int Usage() {
  std::printf(
      "usage: serial-probe open COMn BAUD   open, open again on the same object\n"
      "       serial-probe read COMn TOTAL INTERVAL COUNT\n"
      "                                     one read with these time-outs\n"
      "       serial-probe closed           write and read through a closed port\n"
      "       serial-probe key              wait for a key press\n"
      "       serial-probe sleep MS REPEAT  measure the pauses\n");
  return kUsageStatus;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  SerialPort port;

  if (command == "open" && argc == 4) {
    const bool opened = port.Open(argv[2], Number(argv[3]), kReadTotalMs);
    std::printf("open %s\n", opened ? "ok" : "failed");
    if (!opened) return kFailStatus;
    const bool again = port.Open(argv[2], Number(argv[3]), kReadTotalMs);
    std::printf("open again %s\n", again ? "ok" : "failed");
    std::printf("still open %s\n", port.IsOpen() ? "yes" : "no");
    std::printf("timeouts %s\n", port.SetReadTimeouts(kReadTotalMs, 200) ? "ok" : "failed");
    std::printf("close %s\n", port.Close() && !port.IsOpen() ? "ok" : "failed");
    return 0;
  }
  if (command == "read" && argc == 6) {
    if (!port.Open(argv[2], 115200, kReadTotalMs) ||
        !port.SetReadTimeouts(Number(argv[3]), Number(argv[4]))) {
      std::printf("open failed\n");
      return kFailStatus;
    }
    const uint32_t count = Number(argv[5]);
    constexpr uint8_t kUntouched = 0xEE;
    std::string buffer(count, static_cast<char>(kUntouched));
    uint32_t received = 0;
    const double start = NowMs();
    const bool ok = port.Read(reinterpret_cast<uint8_t*>(buffer.data()), count, &received);
    const double elapsed = NowMs() - start;
    std::printf("read %s, %u bytes, buffer ", ok ? "ok" : "short", received);
    for (char c : buffer) std::printf("%02X", static_cast<unsigned>(static_cast<uint8_t>(c)));
    std::printf(", %.0f ms\n", elapsed);
    return 0;
  }
  if (command == "closed" && argc == 2) {
    uint8_t buffer[2] = {0x5A, 0x5A};
    const bool wrote = port.Write(buffer, 2);
    const bool read = port.Read(buffer, 2);
    std::printf("write %s, read %s, buffer %02X%02X\n", wrote ? "ok" : "failed",
                read ? "ok" : "failed", buffer[0], buffer[1]);
    return 0;
  }
  if (command == "key" && argc == 2) {
    std::printf("waiting for a key\n");
    const double start = NowMs();
    platform::WaitForKeyPress();
    std::printf("key wait ended after %.0f ms\n", NowMs() - start);
    return 0;
  }
  if (command == "sleep" && argc == 4) {
    const uint32_t ms = Number(argv[2]);
    const uint32_t repeat = Number(argv[3]);
    if (repeat == 0) return Usage();
    double worst = 0;
    const double start = NowMs();
    for (uint32_t i = 0; i < repeat; ++i) {
      const double before = NowMs();
      platform::SleepMs(ms);
      const double took = NowMs() - before;
      if (took > worst) worst = took;
    }
    std::printf("sleep %u ms: mean %.2f ms, worst %.2f ms\n", ms, (NowMs() - start) / repeat,
                worst);
    return 0;
  }
  return Usage();
}
