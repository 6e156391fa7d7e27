#pragma once

/// \file
/// \brief The C++ interface: TORVEK::AttenuatorHandler, one connection to one attenuator.
///
/// Driver for the motorised optical attenuator: a rotation mount that turns an attenuating
/// element whose transmittance follows a sine-squared law of the mount angle, controlled by an
/// ASCII protocol over a serial line at 9600 baud, 8 data bits, no parity, one stop bit.
///
/// Threads: every operation of one AttenuatorHandler takes the handler's lock for its whole
/// length, so calls from several threads on one handler run one at a time, each waiting while
/// another waits for its reply. Separate handlers share nothing and run fully in parallel.
/// Every call runs on the calling thread alone: the library starts no thread, and none of its
/// work runs between calls. Cancel alone takes no lock: see there.
///
/// Time-outs: the last argument of every device operation, `timeout_ms`, bounds the wait for
/// each reply in milliseconds. Zero or a negative value means: do not wait at all (the call
/// returns ReplyTimeout unless the reply is already complete). The time spent writing the
/// command is not counted: on a working line the port takes it at once. A line that has stopped
/// taking bytes (flow control held, a device that no longer reads) gets the time-out and 100 ms
/// more to take the command, then the call returns PortUnavailable.
///
/// Results: every device operation returns an AttenuatorStatus. 0 is success; the negative
/// values are the library's own failures; 1 to 255 are the device's own status codes, passed
/// through unchanged (a status frame of code 0 also gives Ok). An output variable is written
/// only when the device delivered the value it carries; on any other result it keeps the
/// caller's value.
///
/// Exceptions: device and line faults never throw. Only the system itself can make a call
/// throw: std::bad_alloc when memory runs out, std::system_error when Windows refuses the event
/// a read waits on or when Disconnect cannot cancel or close the port. The lock is released on
/// the way out.
///
/// Commands go out as written below (`0gs`, `0ma` + 8 hex digits, ...), with nothing added; a
/// reply is one line ending in CR LF: a status frame (`0GS` + 2 hex digits), a position frame
/// (`0PO` + 8 hex digits), the home offset (`0HO` + 8 hex digits) or the identification
/// (`0IN` + 30 characters).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "torvek/Export.h"

/// The attenuator driver's C++ interface.
namespace TORVEK {

/// The result of every device operation. Besides the named values, 1 to 255 is the device's
/// own status code from a status frame, passed through unchanged.
enum AttenuatorStatus : std::int32_t {
  Ok = 0,                ///< the expected reply arrived and was decoded
  UnexpectedReply = -1,  ///< a reply arrived but was neither the expected frame nor a status frame
  ReplyTimeout = -2,     ///< no complete reply line within the time-out; the read was ended
  PortUnavailable = -3,  ///< no port open (never connected, failed, disconnected), or the write
                         ///< failed or found the line stalled
  InvalidArgument = -4,  ///< an argument is out of range or not a number; nothing was sent
  // 1 to 255: the device's status code from a status frame.
};

/// What Connect(port_name, attempts) came to. The values are those of the C interface's
/// results (TORVEK_ATT_NO_SUCH_PORT, ...), so StatusName and StatusHint take them too.
enum class ConnectResult : std::int32_t {
  Connected = 0,            ///< the port is open and the device's scale adopted
  Cancelled = -2,           ///< Cancel cut the pause or the identification's wait short
  PortUnavailable = -3,     ///< the port failed to open for a reason not below, or the
                            ///< identification request could not be written
  NoSuchPort = -6,          ///< no port of that name (mistyped, or the adapter is unplugged)
  AccessDenied = -7,        ///< the port exists, but this user may not open it
  PortBusy = -8,            ///< another program holds the port (exclusive mode; on Windows,
                            ///< any program that has it open)
  NotASerialPort = -9,      ///< it opened, but refused 9600 8N1: not a serial device
  NoIdentification = -10,   ///< nothing answered the identification within 100 ms
  BadIdentification = -11,  ///< a reply came, but no usable identification (another device,
                            ///< noise, a status frame, a scale of zero or less)
  AmbiguousPort = -13,      ///< a `usb:VID:PID` name fits more than one port: add the serial
};

/// How often the library's own tools (attenuatorctl, the Python package, the Tango server) try
/// the identification when they connect: Connect(port_name, kConnectAttempts).
inline constexpr int kConnectAttempts = 3;

/// A serial port of this machine, with what the system knows of it; empty texts for what it
/// does not know. Filled by ListSerialPorts.
struct SerialPortInfo {
  std::string path;                ///< as the system names it: /dev/ttyUSB0, COM3
  std::string open_path;           ///< what to open: `path`, under TORVEK_ATTENUATOR_SYSROOT
                                   ///< when that is set
  std::vector<std::string> by_id;  ///< the /dev/serial/by-id/ names that lead to it
  std::string vendor_id;           ///< the USB adapter's vendor id, four hex digits
  std::string product_id;          ///< the USB adapter's product id, four hex digits
  std::string serial;              ///< the USB adapter's serial number
  std::string manufacturer;        ///< the USB adapter's manufacturer, as it names itself
  std::string product;             ///< the USB adapter's product name
  std::string driver;              ///< the kernel driver that serves the port
  std::string system_name;         ///< Windows: the device behind the COM name, `\Device\Serial0`
  bool may_open = true;            ///< whether this user may open it for reading and writing
  int open_error = 0;              ///< when not: why, as an errno value
  std::string group;               ///< when not: the group that owns it, which the user may join
  std::string locked_by;           ///< a lock file that names a live process, as serial
                                   ///< terminal programs leave one: "process 4242
                                   ///< (/var/lock/LCK..ttyUSB0)"; empty: none
  int latency_timer_ms = -1;       ///< a USB adapter's latency timer in ms; -1: none or unknown
};

/// The device's identification record, filled by AttenuatorHandler::GetMotorInfo.
struct MotorInfo {
  std::string ident_a;                      ///< 8 characters, copied as the device sent them
  std::string ident_b;                      ///< 4 characters, copied
  std::string degrees_per_revolution_text;  ///< decimal, e.g. "360"
  std::string pulses_per_revolution_text;   ///< decimal, e.g. "143360"
  std::string ident_c;                      ///< 2 characters, copied
  std::string ident_d;                      ///< 2 characters, copied
  std::string home_offset_text;             ///< degrees, six decimals, e.g. "0.040179"
};

class AttenuatorHandlerImpl;

/// One connection to one attenuator. The general rules (threads, time-outs, results, outputs,
/// exceptions) are those of the file's description, AttenuatorHandler.h; each member says what
/// it sends and what each of its results means.
class TORVEK_ATTENUATOR_API AttenuatorHandler {
 public:
  /// Makes a handler with no port open. Sends nothing.
  /// \throws std::bad_alloc when memory runs out.
  /// \throws std::system_error when the system has no descriptor (Windows: no event) left for
  ///         Cancel's wake-up.
  AttenuatorHandler();
  /// Closes the port if one is open. Never throws. Sends nothing.
  ///
  /// Must not run while another thread calls any member, Cancel included, nor may one be
  /// called during or after it: let those threads finish their calls first.
  ~AttenuatorHandler();

