// Windows side of the platform layer: the tick count, pauses at a one
// millisecond timer resolution, the console for output and the key press,
// and the console's stop events.
#include "platform/platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <timeapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

constexpr size_t kRedirectedBufferSize = 4096;
constexpr UINT kTimerResolutionMs = 1;
constexpr int kExitStatusInterrupt = 130;  // Ctrl-C, Ctrl-Break
constexpr int kExitStatusTerminate = 143;  // console closed, logoff, shutdown
// How often the key press wait looks at the stop flag.
constexpr DWORD kKeyWaitSliceMs = 100;
// After a close, logoff or shutdown event the system ends the process once
// the handler returns; the handler holds it for up to this long so that the
// main thread can close the port and the data file and exit on its own.
constexpr DWORD kCloseGraceMs = 4000;
constexpr DWORD kCloseGraceSliceMs = 50;

// Written by the control handler, which Windows runs on a thread of its own.
std::atomic<int> gStopStatus{0};

void EndTimerResolution() { timeEndPeriod(kTimerResolutionMs); }

// Sleep rounds up to the system timer's period, 15.6 ms by default; the
// protocol's pauses of 1, 2 and 5 ms need the finest period for the run.
void RaiseTimerResolution() {
  static bool raised = false;
  if (raised) return;
  raised = true;
  if (timeBeginPeriod(kTimerResolutionMs) == TIMERR_NOERROR) std::atexit(EndTimerResolution);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: {
      int none = 0;
      gStopStatus.compare_exchange_strong(none, kExitStatusInterrupt);
      return TRUE;
    }
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      int none = 0;
      gStopStatus.compare_exchange_strong(none, kExitStatusTerminate);
      for (DWORD waited = 0; waited < kCloseGraceMs; waited += kCloseGraceSliceMs)
        Sleep(kCloseGraceSliceMs);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

bool IsLoneModifier(WORD key) {
  switch (key) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_LMENU:
    case VK_RMENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_APPS:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
      return true;
    default:
      return false;
  }
}

// Keys that give no character but an extended key code: function keys,
// cursor and editing keys.
bool IsExtendedKey(WORD key) {
  return (key >= VK_PRIOR && key <= VK_DOWN) || key == VK_INSERT || key == VK_DELETE ||
         key == VK_CLEAR || (key >= VK_F1 && key <= VK_F24);
}

bool EndsKeyWait(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT) return false;  // mouse, focus, window, menu
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  if (!key.bKeyDown) return false;
  if (IsLoneModifier(key.wVirtualKeyCode)) return false;
  return key.uChar.UnicodeChar != 0 || IsExtendedKey(key.wVirtualKeyCode);
}

// A console of our own, not a file, pipe or the NUL device.
bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr &&
         GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode);
}

}  // namespace

uint32_t TickCountMs() { return GetTickCount(); }

void SleepMs(uint32_t ms) {
  RaiseTimerResolution();
  Sleep(ms);
}

void SetupConsoleOutput() {
  RaiseTimerResolution();
  if (const int fd = _fileno(stdout); fd >= 0) _setmode(fd, _O_TEXT);
  if (IsConsole(GetStdHandle(STD_OUTPUT_HANDLE))) {
    // The C runtime takes _IOLBF as full buffering: a console gets none.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  } else {
    std::setvbuf(stdout, nullptr, _IOFBF, kRedirectedBufferSize);
  }
}

void WaitForKeyPress() {
  // The console's own input, also when standard input is redirected.
  const HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   0, nullptr);
  if (input == INVALID_HANDLE_VALUE) return;  // no console: nobody to press a key
  DWORD saved = 0;
  if (!GetConsoleMode(input, &saved)) {
    CloseHandle(input);
    return;
  }
  const DWORD raw = saved & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                 ENABLE_PROCESSED_INPUT);
  SetConsoleMode(input, raw);

  bool done = false;
  while (!done && !StopRequested()) {
    const DWORD state = WaitForSingleObject(input, kKeyWaitSliceMs);
    if (state == WAIT_TIMEOUT) continue;
    if (state != WAIT_OBJECT_0) break;
    // One record at a time: keys typed after the one that ends the wait
    // stay queued for whoever reads the console next.
    DWORD waiting = 0;
    if (!GetNumberOfConsoleInputEvents(input, &waiting)) break;
    if (waiting == 0) {  // signalled with nothing to read: do not spin
      Sleep(kKeyWaitSliceMs);
      continue;
    }
    INPUT_RECORD record{};
    DWORD count = 0;
    if (!ReadConsoleInputW(input, &record, 1, &count)) break;
    done = count == 1 && EndsKeyWait(record);
  }

  SetConsoleMode(input, saved);
  CloseHandle(input);
}

void InstallStopHandlers() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool StopRequested() { return gStopStatus.load() != 0; }

int StopExitStatus() { return gStopStatus.load(); }

}  // namespace platform
