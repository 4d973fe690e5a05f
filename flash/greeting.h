// The wait for the target's boot greeting.
#pragma once

class SerialPort;

enum class Greeting {
  kFull,      // two bytes, the second 'a': the target waits for its answer
  kDamaged,   // a lone 'b': the target's microcode is damaged
  kPortLost,  // the serial device is gone
  kStopped,   // a stop was requested
};

// Reads two-byte greetings under the port's time-outs until one ends in 'a'
// or a lone 'b' comes.
Greeting WaitForGreeting(SerialPort& port);