  /// Not copyable: a handler owns its port.
  AttenuatorHandler(const AttenuatorHandler&) = delete;
  /// Not assignable: a handler owns its port.
  AttenuatorHandler& operator=(const AttenuatorHandler&) = delete;

  /// Connects to the attenuator on a serial port.
  ///
  /// Opens the serial port by its name (`"/dev/ttyUSB0"`, `"COM3"`, `"\\.\COM10"`); the library
  /// adds nothing to it (on Windows, Asio puts `"\\.\"` before a name without a leading
  /// backslash), sets 9600 8N1, waits 100 ms and accepts the device only if it answers the
  /// identification request within 100 ms with a usable scale (degrees and steps of one
  /// revolution, both positive), which it then adopts. Returns false at once, with everything
  /// as before (an earlier connection included), when the port cannot be opened. Returns false
  /// with no port open when a serial setting is refused or the device does not identify
  /// itself. A port that opens closes any earlier one.
  ///
  /// Sends `0in` after the pause and expects the identification frame. Blocks for the 100 ms
  /// pause and at most 100 ms more for the reply; a line that takes no bytes holds the write up
  /// to 200 ms. Reads the wire trace's variable TORVEK_ATTENUATOR_TRACE. Cancel ends the pause
  /// or the wait at once.
  /// \param port_name  the system's name of the port, passed on unchanged; a name with a NUL
  ///                   character inside is refused without opening anything.
  /// \retval true   connected: the port is open and the device's scale adopted.
  /// \retval false  not opened (a NUL in the name, no such port, permission denied): at once,
  ///                everything as before, an earlier connection still open. Or opened, but
  ///                9600 8N1 was refused, or no usable identification came within 100 ms
  ///                (silence, a status frame, another line, a scale of zero or less), or
  ///                the command could not be written, or Cancel cut the pause or the wait
  ///                short: then no port is open.
  bool Connect(const std::string& port_name);

  /// Connects as Connect(port_name) does, says why not, and tries the identification again
  /// when the device missed its 100 ms window.
  ///
  /// A host busy with other work, or a device still finishing a motion, misses the window now
  /// and then; so up to `attempts` times, the port is opened again and the identification
  /// asked again while the result is NoIdentification or BadIdentification. Every other
  /// result is final at once. Each attempt sends `0in` after its 100 ms pause and takes what
  /// Connect(port_name) takes.
  /// \param port_name  as for Connect(port_name).
  /// \param attempts   how many identifications to try; below 1 counts as 1.
  /// \return Connected, or why not; the state afterwards is that of Connect(port_name) after
  ///         the last attempt (a port that could not be opened leaves an earlier one open).
  ConnectResult Connect(const std::string& port_name, int attempts);

