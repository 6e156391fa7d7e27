#include <algorithm>
#include <chrono>
#include <cstdio>

#include "link/AttenuatorHandlerImpl.h"
#include "link/SerialIo.h"

namespace TORVEK {
namespace {

constexpr std::chrono::milliseconds kWriteGrace{100};

const char* Ending(LineEnd end) {
  switch (end) {
    case LineEnd::kComplete:
      return "a line";
    case LineEnd::kPortGone:
      return "the port has gone";
    case LineEnd::kTimedOut:
      return "timed out";
    case LineEnd::kCancelled:
      return "cancelled";
  }
  return "";
}

void TraceWait(WireTrace& trace, const std::string& received, LineEnd end,
               std::chrono::steady_clock::duration waited) {
  if (!received.empty()) {
    trace.Bytes("device", received);
  }
  char text[96];
  std::snprintf(text, sizeof text, "%.3f ms, %s",
                std::chrono::duration<double, std::milli>(waited).count(), Ending(end));
  trace.Line("wait", text);
}

}  // namespace

int AttenuatorHandlerImpl::PortGone(const char* during) {
  // An unplugged adapter does not come back under the same descriptor: closing our side now
  // makes every later call say so at once, until the next Connect opens the port anew.
  if (trace) {
    trace->Line(during, "the port has gone (unplugged, hung up); closed");
  }
  DisconnectQuietly();
  return PortUnavailable;
}

int AttenuatorHandlerImpl::Exchange(const std::string& command, std::string& reply, int timeout_ms,
                                    EarlierReply earlier, int settle_ms) {
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
  if (trace) {
    const std::string stale = TakePending(*port);
    if (!stale.empty()) {
      trace->Line("purged", std::to_string(stale.size()) + " bytes " + EscapedBytes(stale));
    }
    trace->Bytes("host", command);
  }
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
    case WriteEnd::kStalled:
      if (trace) {
        trace->Line("write", "the line took no bytes in time");
      }
      return PortUnavailable;
    case WriteEnd::kGone:
      return PortGone("write");
    case WriteEnd::kCancelled:
      if (trace) {
        trace->Line("write", "cancelled");
      }
      return ReplyTimeout;
  }

  // The time-out counts from the end of the write; zero or less means: take only what is
  // already there.
  const auto written = std::chrono::steady_clock::now();
  auto deadline = written + timeout;
  std::string received;
  std::size_t traced = 0;  // of `received`: what the trace has shown already
  for (;;) {
    const LineEnd end = HoldsLineEnd(received, 0)
                            ? LineEnd::kComplete
                            : ReadLineUntil(*port, received, deadline, cancellation);
    if (trace && (received.size() > traced || end != LineEnd::kComplete)) {
      TraceWait(*trace, received.substr(traced), end, std::chrono::steady_clock::now() - written);
      traced = received.size();
    }
    switch (end) {
      case LineEnd::kTimedOut:
      case LineEnd::kCancelled:
        // A cancelled wait is a time-out the host cut short. Its reply, if it comes, is purged
        // before the next command goes out, as a late reply always is.
        unanswered = command;
        return ReplyTimeout;
      case LineEnd::kComplete:
        break;
      case LineEnd::kPortGone:
        return PortGone("read");
    }
    const std::size_t line_end = received.find("\r\n") + 2;
    std::string line = received.substr(0, line_end);
    if (earlier != nullptr && earlier(line)) {
      // The answer to the command before, sent only now: read on for this command's own.
      if (trace) {
        trace->Line("skip", "a reply to the command before: " + EscapedBytes(line));
      }
      received.erase(0, line_end);
      traced = received.size();
      if (settle_ms >= 0) {
        deadline = std::min(
            deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(settle_ms));
      }
      continue;
    }
    // One read may bring bytes that follow the line terminator; they belong to no command.
    unanswered.clear();
    reply = std::move(line);
    return Ok;
  }
}

}  // namespace TORVEK
