// Flash mode: greeting wait, answer, probe, read or write, next power-up.
#pragma once

#include "app/run_options.h"

class SerialPort;

// Runs flash mode on the open port until the process is asked to stop or the
// run hands over to the microcode upload; returns the run's exit status.
int RunFlashMode(SerialPort& port, const RunOptions& options);