  /// Closes the port. Harmless without one. The scale of the last Connect is kept.
  ///
  /// Sends nothing. Takes the lock, so it waits until a call in progress returns (Cancel first
  /// to end that call at once). Afterwards every device operation returns PortUnavailable
  /// until the next Connect.
  /// \throws std::system_error when the system cannot cancel or close the port.
  void Disconnect();

  /// Cuts short the call in progress on this handler, from any thread or a signal handler.
  ///
  /// Ends at once the wait of the call in progress on this handler, if there is one: that call
  /// returns ReplyTimeout (Connect: false) and writes no output, as when its time-out runs out,
  /// and the handler stays usable; a reply that comes later is discarded before the next
  /// command goes out. Made while no call is in progress, or as its call returns, it does
  /// nothing, and it never reaches a later call. A call still waiting for the lock is not in
  /// progress: to stop a motion from another thread, Cancel, then Stop.
  ///
  /// Takes no lock and never blocks. Any thread may call it at any time while the handler
  /// exists, also during Disconnect or Connect; on Linux it is async-signal-safe, so a SIGINT
  /// handler may call it. Like every member, it must not run while or after the handler is
  /// destroyed.
  ///
  /// Sends nothing: a motion under way goes on.
  void Cancel() noexcept;

  /// Tells whether the port is still there, without sending anything and without waiting: a
  /// light check to run now and then while no call is made, so that an unplugged adapter is
  /// noticed before the next command.
  ///
  /// Looks at the port's state only (a hang-up, as the system reports an unplugged USB
  /// adapter). A port found gone is closed, as a call that meets it closes it. When another
  /// call holds the handler's lock, returns Ok at once: that call finds a vanished port itself.
  /// \retval Ok               a port is open and has not gone, or a call in progress holds it.
  /// \retval PortUnavailable  no port is open, or it has gone (now closed): Connect again.
  AttenuatorStatus CheckPort();

  /// The scale the device reported when it connected, which every conversion between degrees
  /// and motor steps uses: degrees and steps per revolution. Sends nothing.
  ///
  /// Takes the lock, so it waits until a call in progress returns.
  /// \param[out] degrees_per_revolution  written on Ok only.
  /// \param[out] steps_per_revolution    written on Ok only.
  /// \retval Ok               written.
  /// \retval PortUnavailable  no port is open: the scale is the connected device's only.
  /// \retval InvalidArgument  an output is null.
  AttenuatorStatus GetScale(std::int32_t* degrees_per_revolution,
                            std::int32_t* steps_per_revolution);

  /// Reads the device's status code.
  ///
  /// Sends `0gs`; expects a status frame.
  /// \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
  /// \retval Ok               the device reports status 0.
  /// \retval 1..255           the device's status code.
  /// \retval UnexpectedReply  the line was no status frame (or its code is not 0 to 255).
  /// \retval ReplyTimeout     no complete line within timeout_ms, or cut short by Cancel.
  /// \retval PortUnavailable  no port open, the port has gone (an adapter unplugged, the line hung
  ///                          up: then closed, at once), or the line took no bytes within
  ///                          timeout_ms + 100 ms.
  AttenuatorStatus GetCurrentStatus(int timeout_ms);

  /// Reads the identification record ("0in") and the home offset in degrees ("0go"), each
  /// request waiting at most timeout_ms / 2. `info` may be null. info->home_offset_text is
  /// written whatever the results ("0.000000" when no home offset arrived); the other members
  /// only when the identification arrived. Result: Ok when both requests gave Ok, otherwise
  /// the smaller of the two results.
  ///
  /// Sends `0in`, expecting the identification frame, then `0go`, expecting the home-offset
  /// frame (in motor steps, converted with the scale of the last Connect). The second request
  /// goes out whatever the first gave, except after a Cancel. The scale adopted at Connect
  /// does not change.
  /// \param[out] info   the record to fill; null: the requests still go out.
  /// \param timeout_ms  shared by the two requests: each waits at most timeout_ms / 2
  ///                    (integer division), in milliseconds.
  /// \retval Ok               both requests gave Ok (a frame, or a status frame of code 0), or
  ///                          one gave Ok and the other a device status code.
  /// \retval 1..255           both requests got status frames of codes 1 to 255: the smaller
  ///                          code. The identification members are not written.
  /// \retval UnexpectedReply  one request got a line that is neither its frame nor a status frame,
  ///                          and the other gave no smaller result.
  /// \retval ReplyTimeout     one request got no complete line within timeout_ms / 2, or
  ///                          Cancel cut it short (then the second is not sent), and neither
  ///                          gave PortUnavailable.
  /// \retval PortUnavailable  no port open, the port has gone (then closed, at once; the second
  ///                          request then finds no port), or a command could not be written.
  AttenuatorStatus GetMotorInfo(MotorInfo* info, int timeout_ms);

