#include <chrono>
#include <exception>
#include <future>

#include <asio/buffer.hpp>
#include <asio/buffers_iterator.hpp>
#include <asio/streambuf.hpp>

#include "link/AttenuatorHandlerImpl.h"
#include "link/InterruptibleRead.h"

namespace TORVEK {

int AttenuatorHandlerImpl::Exchange(const std::string& command, std::string& reply,
                                    int timeout_ms) {
  if (!port) {
    return PortUnavailable;
  }

  InterruptibleRead read(*port);

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

  asio::streambuf received;
  std::future<void> reading =
      std::async(std::launch::async, [&read, &received] { read.ReadLine(received); });

  if (reading.wait_for(std::chrono::milliseconds(timeout_ms)) == std::future_status::timeout) {
    read.Cancel();
    // The reading task holds `received`; it must have ended before the buffer goes.
    reading.wait();
    return ReplyTimeout;
  }

  // One read may bring bytes that follow the line terminator; they belong to no command.
  const auto data = received.data();
  std::string line(asio::buffers_begin(data), asio::buffers_end(data));
  const std::size_t end = line.find("\r\n");
  if (end != std::string::npos) {
    line.resize(end + 2);
  }
  reply = std::move(line);
  return Ok;
}

}  // namespace TORVEK
