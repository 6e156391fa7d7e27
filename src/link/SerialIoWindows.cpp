#include <windows.h>

#include <system_error>

#include "link/SerialIo.h"

// Asio opens serial ports for overlapped I/O and ties them to its I/O completion port. Each
// operation here is one overlapped read or write whose event is waited for until the deadline;
// the low bit set in the event handle keeps its completion off that port, where nobody would
// collect it. An operation the deadline ends is cancelled and collected before its buffer goes.

namespace TORVEK {
namespace {

// Whole milliseconds left, rounded up so that the wait never ends before the deadline.
DWORD MillisecondsLeft(Deadline deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) {
    return 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

class Overlapped {
 public:
  Overlapped() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (event_ == nullptr) {
      throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                              "CreateEvent");
    }
  }
  ~Overlapped() { ::CloseHandle(event_); }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;

  // A fresh OVERLAPPED for the next operation.
  OVERLAPPED* Next() {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event_) | 1);
    return &overlapped_;
  }

  // After a started operation: waits for it until `deadline`, cancels it if it is still
  // pending then, and collects it. Returns whether it completed without error; `transferred`
  // is set either way, and `cut_off` tells whether the deadline ended the wait.
  bool Finish(HANDLE handle, bool started_pending, Deadline deadline, DWORD& transferred,
              bool& cut_off) {
    cut_off = false;
    if (started_pending &&
        ::WaitForSingleObject(event_, MillisecondsLeft(deadline)) != WAIT_OBJECT_0) {
      ::CancelIoEx(handle, &overlapped_);
      cut_off = true;
    }
    transferred = 0;
    return ::GetOverlappedResult(handle, &overlapped_, &transferred, TRUE) != 0;
  }

 private:
  HANDLE event_;
  OVERLAPPED overlapped_{};
};

}  // namespace

bool WriteCommand(asio::serial_port& port, const std::string& command, Deadline deadline) {
  const HANDLE handle = port.native_handle();
  Overlapped operation;
  OVERLAPPED* overlapped = operation.Next();
  bool pending = false;
  if (!::WriteFile(handle, command.data(), static_cast<DWORD>(command.size()), nullptr,
                   overlapped)) {
    if (::GetLastError() != ERROR_IO_PENDING) {
      return false;
    }
    pending = true;
  }
  DWORD transferred = 0;
  bool cut_off = false;
  const bool done = operation.Finish(handle, pending, deadline, transferred, cut_off);
  // A device that gets part of a command answers nothing that would be about this one.
  return done && transferred == command.size();
}

LineEnd ReadLineUntil(asio::serial_port& port, std::string& received, Deadline deadline) {
  const HANDLE handle = port.native_handle();
  Overlapped operation;
  char chunk[256];
  for (;;) {
    // Past the deadline, what is there is read once more, and no more: a device that keeps
    // sending must not keep the caller.
    const bool last_look = PastDeadline(deadline);
    OVERLAPPED* overlapped = operation.Next();
    bool pending = false;
    if (!::ReadFile(handle, chunk, sizeof chunk, nullptr, overlapped)) {
      if (::GetLastError() != ERROR_IO_PENDING) {
        return LineEnd::kPortFailed;
      }
      pending = true;
    }
    DWORD transferred = 0;
    bool cut_off = false;
    const bool done = operation.Finish(handle, pending, deadline, transferred, cut_off);
    // What a read cut off by the deadline had transferred came in time and is kept.
    if (transferred > 0) {
      const std::size_t before = received.size();
      received.append(chunk, transferred);
      if (HoldsLineEnd(received, before)) {
        return LineEnd::kComplete;
      }
    }
    if (cut_off || (last_look && done && transferred > 0)) {
      return LineEnd::kTimedOut;
    }
    if (!done || transferred == 0) {
      // With the time-outs Asio gives the port a read waits for its first byte, so an empty
      // one means the line is gone; reading on would only spin.
      return LineEnd::kPortFailed;
    }
  }
}

void PurgeInput(asio::serial_port& port) noexcept {
  ::PurgeComm(port.native_handle(), PURGE_RXCLEAR);
}

}  // namespace TORVEK
