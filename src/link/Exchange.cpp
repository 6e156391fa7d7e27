#include <algorithm>
#include <chrono>
#include <exception>

#include <asio/buffer.hpp>

#include "link/AttenuatorHandlerImpl.h"
#include "link/LineReader.h"

namespace TORVEK {

int AttenuatorHandlerImpl::Exchange(const std::string& command, std::string& reply,
                                    int timeout_ms) {
  if (!port) {
    return PortUnavailable;
  }

  try {
    // Whatever is waiting in the input now (the late answer to a command that timed out,
    // noise) is not the answer to this command; left there, it would be taken for it and
    // every later reply would belong to the command before.
    PurgeInput(*port);
    const std::size_t written = port->write_some(asio::buffer(command));
    if (written != command.size()) {
      // The device got part of a command: nothing it answers would be about this one.
      return PortUnavailable;
    }
  } catch (const std::exception&) {
    return PortUnavailable;
  }

  // The time-out counts from the end of the write; zero or less means: take only what is
  // already there.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  std::string received;
  switch (ReadLineUntil(*port, received, deadline)) {
    case LineEnd::kTimedOut:
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
