#pragma once

// A scenario is one conversation between a host program and simulated devices, written once as
// text and played from both ends: scenario_device plays the devices on Linux pseudo-terminals
// and checks every byte the library writes; scenario_host drives the library through its public
// interface and checks every result, output value and duration. The host side is plain C++ and
// runs on Linux and, cross-built, on Windows, so both builds meet the same expectations.
//
// One statement per line; `#` starts a comment; strings are in double quotes with the escapes
// \r \n \t \\ \" \xHH.
//
//   device A              a simulated device with a port of its own
//   absent X              a port name that no device answers to (opening it fails)
//
// The host's statements, run in file order:
//
//   connect A => true [in LO..HI]        Connect(port of A); true or false expected
//   call OP ARGS... => RESULT [NAME=VALUE]... [in LO..HI]
//                                        one operation of the handler, e.g.
//                                        call GetMotorSteps 500 => Ok steps=1234 in 0..300
//   disconnect                           Disconnect()
//   cancel                               Cancel(): ends the wait of a call on another thread
//   destroy                              the handler's destructor runs; a new handler follows
//   sleep MS
//
// RESULT is a number or Ok, UnexpectedReply, ReplyTimeout, PortUnavailable, InvalidArgument.
// Output values start out as sentinels, so NAME=unchanged checks that a call left them alone;
// floating-point outputs may differ from VALUE by 1e-5. `in LO..HI` bounds the call's duration
// in milliseconds. The operations and their arguments (the time-out in ms comes last):
//
//   GetCurrentStatus T                   GetMotorInfo T (ident_a ident_b ident_c ident_d
//   SetMotorSteps STEPS T                    degrees_per_revolution_text
//   GetMotorSteps T (steps)                  pulses_per_revolution_text home_offset_text)
//   SetMotorDegree DEGREES T             MechanicalCalibration T
//   GetMotorDegree T (degree)            StartOptimization T
//   SetTransmittance TR MIN SPAN T       StartCleaningMechanics T
//   GetTransmittance MIN SPAN T (transmittance)      Stop T
//
// The devices' side: every `expect` belongs to the device the host connected to last.
//
//   expect CMD ACTION...                 the next command on the wire is CMD (exact bytes);
//                                        ACTIONs, in order: send "BYTES", wait MS, hangup,
//                                        or silent (no answer at all)
//   closed [A]                           the host has closed the port of A (default: the
//                                        current device) by now; checked when the next command
//                                        arrives, and once the host has finished
//
// `repeat N` in front of a call or an expect repeats it. Two or more threads share the handler
// between `parallel` and `join`: there every host statement starts with `thread K`, and the
// expectations of the block are met in whatever order the commands arrive.
//
// A scenario ends with every port closed, so that each close is one the scenario asked for.

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace scenario {

class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Port {
  std::string label;
  bool simulated = true;  // false: `absent`
};

struct HostStep {
  enum class Kind { kConnect, kCall, kDisconnect, kDestroy, kSleep, kCancel };
  Kind kind = Kind::kCall;
  int line = 0;
  int block = 0;   // 0: on the main thread; otherwise the number of its `parallel` block
  int thread = 0;  // within a block

  int port = -1;                                            // kConnect: index into ports
  bool connected = false;                                   // kConnect: expected result
  std::string operation;                                    // kCall
  std::vector<double> args;                                 // kCall
  int result = 0;                                           // kCall: expected result
  std::vector<std::pair<std::string, std::string>> values;  // kCall: expected outputs
  std::optional<std::pair<double, double>> within_ms;       // kConnect, kCall
  int sleep_ms = 0;                                         // kSleep
};

struct Piece {
  int wait_ms = 0;  // before the bytes
  std::string bytes;
};

struct DeviceStep {
  enum class Kind { kExpect, kClosed };
  Kind kind = Kind::kExpect;
  int line = 0;
  int port = -1;        // index into ports
  int block = 0;        // 0: in order; otherwise expectations met in any order within the block
  std::string command;  // kExpect
  std::vector<Piece> pieces;  // kExpect; empty: silence
  bool hang_up = false;       // kExpect
};

struct Scenario {
  std::string name;  // the file's name without its folder, for messages
  std::vector<Port> ports;
  std::vector<HostStep> host;
  std::vector<DeviceStep> device;
};

// Throws ScenarioError naming file and line.
Scenario ParseScenario(const std::string& text, const std::string& name);
Scenario LoadScenario(const std::string& path);

// "Ok", "ReplyTimeout", ... for the library's codes, the number otherwise.
std::string ResultName(int result);

// The expected value text as C-like escapes, for messages.
std::string Printable(const std::string& bytes);

}  // namespace scenario
