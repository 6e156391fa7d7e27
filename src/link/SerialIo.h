#pragma once

#include <chrono>
#include <string>

#include <system_error>

#include <asio/serial_port.hpp>

#include "link/Cancellation.h"
#include "torvek/AttenuatorHandler.h"

// What the command transaction needs of the platform and that Asio does not give: a write and a
// read of one reply line that both end at a deadline or at a Cancel, and discarding the input.
//
// Everything runs on the caller's thread and waits in the system (ppoll on Linux, overlapped
// I/O and its event on Windows) for the port, the cancel signal or the deadline, whichever
// comes first. Nothing is left running when a call returns: no thread, no pending operation.

namespace TORVEK {

using Deadline = std::chrono::steady_clock::time_point;

inline bool PastDeadline(Deadline deadline) {
  return std::chrono::steady_clock::now() >= deadline;
}

enum class WriteEnd {
  kWritten,    // the port took the whole command
  kStalled,    // the port had no room by the deadline, or took only part of the command
  kGone,       // the port reported an error: the device has gone (an adapter unplugged)
  kCancelled,  // the call was cancelled while it waited for room
};

// Hands `command` to the port in one write, waiting until `deadline` for room in the port's
// output: a line that has stopped taking bytes (flow control held, a device that no longer
// reads) must not hold the caller.
WriteEnd WriteCommand(asio::serial_port& port, const std::string& command, Deadline deadline,
                      Cancellation& cancellation);

enum class LineEnd {
  kComplete,   // `received` holds CR LF
  kPortGone,   // the port reported an error, end of file or a hang-up: the device has gone
  kTimedOut,   // the deadline passed before CR LF arrived
  kCancelled,  // the call was cancelled before CR LF arrived
};

// Appends what the port delivers to `received` until it holds CR LF, the port fails, the call
// is cancelled or `deadline` passes. Bytes that were already waiting when the deadline passed
// are still read (a caller whose thread got the processor late loses no reply that came in
// time); bytes that arrive later stay in the port.
LineEnd ReadLineUntil(asio::serial_port& port, std::string& received, Deadline deadline,
                      Cancellation& cancellation);

// Sleeps until `deadline`, or returns true as soon as the call is cancelled.
bool CancelledBefore(Deadline deadline, Cancellation& cancellation);

// Whether `received` holds CR LF, given that the bytes from `new_from` on are new: the CR may
// have come in the read before.
inline bool HoldsLineEnd(const std::string& received, std::size_t new_from) {
  const std::size_t from = new_from > 0 ? new_from - 1 : 0;
  return received.find("\r\n", from) != std::string::npos;
}

// Why a port could not be opened, from the system's error: NoSuchPort, AccessDenied, PortBusy,
// or PortUnavailable for anything else.
ConnectResult OpenRefusal(const std::error_code& error);

// Asks the driver to hand received bytes on at once instead of holding them for its latency
// timer, as USB adapters do (16 ms by default): without it every short reply waits for the
// timer. Never fails; returns what came of it, for the wire trace.
std::string RequestLowLatency(asio::serial_port& port);

// Whether the port has gone (hung up, the adapter unplugged), looked at without reading or
// writing and without waiting.
bool PortHasGone(asio::serial_port& port);

// Discards every byte the port has received and not yet been read.
void PurgeInput(asio::serial_port& port) noexcept;

// Reads, without waiting, every byte the port has received and not yet been read: what the
// purge would discard, for the wire trace to show.
std::string TakePending(asio::serial_port& port);

}  // namespace TORVEK
