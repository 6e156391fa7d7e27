#include <chrono>
#include <exception>
#include <future>

#include <asio/buffer.hpp>
#include <asio/buffers_iterator.hpp>
#include <asio/streambuf.hpp>

#include "link/AttenuatorHandlerImpl.h"
#include "link/InterruptibleRead.h"

namespace TORVEK {
namespace {

// Room for the longest reply (identification, 35 bytes) several times over. Made on the
// calling thread, so that the reading thread, new for every call, allocates nothing: a first
// allocation on a new thread would set up its allocator cache, only to tear it down again.
constexpr std::size_t kReplyRoom = 512;

}  // namespace

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

  // The time-out counts from the moment the command is out, not from the start of the call.
  InterruptibleRead read(*port, ReadClock::now() + std::chrono::milliseconds(timeout_ms));
  asio::streambuf received;
  received.prepare(kReplyRoom);
  std::future<void> reading =
      std::async(std::launch::async, [&read, &received] { read.ReadLine(received); });

  // The reading task holds `received`: it has ended once AwaitEnd returns, whatever the result.
  if (!read.AwaitEnd(reading)) {
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