  /// Moves to an absolute position in motor steps, -143360 <= steps <= 143360 ("0ma" + 8 hex
  /// digits). The device answers with its position.
  ///
  /// Sends `0ma` + the 32-bit two's-complement pattern of `steps` as 8 upper-case hex digits
  /// (-1: `0maFFFFFFFF`); expects a position frame, which the device sends when the motion
  /// ends, so timeout_ms must cover the motion. The position it reports is not handed back.
  /// \param steps       the target; the bounds are fixed, whatever scale the device reported.
  /// \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
  /// \retval Ok               a position frame with a readable number, or a status frame of
  ///                          code 0.
  /// \retval 1..255           the device's status frame instead of the position.
  /// \retval UnexpectedReply  any other line, or a position without readable digits.
  /// \retval ReplyTimeout     no complete line within timeout_ms, or cut short by Cancel; the
  ///                          mount may still be moving.
  /// \retval PortUnavailable  no port open, the port has gone (an adapter unplugged, the line hung
  ///                          up: then closed, at once), or the line took no bytes within
  ///                          timeout_ms + 100 ms.
  /// \retval InvalidArgument  `steps` outside -143360 to 143360 (checked first, also with no
  ///                          port open); nothing sent.
  AttenuatorStatus SetMotorSteps(int steps, int timeout_ms);

  /// Reads the position in motor steps ("0gp"). `steps` may be null.
  ///
  /// Sends `0gp`; expects a position frame.
  /// \param[out] steps  the position; written only when a position frame arrived.
  /// \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
  /// \retval Ok               a position frame with a readable number: written to `*steps`; or
  ///                          a status frame of code 0: nothing written.
  /// \retval 1..255           the device's status frame instead of the position.
  /// \retval UnexpectedReply  any other line, or a position without readable digits.
  /// \retval ReplyTimeout     no complete line within timeout_ms, or cut short by Cancel.
  /// \retval PortUnavailable  no port open, the port has gone (an adapter unplugged, the line hung
  ///                          up: then closed, at once), or the line took no bytes within
  ///                          timeout_ms + 100 ms.
  AttenuatorStatus GetMotorSteps(int* steps, int timeout_ms);

  /// Moves to an absolute angle, -360 < degree < 360, truncated toward zero to whole steps of
  /// the device's scale. A step count that does not fit in 32 bits gives InvalidArgument.
  ///
  /// Sends `0ma` + the step count as 8 upper-case hex digits (two's complement), the steps
  /// being degree times the scale of the last Connect (143360 / 360 before any); expects a
  /// position frame, which the device sends when the motion ends, so timeout_ms must cover the
  /// motion. The position it reports is not handed back.
  /// \param degree      the target angle in degrees.
  /// \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
  /// \retval Ok               a position frame with a readable number, or a status frame of
  ///                          code 0.
  /// \retval 1..255           the device's status frame instead of the position.
  /// \retval UnexpectedReply  any other line, or a position without readable digits.
  /// \retval ReplyTimeout     no complete line within timeout_ms, or cut short by Cancel; the
  ///                          mount may still be moving.
  /// \retval PortUnavailable  no port open, the port has gone (an adapter unplugged, the line hung
  ///                          up: then closed, at once), or the line took no bytes within
  ///                          timeout_ms + 100 ms.
  /// \retval InvalidArgument  `degree` NaN, infinite, -360 or below, 360 or above, or its step
  ///                          count beyond 32 bits (checked first, also with no port open);
  ///                          nothing sent.
  AttenuatorStatus SetMotorDegree(float degree, int timeout_ms);

  /// Reads the position in degrees ("0gp"). `degree` may be null.
  ///
  /// Sends `0gp`; expects a position frame, whose steps become degrees with the scale of the
  /// last Connect (143360 / 360 before any).
  /// \param[out] degree  the position in degrees; written only when a position frame arrived.
  /// \param timeout_ms   the wait for the reply, in milliseconds; 0 or less: no wait.
  /// \retval Ok               a position frame with a readable number: written to `*degree`;
  ///                          or a status frame of code 0: nothing written.
  /// \retval 1..255           the device's status frame instead of the position.
  /// \retval UnexpectedReply  any other line, or a position without readable digits.
  /// \retval ReplyTimeout     no complete line within timeout_ms, or cut short by Cancel.
  /// \retval PortUnavailable  no port open, the port has gone (an adapter unplugged, the line hung
  ///                          up: then closed, at once), or the line took no bytes within
  ///                          timeout_ms + 100 ms.
  AttenuatorStatus GetMotorDegree(float* degree, int timeout_ms);

