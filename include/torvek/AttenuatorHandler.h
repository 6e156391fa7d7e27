#pragma once

// Driver for the motorised optical attenuator: a rotation mount that turns an attenuating
// element whose transmittance follows a sine-squared law of the mount angle, controlled by an
// ASCII protocol over a serial line at 9600 baud, 8 data bits, no parity, one stop bit.
//
// Threads: every operation of one AttenuatorHandler takes the handler's lock for its whole
// length, so calls from several threads on one handler run one at a time, each waiting while
// another waits for its reply. Separate handlers share nothing and run fully in parallel.
// Every call runs on the calling thread alone: the library starts no thread, and none of its
// work runs between calls. Cancel alone takes no lock: see there.
//
// Time-outs: the last argument of every device operation, `timeout_ms`, bounds the wait for
// each reply in milliseconds. Zero or a negative value means: do not wait at all (the call
// returns ReplyTimeout unless the reply is already complete). The time spent writing the
// command is not counted: on a working line the port takes it at once. A line that has stopped
// taking bytes (flow control held, a device that no longer reads) gets the time-out and 100 ms
// more to take the command, then the call returns PortUnavailable.
//
// Results: every device operation returns an AttenuatorStatus. 0 is success; the negative
// values are the library's own failures; 1 to 255 are the device's own status codes, passed
// through unchanged (a status frame of code 0 also gives Ok). An output variable is written
// only when the device delivered the value it carries; on any other result it keeps the
// caller's value.
//
// Exceptions: device and line faults never throw. Only the system itself can make a call
// throw: std::bad_alloc when memory runs out, std::system_error when Windows refuses the event
// a read waits on or when Disconnect cannot cancel or close the port. The lock is released on
// the way out.

#include <cstdint>
#include <memory>
#include <string>

#include "torvek/Export.h"

namespace TORVEK {

enum AttenuatorStatus : std::int32_t {
  Ok = 0,                // the expected reply arrived and was decoded
  UnexpectedReply = -1,  // a reply arrived but was neither the expected frame nor a status frame
  ReplyTimeout = -2,     // no complete reply line within the time-out; the read was ended
  PortUnavailable = -3,  // no port open (never connected, failed, disconnected), or the write
                         // failed or found the line stalled
  InvalidArgument = -4,  // an argument is out of range or not a number; nothing was sent
  // 1 to 255: the device's status code from a status frame.
};

// The device's identification record, filled by GetMotorInfo.
struct MotorInfo {
  std::string ident_a;                      // 8 characters, copied as the device sent them
  std::string ident_b;                      // 4 characters, copied
  std::string degrees_per_revolution_text;  // decimal, e.g. "360"
  std::string pulses_per_revolution_text;   // decimal, e.g. "143360"
  std::string ident_c;                      // 2 characters, copied
  std::string ident_d;                      // 2 characters, copied
  std::string home_offset_text;             // degrees, six decimals, e.g. "0.040179"
};

class AttenuatorHandlerImpl;

class TORVEK_ATTENUATOR_API AttenuatorHandler {
 public:
  // Opens nothing. Throws std::bad_alloc, or std::system_error when the system has no
  // descriptor (Windows: no event) left for Cancel's wake-up.
  AttenuatorHandler();
  // Closes the port if one is open. Never throws.
  ~AttenuatorHandler();

  AttenuatorHandler(const AttenuatorHandler&) = delete;
  AttenuatorHandler& operator=(const AttenuatorHandler&) = delete;

  // Opens the serial port by its name ("/dev/ttyUSB0", "COM3", "\\.\COM10"); the library adds
  // nothing to it (on Windows, Asio puts \\.\ before a name without a leading backslash), sets 9600
  // 8N1, waits 100 ms and accepts the device only if it answers the identification request within
  // 100 ms with a usable scale (degrees and steps of one revolution, both positive), which it then
  // adopts. Returns false at once, with everything as before (an earlier connection included), when
  // the port cannot be opened. Returns false with no port open when a serial setting is
  // refused or the device does not identify itself. A port that opens closes any earlier one.
  bool Connect(const std::string& port_name);

