#include <algorithm>
#include <chrono>

#include "link/AttenuatorHandlerImpl.h"
#include "link/SerialIo.h"

namespace TORVEK {
namespace {

constexpr std::chrono::milliseconds kWriteGrace{100};

}  // namespace

int AttenuatorHandlerImpl::Exchange(const std::string& command, std::string& reply,
                                    int timeout_ms) {
  if (!port) {
    return PortUnavailable;
  }
  // Cancelled before anything was sent (the second request of GetMotorInfo, say): the host no
  // longer waits for any reply.
  if (cancellation.Requested()) {
    return ReplyTimeout;
  }

  // Whatever is waiting in the input now (the late answer to a command that timed out,
  // noise) is not the answer to this command; left there, it would be taken for it and every
  // later reply would belong to the command before.
  PurgeInput(*port);
  const std::chrono::milliseconds timeout(std::max(timeout_ms, 0));
  // On a working line the port takes the command at once. One that has stopped taking bytes
  // (flow control held, a device that no longer reads) gets the time-out and a little more,
  // enough for a command's own time on the wire where the system reports a write only once
  // it has gone out.
  const auto write_deadline = std::chrono::steady_clock::now() + timeout + kWriteGrace;
  switch (WriteCommand(*port, command, write_deadline, cancellation)) {
    case WriteEnd::kWritten:
      break;
    case WriteEnd::kFailed:
      return PortUnavailable;
    case WriteEnd::kCancelled:
      return ReplyTimeout;
  }

  // The time-out counts from the end of the write; zero or less means: take only what is
  // already there.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string received;
  switch (ReadLineUntil(*port, received, deadline, cancellation)) {
    case LineEnd::kTimedOut:
    case LineEnd::kCancelled:
      // A cancelled wait is a time-out the host cut short. Its reply, if it comes, is purged
      // before the next command goes out, as a late reply always is.
      return ReplyTimeout;
    case LineEnd::kComplete:
      // One read may bring bytes that follow the line terminator; they belong to no command.
      received.resize(received.find("\r\n") + 2);
      break;
    case LineEnd::kPortFailed:
      // What arrived before the line failed is handed on; the decoders judge it.
      break;
  }
  reply = std::move(received);
  return Ok;
}

}  // namespace TORVEK