  /// Homes the mount ("0ho0").
  ///
  /// Sends `0ho0`; expects a position frame, which the device sends once at home, so
  /// timeout_ms must cover the motion. The position it reports is not handed back.
  /// \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
  /// \retval Ok               a position frame with a readable number, or a status frame of
  ///                          code 0.
  /// \retval 1..255           the device's status frame instead of the position.
  /// \retval UnexpectedReply  any other line, or a position without readable digits.
  /// \retval ReplyTimeout     no complete line within timeout_ms, or cut short by Cancel; the
  ///                          mount may still be moving.
  /// \retval PortUnavailable  no port open, the port has gone (an adapter unplugged, the line hung
  ///                          up: then closed, at once), or the line took no bytes within
  ///                          timeout_ms + 100 ms.
  AttenuatorStatus MechanicalCalibration(int timeout_ms);

  /// Starts the device's motor optimisation ("0om").
  ///
  /// Sends `0om`; expects a status frame, which the device sends when the run is over, so
  /// timeout_ms must cover the run.
  /// \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
  /// \retval Ok               a status frame of code 0.
  /// \retval 1..255           the device's status code.
  /// \retval UnexpectedReply  the line was no status frame (or its code is not 0 to 255).
  /// \retval ReplyTimeout     no complete line within timeout_ms, or cut short by Cancel; the
  ///                          run may still be going on.
  /// \retval PortUnavailable  no port open, the port has gone (an adapter unplugged, the line hung
  ///                          up: then closed, at once), or the line took no bytes within
  ///                          timeout_ms + 100 ms.
  AttenuatorStatus StartOptimization(int timeout_ms);

  /// Starts the device's mechanics cleaning ("0cm").
  ///
  /// Sends `0cm`; expects a status frame, which the device sends when the run is over, so
  /// timeout_ms must cover the run.
  /// \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
  /// \retval Ok               a status frame of code 0.
  /// \retval 1..255           the device's status code.
  /// \retval UnexpectedReply  the line was no status frame (or its code is not 0 to 255).
  /// \retval ReplyTimeout     no complete line within timeout_ms, or cut short by Cancel; the
  ///                          run may still be going on.
  /// \retval PortUnavailable  no port open, the port has gone (an adapter unplugged, the line hung
  ///                          up: then closed, at once), or the line took no bytes within
  ///                          timeout_ms + 100 ms.
  AttenuatorStatus StartCleaningMechanics(int timeout_ms);

  /// Stops a motion ("0st"). It cannot overtake a call that is still waiting for its reply.
  ///
  /// Sends `0st`; expects a status frame. From another thread, Cancel first: Stop waits for
  /// the lock like every call.
  /// \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
  /// \retval Ok               a status frame of code 0.
  /// \retval 1..255           the device's status code.
  /// \retval UnexpectedReply  the line was no status frame (or its code is not 0 to 255).
  /// \retval ReplyTimeout     no complete line within timeout_ms, or cut short by Cancel.
  /// \retval PortUnavailable  no port open, the port has gone (an adapter unplugged, the line hung
  ///                          up: then closed, at once), or the line took no bytes within
  ///                          timeout_ms + 100 ms.
  AttenuatorStatus Stop(int timeout_ms);

  /// Moves to the angle that gives `transmittance` (0 to 1, both included).
  ///
  /// The transmittance model: T = sin^2(90 * (angle - min_angle) / angle_span), angles in
  /// degrees. min_angle is where T = 0; angle_span the rotation from T = 0 to T = 1 (negative
  /// spans are allowed; zero, and any span closer to zero than 1e-9 degrees, is not). Requires
  /// min_angle > -360 and min_angle + angle_span < 360.
  ///
  /// Sends `0ma` + the angle's step count as 8 upper-case hex digits, as SetMotorDegree does;
  /// the angle lies on the half-period from min_angle to min_angle + angle_span. Expects a
  /// position frame, which the device sends when the motion ends, so timeout_ms must cover the
  /// motion. The position it reports is not handed back.
  /// \param transmittance  the wanted transmittance, 0 to 1.
  /// \param min_angle      the model's angle of T = 0, in degrees.
  /// \param angle_span     the model's rotation from T = 0 to T = 1, in degrees.
  /// \param timeout_ms     the wait for the reply, in milliseconds; 0 or less: no wait.
  /// \retval Ok               a position frame with a readable number, or a status frame of
  ///                          code 0.
  /// \retval 1..255           the device's status frame instead of the position.
  /// \retval UnexpectedReply  any other line, or a position without readable digits.
  /// \retval ReplyTimeout     no complete line within timeout_ms, or cut short by Cancel; the
  ///                          mount may still be moving.
  /// \retval PortUnavailable  no port open, the port has gone (an adapter unplugged, the line hung
  ///                          up: then closed, at once), or the line took no bytes within
  ///                          timeout_ms + 100 ms.
  /// \retval InvalidArgument  `transmittance` NaN or outside 0 to 1; min_angle or angle_span
  ///                          not finite, or outside the model's bounds above; the angle or its
  ///                          step count beyond what a float or 32 bits hold (checked first,
  ///                          also with no port open); nothing sent.
  AttenuatorStatus SetTransmittance(float transmittance, double min_angle, double angle_span,
                                    int timeout_ms);

