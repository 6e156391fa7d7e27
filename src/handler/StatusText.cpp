#include <cstdint>

#include "torvek/AttenuatorHandler.h"
#include "torvek/attenuator.h"

// The names and hints every front-end shows: attenuatorctl, the Python exceptions, the Tango
// device's Status. Hints are one line, lower case, for a person at the bench.

namespace TORVEK {

static_assert(TORVEK_ATT_CONNECT_ATTEMPTS == kConnectAttempts);
static_assert(TORVEK_ATT_OK == Ok && TORVEK_ATT_UNEXPECTED_REPLY == UnexpectedReply &&
              TORVEK_ATT_REPLY_TIMEOUT == ReplyTimeout &&
              TORVEK_ATT_PORT_UNAVAILABLE == PortUnavailable &&
              TORVEK_ATT_INVALID_ARGUMENT == InvalidArgument);
static_assert(TORVEK_ATT_NO_SUCH_PORT == static_cast<int>(ConnectResult::NoSuchPort) &&
              TORVEK_ATT_ACCESS_DENIED == static_cast<int>(ConnectResult::AccessDenied) &&
              TORVEK_ATT_PORT_BUSY == static_cast<int>(ConnectResult::PortBusy) &&
              TORVEK_ATT_NOT_A_SERIAL_PORT == static_cast<int>(ConnectResult::NotASerialPort) &&
              TORVEK_ATT_NO_IDENTIFICATION == static_cast<int>(ConnectResult::NoIdentification) &&
              TORVEK_ATT_BAD_IDENTIFICATION == static_cast<int>(ConnectResult::BadIdentification) &&
              TORVEK_ATT_AMBIGUOUS_PORT == static_cast<int>(ConnectResult::AmbiguousPort) &&
              TORVEK_ATT_REPLY_TIMEOUT == static_cast<int>(ConnectResult::Cancelled) &&
              TORVEK_ATT_PORT_UNAVAILABLE == static_cast<int>(ConnectResult::PortUnavailable));

const char* StatusName(std::int32_t status) {
  switch (status) {
    case TORVEK_ATT_OK:
      return "Ok";
    case TORVEK_ATT_UNEXPECTED_REPLY:
      return "UnexpectedReply";
    case TORVEK_ATT_REPLY_TIMEOUT:
      return "ReplyTimeout";
    case TORVEK_ATT_PORT_UNAVAILABLE:
      return "PortUnavailable";
    case TORVEK_ATT_INVALID_ARGUMENT:
      return "InvalidArgument";
    case TORVEK_ATT_INTERNAL_ERROR:
      return "InternalError";
    case TORVEK_ATT_NO_SUCH_PORT:
      return "NoSuchPort";
    case TORVEK_ATT_ACCESS_DENIED:
      return "AccessDenied";
    case TORVEK_ATT_PORT_BUSY:
      return "PortBusy";
    case TORVEK_ATT_NOT_A_SERIAL_PORT:
      return "NotASerialPort";
    case TORVEK_ATT_NO_IDENTIFICATION:
      return "NoIdentification";
    case TORVEK_ATT_BAD_IDENTIFICATION:
      return "BadIdentification";
    case TORVEK_ATT_NO_VALUE:
      return "NoValue";
    case TORVEK_ATT_AMBIGUOUS_PORT:
      return "AmbiguousPort";
    default:
      return status >= 1 && status <= 255 ? "DeviceStatus" : "Unknown";
  }
}

const char* StatusHint(std::int32_t status) {
  switch (status) {
    case TORVEK_ATT_OK:
      return "";
    case TORVEK_ATT_UNEXPECTED_REPLY:
      return "the reply did not fit the command: another program on the port, noise on the "
             "line, or another kind of device; the wire trace (TORVEK_ATTENUATOR_TRACE=stderr) "
             "shows what came";
    case TORVEK_ATT_REPLY_TIMEOUT:
      return "no reply in time: check that the device is powered and cabled; a long move or "
             "homing needs a longer time-out";
    case TORVEK_ATT_PORT_UNAVAILABLE:
      return "the device went away (adapter unplugged, line hung up), the line takes no bytes, "
             "or no port is open: check the cable and the power, then reconnect";
    case TORVEK_ATT_INVALID_ARGUMENT:
      return "nothing was sent: a value is outside what the attenuator accepts";
    case TORVEK_ATT_INTERNAL_ERROR:
      return "the system refused the library a resource (memory, a descriptor); the handle "
             "stays usable";
    case TORVEK_ATT_NO_SUCH_PORT:
      return "no port of that name: is the adapter plugged in, and is the name right? "
             "'attenuatorctl ports' lists the serial ports";
    case TORVEK_ATT_ACCESS_DENIED:
      return "this user may not open the port: join the group that owns it (on Debian "
             "usually dialout: sudo usermod -aG dialout \"$USER\"), then log out and in again";
    case TORVEK_ATT_PORT_BUSY:
      return "another program holds the port (a terminal program, another attenuatorctl, a "
             "device server): close it, then try again";
    case TORVEK_ATT_NOT_A_SERIAL_PORT:
      return "not a serial device (it refused 9600 8N1): give the name of the attenuator's "
             "serial port";
    case TORVEK_ATT_NO_IDENTIFICATION:
      return "nothing answered the identification within 100 ms: check that the device is "
             "powered and cabled to this port";
    case TORVEK_ATT_BAD_IDENTIFICATION:
      return "something answered, but not with an attenuator's identification: another "
             "device on this port, or noise on the line";
    case TORVEK_ATT_NO_VALUE:
      return "the device answered with its status in place of the value: ask again";
    case TORVEK_ATT_AMBIGUOUS_PORT:
      return "more than one adapter has that identity: add its serial number "
             "(usb:VID:PID:SERIAL; 'attenuatorctl ports' shows it)";
    default:
      return status >= 1 && status <= 255
                 ? "the device reports a status code of its own: see its manual; homing the "
                   "mount or reconnecting clears a fault that persists"
                 : "";
  }
}

const char* AcceptedRange(std::int32_t quantity) {
  switch (quantity) {
    case TORVEK_ATT_RANGE_STEPS:
      return "-143360 <= steps <= 143360";
    case TORVEK_ATT_RANGE_DEGREES:
      return "-360 < degrees < 360, and the step count at the device's scale must fit in 32 "
             "bits";
    case TORVEK_ATT_RANGE_TRANSMITTANCE:
      return "0 <= transmittance <= 1";
    case TORVEK_ATT_RANGE_MODEL:
      return "min angle > -360, min angle + span < 360, and a span of at least 1e-9 degrees "
             "either way";
    default:
      return "";
  }
}

}  // namespace TORVEK
