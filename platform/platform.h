// The little of the operating system that the rest of tarvex needs:
// a millisecond clock, pauses, the console and the stop signals.
#pragma once

#include <cstdint>

namespace platform {

// Millisecond tick count from a monotonic clock. It is 32 bits wide and
// wraps; differences of two readings (now - then) stay right across one wrap.
uint32_t TickCountMs();

// Pauses the calling thread for about `ms` milliseconds.
void SleepMs(uint32_t ms);

// Sets standard output up before the first message: unbuffered on a
// terminal, 4096-byte blocks when redirected to a file or pipe.
void SetupConsoleOutput();

// Waits for one key press on the console the program runs in, with line
// input, echo and signal keys off, and the console's mode restored
// afterwards. Without a console it returns at once. Returns early, too,
// when a stop was requested.
void WaitForKeyPress();

// Installs the handlers for Ctrl-C and termination. The handlers only record
// the request; long waits notice it and end early.
void InstallStopHandlers();

// True once a stop was requested.
bool StopRequested();

// The exit status that the requested stop calls for (130 for an interrupt,
// 143 for a termination request), or 0 when none was requested.
int StopExitStatus();

}  // namespace platform