  /// Reads the position and reports the transmittance there. `transmittance` must not be null.
  ///
  /// Sends `0gp`; expects a position frame, whose steps become degrees with the scale of the
  /// last Connect, then a transmittance by the model of SetTransmittance.
  /// \param[out] transmittance  the model's transmittance at the position read, 0 to 1;
  ///                            written only when a position frame arrived.
  /// \param min_angle           the model's angle of T = 0, in degrees.
  /// \param angle_span          the model's rotation from T = 0 to T = 1, in degrees.
  /// \param timeout_ms          the wait for the reply, in milliseconds; 0 or less: no wait.
  /// \retval Ok               a position frame with a readable number: `*transmittance`
  ///                          written; or a status frame of code 0: nothing written.
  /// \retval 1..255           the device's status frame instead of the position.
  /// \retval UnexpectedReply  any other line, or a position without readable digits.
  /// \retval ReplyTimeout     no complete line within timeout_ms, or cut short by Cancel.
  /// \retval PortUnavailable  no port open, the port has gone (an adapter unplugged, the line hung
  ///                          up: then closed, at once), or the line took no bytes within
  ///                          timeout_ms + 100 ms.
  /// \retval InvalidArgument  `transmittance` null; min_angle or angle_span not finite, or
  ///                          outside the model's bounds of SetTransmittance (checked first,
  ///                          also with no port open); nothing sent.
  AttenuatorStatus GetTransmittance(float* transmittance, double min_angle, double angle_span,
                                    int timeout_ms);

