#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <asio/io_context.hpp>
#include <asio/serial_port.hpp>

#include "link/Cancellation.h"
#include "link/WireTrace.h"
#include "torvek/AttenuatorHandler.h"

namespace TORVEK {

// The scale of a handler until a device reports its own.
inline constexpr std::int32_t kDefaultDegreesPerRevolution = 360;
inline constexpr std::int32_t kDefaultPulsesPerRevolution = 143360;

// Everything behind one AttenuatorHandler: the lock, the open port and the scale between
// degrees and motor steps. The public operations hold `mutex` around every call into this
// object; the protocol and the motions reach the device through Exchange alone.
class AttenuatorHandlerImpl {
 public:
  AttenuatorHandlerImpl();
  ~AttenuatorHandlerImpl();

  AttenuatorHandlerImpl(const AttenuatorHandlerImpl&) = delete;
  AttenuatorHandlerImpl& operator=(const AttenuatorHandlerImpl&) = delete;

  // Opens `port_name` at 9600 8N1 (AttenuatorHandlerImpl.cpp). Connected: the port is open and
  // configured, ready for the identification. A port that cannot be opened leaves everything
  // as it was, an earlier port included (NoSuchPort, AccessDenied, PortBusy, PortUnavailable);
  // one that opens replaces an earlier port at once, and is closed again when it refuses the
  // settings (NotASerialPort).
  ConnectResult Open(const std::string& port_name);
  void Disconnect();
  // Closes the port whatever cancel or close report; used where an error must not escape.
  void DisconnectQuietly() noexcept;

  // Tells a line that answers the command before this one, which the device sends only once
  // this command reaches it (a motion's reply when a stop cuts it short).
  using EarlierReply = std::function<bool(const std::string& line)>;

  // The command transaction (Exchange.cpp): one command written, one reply line read.
  // Returns Ok with the line (CR LF included) in `reply`, ReplyTimeout or PortUnavailable. A
  // port that has gone away (the adapter unplugged) is closed: PortUnavailable, now and for
  // every later call until the next Open. Lines `earlier` tells are passed over, within the
  // same time-out; with `settle_ms` of 0 or more, the next line must follow a passed-over one
  // within that many milliseconds.
  int Exchange(const std::string& command, std::string& reply, int timeout_ms,
               EarlierReply earlier = nullptr, int settle_ms = -1);

  // Whether the port has gone (hung up, unplugged), looked at without I/O; closes it if so.
  // Without a port: true.
  bool CheckPortGone();

  std::mutex mutex;
  // Ends the wait of the call in progress; taken without `mutex`.
  Cancellation cancellation;
  std::unique_ptr<asio::serial_port> port;
  asio::io_context io_context;
  std::int32_t degrees_per_revolution = kDefaultDegreesPerRevolution;
  std::int32_t pulses_per_revolution = kDefaultPulsesPerRevolution;
  double degrees_per_pulse = 0.00251116;
  double pulses_per_degree = 143360.0 / 360.0;
  // The command whose reply the host stopped waiting for (its wait timed out or was
  // cancelled) while no later command has had its reply: a stop that cuts its motion short
  // is answered by it first.
  std::string unanswered;
  // The wire trace the environment asked for when the handler last connected; null: none.
  std::unique_ptr<WireTrace> trace;
  // Numbers the handler's trace lines; handlers of a process count from 1.
  const unsigned number;

 private:
  // Closes the port that has gone under a call; returns PortUnavailable for the call.
  int PortGone(const char* during);
};

}  // namespace TORVEK