  // Closes the port. Harmless without one. The scale of the last Connect is kept.
  void Disconnect();

  // Ends at once the wait of the call in progress on this handler, if there is one: that call
  // returns ReplyTimeout (Connect: false) and writes no output, as when its time-out runs out,
  // and the handler stays usable; a reply that comes later is discarded before the next
  // command goes out. Made while no call is in progress, or as its call returns, it does
  // nothing, and it never reaches a later call. A call still waiting for the lock is not in
  // progress: to stop a motion from another thread, Cancel, then Stop.
  //
  // Takes no lock and never blocks. Any thread may call it at any time while the handler
  // exists, also during Disconnect or Connect; on Linux it is async-signal-safe, so a SIGINT
  // handler may call it. Like every member, it must not run while or after the handler is
  // destroyed.
  void Cancel() noexcept;

  // Reads the device's status code ("0gs"): 0 to 255, or a negative library code.
  AttenuatorStatus GetCurrentStatus(int timeout_ms);

  // Reads the identification record ("0in") and the home offset in degrees ("0go"), each
  // request waiting at most timeout_ms / 2. `info` may be null. info->home_offset_text is
  // written whatever the results ("0.000000" when no home offset arrived); the other members
  // only when the identification arrived. Result: Ok when both requests gave Ok, otherwise
  // the smaller of the two results.
  AttenuatorStatus GetMotorInfo(MotorInfo* info, int timeout_ms);

  // Moves to an absolute position in motor steps, -143360 <= steps <= 143360 ("0ma" + 8 hex
  // digits). The device answers with its position.
  AttenuatorStatus SetMotorSteps(int steps, int timeout_ms);
  // Reads the position in motor steps ("0gp"). `steps` may be null.
  AttenuatorStatus GetMotorSteps(int* steps, int timeout_ms);
  // Moves to an absolute angle, -360 < degree < 360, truncated toward zero to whole steps of
  // the device's scale. A step count that does not fit in 32 bits gives InvalidArgument.
  AttenuatorStatus SetMotorDegree(float degree, int timeout_ms);
  // Reads the position in degrees ("0gp"). `degree` may be null.
  AttenuatorStatus GetMotorDegree(float* degree, int timeout_ms);
  // Homes the mount ("0ho0").
  AttenuatorStatus MechanicalCalibration(int timeout_ms);
  // Starts the device's motor optimisation ("0om").
  AttenuatorStatus StartOptimization(int timeout_ms);
  // Starts the device's mechanics cleaning ("0cm").
  AttenuatorStatus StartCleaningMechanics(int timeout_ms);
  // Stops a motion ("0st"). It cannot overtake a call that is still waiting for its reply.
  AttenuatorStatus Stop(int timeout_ms);

  // The transmittance model: T = sin^2(90 * (angle - min_angle) / angle_span), angles in
  // degrees. min_angle is where T = 0; angle_span the rotation from T = 0 to T = 1 (negative
  // spans are allowed; zero, and any span closer to zero than 1e-9 degrees, is not). Requires
  // min_angle > -360 and min_angle + angle_span < 360.
  //
  // Moves to the angle that gives `transmittance` (0 to 1, both included).
  AttenuatorStatus SetTransmittance(float transmittance, double min_angle, double angle_span,
                                    int timeout_ms);
  // Reads the position and reports the transmittance there. `transmittance` must not be null.
  AttenuatorStatus GetTransmittance(float* transmittance, double min_angle, double angle_span,
                                    int timeout_ms);

 private:
  std::unique_ptr<AttenuatorHandlerImpl> impl;
};

// The library's version, "major.minor.patch".
TORVEK_ATTENUATOR_API const char* LibraryVersion();

}  // namespace TORVEK