 private:
  std::unique_ptr<AttenuatorHandlerImpl> impl;
};

/// The name of a result: "Ok", "ReplyTimeout", "NoSuchPort", ..., "DeviceStatus" for 1 to
/// 255, "Unknown" for a value the library never returns. Takes AttenuatorStatus, the values of
/// ConnectResult and the C interface's results alike.
///
/// Needs no handler and takes no lock: any thread, at any time.
/// \param status  any value.
/// \return a static string, never null.
TORVEK_ATTENUATOR_API const char* StatusName(std::int32_t status);

/// The serial ports of this machine, in name order (ttyUSB2 before ttyUSB10, COM3 before
/// COM10).
///
/// Linux: USB adapters (ttyUSB), modems of the ACM class (ttyACM) and on-board UARTs that have
/// hardware behind them, with what sysfs tells of each; /dev and /sys are read under the
/// directory named by the environment variable TORVEK_ATTENUATOR_SYSROOT when it is set (a test
/// gives it a tree of its own). Windows: the COM names the registry lists, with the USB identity
/// where the registry records one. Opens no port and sends nothing; needs no handler.
/// \return the ports, possibly none.
TORVEK_ATTENUATOR_API std::vector<SerialPortInfo> ListSerialPorts();

/// What the system tells of one port: ListSerialPorts' record for it, also for a port that list
/// leaves out (a pseudo-terminal, a link to a port). A `usb:` name is resolved first. Opens
/// nothing; needs no handler.
/// \param name  a port name or a `usb:` identity.
/// \return the record; for a name that leads nowhere, `path` and `open_path` hold the name,
///         `may_open` is false and `open_error` says why.
TORVEK_ATTENUATOR_API SerialPortInfo DescribePort(const std::string& name);

/// What this machine adds to StatusHint when a port could not be used: for NoSuchPort the
/// serial ports there are ("ports present: /dev/ttyUSB0 /dev/serial/by-id/..."), for
/// AccessDenied the group that owns the port ("the port belongs to group 'dialout': sudo
/// usermod -aG dialout \"$USER\""); empty for any other result. attenuatorctl and the Python
/// package print it after the hint.
///
/// Needs no handler; opens nothing.
/// \param port_name  the port as given to Connect.
/// \param result     what Connect gave.
/// \return the advice, possibly empty.
TORVEK_ATTENUATOR_API std::string PortAdvice(const std::string& port_name, ConnectResult result);

/// The port a name stands for now. A stable identity, `usb:VID:PID` or `usb:VID:PID:SERIAL`
/// (hex ids, either case: `usb:0403:6001:TA0001`), becomes the port of the USB adapter that
/// carries it, whatever node it got when it was plugged in; any other name is itself. Connect
/// does the same with the names it is given.
///
/// Needs no handler and takes no lock.
/// \param name       a port name, or a `usb:` identity.
/// \param[out] path  the port to open; written on Connected only.
/// \retval ConnectResult::Connected      `*path` written.
/// \retval ConnectResult::NoSuchPort     a `usb:` name that is malformed, or that no port has
///                                      (on Windows also when the registry does not tell).
/// \retval ConnectResult::AmbiguousPort  more than one port has that identity.
TORVEK_ATTENUATOR_API ConnectResult ResolvePortName(const std::string& name, std::string* path);

/// StatusName of a ConnectResult.
/// \param result  a result of Connect(port_name, attempts).
/// \return a static string, never null.
inline const char* StatusName(ConnectResult result) {
  return StatusName(static_cast<std::int32_t>(result));
}

/// What a person can do about a result: one line, for a message beside StatusName ("no reply
/// in time: check that the device is powered and cabled; ..."). Empty for Ok and unknown
/// values.
///
/// Needs no handler and takes no lock: any thread, at any time.
/// \param status  any value, as for StatusName.
/// \return a static string, never null.
TORVEK_ATTENUATOR_API const char* StatusHint(std::int32_t status);

/// StatusHint of a ConnectResult.
/// \param result  a result of Connect(port_name, attempts).
/// \return a static string, never null; empty for Connected.
inline const char* StatusHint(ConnectResult result) {
  return StatusHint(static_cast<std::int32_t>(result));
}

/// The transmittance the handler's model gives at a mount angle, as GetTransmittance computes
/// it from a position read: T = sin^2(90 * (angle - min_angle) / angle_span), narrowed to
/// float. Lets a host plan or show transmittances without a device.
///
/// Needs no handler and takes no lock.
/// \param angle           the mount angle in degrees; any finite value.
/// \param min_angle       the model's angle of T = 0, in degrees.
/// \param angle_span      the model's rotation from T = 0 to T = 1, in degrees.
/// \param[out] transmittance  written on Ok only.
/// \retval Ok               `*transmittance` written, 0 to 1.
/// \retval InvalidArgument  `transmittance` null, `angle` not finite, or the model refused as
///                          SetTransmittance refuses it; nothing written.
TORVEK_ATTENUATOR_API AttenuatorStatus TransmittanceAt(float angle, double min_angle,
                                                       double angle_span, float* transmittance);

/// The mount angle SetTransmittance moves to for a transmittance: on the half-period from
/// min_angle to min_angle + angle_span, narrowed to float.
///
/// Needs no handler and takes no lock.
/// \param transmittance  0 to 1, both included.
/// \param min_angle      the model's angle of T = 0, in degrees.
/// \param angle_span     the model's rotation from T = 0 to T = 1, in degrees.
/// \param[out] angle     written on Ok only, in degrees.
/// \retval Ok               `*angle` written.
/// \retval InvalidArgument  `angle` null, or what SetTransmittance refuses before sending
///                          (the transmittance, the model, an angle beyond a float); nothing
///                          written.
TORVEK_ATTENUATOR_API AttenuatorStatus AngleFor(float transmittance, double min_angle,
                                                double angle_span, float* angle);

/// The motor steps SetMotorDegree sends for an angle, at a device's scale: degrees times
/// steps_per_revolution / degrees_per_revolution (in double), truncated toward zero.
///
/// Needs no handler and takes no lock.
/// \param degrees                 -360 < degrees < 360.
/// \param degrees_per_revolution  the device's scale, above 0 (360 for the default device).
/// \param steps_per_revolution    the device's scale, above 0 (143360 for the default device).
/// \param[out] steps              written on Ok only.
/// \retval Ok               `*steps` written.
/// \retval InvalidArgument  `steps` null, a scale of 0 or less, or what SetMotorDegree
///                          refuses (degrees not finite or out of range, a step count beyond
///                          32 bits); nothing written.
TORVEK_ATTENUATOR_API AttenuatorStatus DegreesToSteps(float degrees,
                                                      std::int32_t degrees_per_revolution,
                                                      std::int32_t steps_per_revolution,
                                                      std::int32_t* steps);

/// The angle GetMotorDegree reports for a position in motor steps, at a device's scale: steps
/// divided by steps_per_revolution / degrees_per_revolution (in double), narrowed to float.
///
/// Needs no handler and takes no lock.
/// \param steps                   any position.
/// \param degrees_per_revolution  the device's scale, above 0.
/// \param steps_per_revolution    the device's scale, above 0.
/// \param[out] degrees            written on Ok only.
/// \retval Ok               `*degrees` written.
/// \retval InvalidArgument  `degrees` null or a scale of 0 or less; nothing written.
TORVEK_ATTENUATOR_API AttenuatorStatus StepsToDegrees(std::int32_t steps,
                                                      std::int32_t degrees_per_revolution,
                                                      std::int32_t steps_per_revolution,
                                                      float* degrees);

/// A transmittance as an optical density, OD = -log10(T): 0 lets everything through, each
/// unit a tenth as much. T = 0 has no finite density: +infinity.
///
/// Needs no handler and takes no lock.
/// \param transmittance         0 to 1, both included.
/// \param[out] optical_density  written on Ok only.
/// \retval Ok               written (+infinity for 0).
/// \retval InvalidArgument  `optical_density` null, or `transmittance` outside 0 to 1 or NaN.
TORVEK_ATTENUATOR_API AttenuatorStatus OpticalDensity(double transmittance,
                                                      double* optical_density);

/// A transmittance as an attenuation in decibels, 10 log10(1/T) (ten times the optical density);
/// +infinity for T = 0.
///
/// Needs no handler and takes no lock.
/// \param transmittance   0 to 1, both included.
/// \param[out] decibels   written on Ok only.
/// \retval Ok               written.
/// \retval InvalidArgument  `decibels` null, or `transmittance` outside 0 to 1 or NaN.
TORVEK_ATTENUATOR_API AttenuatorStatus AttenuationDecibels(double transmittance, double* decibels);

/// The transmittance of an optical density, 10^-OD; +infinity gives 0.
///
/// Needs no handler and takes no lock.
/// \param optical_density     0 or more, +infinity included.
/// \param[out] transmittance  written on Ok only, 0 to 1.
/// \retval Ok               written.
/// \retval InvalidArgument  `transmittance` null, or `optical_density` below 0 or NaN.
TORVEK_ATTENUATOR_API AttenuatorStatus TransmittanceOfDensity(double optical_density,
                                                              double* transmittance);

/// The greatest finite optical density the mount can be set to by the model: the model's
/// transmittance one motor step from its zero (min_angle), at a device's scale. Between it and
/// +infinity (T = 0, the mount at min_angle) lies no position of the mount.
///
/// Needs no handler and takes no lock.
/// \param min_angle               the model's angle of T = 0, in degrees.
/// \param angle_span              the model's rotation from T = 0 to T = 1, in degrees.
/// \param degrees_per_revolution  the device's scale, above 0 (360 by default).
/// \param steps_per_revolution    the device's scale, above 0 (143360 by default).
/// \param[out] optical_density    written on Ok only.
/// \retval Ok               written.
/// \retval InvalidArgument  `optical_density` null, a scale of 0 or less, or the model refused
///                          as SetTransmittance refuses it.
TORVEK_ATTENUATOR_API AttenuatorStatus DensityLimit(double min_angle, double angle_span,
                                                    std::int32_t degrees_per_revolution,
                                                    std::int32_t steps_per_revolution,
                                                    double* optical_density);

/// The densities a model reaches, in words, as a refusal names them: "0 <= optical density <=
/// 8.7164, or inf". The limit is rounded down to four decimals, so that the number shown is
/// taken.
///
/// Needs no handler and takes no lock.
/// \param density_limit  what DensityLimit gave.
/// \return the text.
TORVEK_ATTENUATOR_API std::string AcceptedDensities(double density_limit);

/// The transmittance to give SetTransmittance for an optical density: 10^-OD, when the model
/// reaches the density on the mount (0 up to DensityLimit, or +infinity: T = 0, the mount at
/// min_angle). A finite density above the limit lies between the mount's last two positions
/// and is refused.
///
/// Needs no handler and takes no lock.
/// \param optical_density         0 up to the limit, or +infinity.
/// \param min_angle               the model's angle of T = 0, in degrees.
/// \param angle_span              the model's rotation from T = 0 to T = 1, in degrees.
/// \param degrees_per_revolution  the device's scale, above 0 (GetScale).
/// \param steps_per_revolution    the device's scale, above 0.
/// \param[out] transmittance      written on Ok only, 0 to 1.
/// \retval Ok               written.
/// \retval InvalidArgument  `transmittance` null, the density not reached (below 0, NaN, above
///                          the limit but finite), or the model or scale refused as by
///                          DensityLimit.
TORVEK_ATTENUATOR_API AttenuatorStatus TransmittanceForDensity(double optical_density,
                                                               double min_angle, double angle_span,
                                                               std::int32_t degrees_per_revolution,
                                                               std::int32_t steps_per_revolution,
                                                               double* transmittance);

/// The library's version, "major.minor.patch".
///
/// Needs no handler and takes no lock: any thread, at any time.
/// \return a static string, never null: the version of the library loaded at run time.
TORVEK_ATTENUATOR_API const char* LibraryVersion();

}  // namespace TORVEK
