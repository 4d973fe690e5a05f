// The program's entry: banner, command line, port, job.
#pragma once

// Runs tarvex with the program's arguments; returns the exit status:
// 0 after a successful microcode upload, -1 after every failure.
int RunTool(int argc, const char* const* argv);
