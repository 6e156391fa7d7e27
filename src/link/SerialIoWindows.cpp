#include <windows.h>

#include <system_error>

#include "link/SerialIo.h"

// Asio opens serial ports for overlapped I/O and ties them to its I/O completion port. Each
// operation here is one overlapped read or write whose event is waited for, beside the
// handler's cancel signal, until the deadline; the low bit set in the event handle keeps its
// completion off that port, where nobody would collect it. An operation the deadline or a
// Cancel ends is cancelled and collected before its buffer goes.

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

[[noreturn]] void ThrowLastError(const char* what) {
  throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

enum class Wait { kReady, kTimedOut, kCancelled };

// Waits for `event` (none: for the cancel signal alone) until `deadline` or a Cancel. A signal
// raised for a call that has ended is cleared and the wait goes on.
Wait WaitFor(HANDLE event, Deadline deadline, Cancellation& cancellation) {
  CancelSignal& signal = cancellation.Signal();
  const HANDLE watched[2] = {static_cast<HANDLE>(signal.Handle()), event};
  const DWORD count = event != nullptr ? 2 : 1;
  for (;;) {
    const DWORD woke = ::WaitForMultipleObjects(count, watched, FALSE, MillisecondsLeft(deadline));
    if (woke == WAIT_OBJECT_0) {
      signal.Clear();
      if (cancellation.Requested()) {
        return Wait::kCancelled;
      }
      continue;
    }
    if (woke == WAIT_OBJECT_0 + 1) {
      return Wait::kReady;
    }
    // The deadline, or a wait the system refused: either way the operation is cancelled and
    // collected before its buffer goes.
    return Wait::kTimedOut;
  }
}

class Overlapped {
 public:
  Overlapped() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (event_ == nullptr) {
      ThrowLastError("CreateEvent");
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

  // After a started operation: waits for it until `deadline` or a Cancel, cancels it if it
  // is still pending then, and collects it. Returns whether it completed without error;
  // `transferred` is set either way, and `ended` tells what ended the wait.
  bool Finish(HANDLE handle, bool started_pending, Deadline deadline, Cancellation& cancellation,
              DWORD& transferred, Wait& ended) {
    ended = started_pending ? WaitFor(event_, deadline, cancellation) : Wait::kReady;
    if (ended != Wait::kReady) {
      ::CancelIoEx(handle, &overlapped_);
    }
    transferred = 0;
    return ::GetOverlappedResult(handle, &overlapped_, &transferred, TRUE) != 0;
  }

 private:
  HANDLE event_;
  OVERLAPPED overlapped_{};
};

}  // namespace

CancelSignal::CancelSignal() : handle_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (handle_ == nullptr) {
    ThrowLastError("CreateEvent");
  }
}

CancelSignal::~CancelSignal() {
  ::CloseHandle(static_cast<HANDLE>(handle_));
}

void CancelSignal::Raise() noexcept {
  ::SetEvent(static_cast<HANDLE>(handle_));
}

void CancelSignal::Clear() noexcept {
  ::ResetEvent(static_cast<HANDLE>(handle_));
}

WriteEnd WriteCommand(asio::serial_port& port, const std::string& command, Deadline deadline,
                      Cancellation& cancellation) {
  const HANDLE handle = port.native_handle();
  Overlapped operation;
  OVERLAPPED* overlapped = operation.Next();
  bool pending = false;
  if (!::WriteFile(handle, command.data(), static_cast<DWORD>(command.size()), nullptr,
                   overlapped)) {
    if (::GetLastError() != ERROR_IO_PENDING) {
      return WriteEnd::kGone;
    }
    pending = true;
  }
  DWORD transferred = 0;
  Wait ended = Wait::kReady;
  const bool done = operation.Finish(handle, pending, deadline, cancellation, transferred, ended);
  if (ended == Wait::kCancelled) {
    return WriteEnd::kCancelled;
  }
  if (done && transferred == command.size()) {
    return WriteEnd::kWritten;
  }
  // A device that gets part of a command answers nothing that would be about this one. A
  // write that failed before the deadline met an error of the port: the device has gone.
  return done || ended == Wait::kTimedOut ? WriteEnd::kStalled : WriteEnd::kGone;
}

LineEnd ReadLineUntil(asio::serial_port& port, std::string& received, Deadline deadline,
                      Cancellation& cancellation) {
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
        return LineEnd::kPortGone;
      }
      pending = true;
    }
    DWORD transferred = 0;
    Wait ended = Wait::kReady;
    const bool done = operation.Finish(handle, pending, deadline, cancellation, transferred, ended);
    // What a read cut off by the deadline had transferred came in time and is kept.
    if (transferred > 0) {
      const std::size_t before = received.size();
      received.append(chunk, transferred);
      if (HoldsLineEnd(received, before)) {
        return LineEnd::kComplete;
      }
    }
    if (ended == Wait::kCancelled) {
      return LineEnd::kCancelled;
    }
    if (ended == Wait::kTimedOut || (last_look && done && transferred > 0)) {
      return LineEnd::kTimedOut;
    }
    if (!done || transferred == 0) {
      // With the time-outs Asio gives the port a read waits for its first byte, so an empty
      // one means the line is gone; reading on would only spin.
      return LineEnd::kPortGone;
    }
  }
}

bool CancelledBefore(Deadline deadline, Cancellation& cancellation) {
  return WaitFor(nullptr, deadline, cancellation) == Wait::kCancelled;
}

std::string TakePending(asio::serial_port& port) {
  const HANDLE handle = port.native_handle();
  DWORD errors = 0;
  COMSTAT status{};
  if (!::ClearCommError(handle, &errors, &status) || status.cbInQue == 0) {
    return {};
  }
  // The bytes are there: the read completes at once; a short deadline keeps a surprise short.
  std::string pending(status.cbInQue, '\0');
  Overlapped operation;
  OVERLAPPED* overlapped = operation.Next();
  bool started_pending = false;
  if (!::ReadFile(handle, pending.data(), status.cbInQue, nullptr, overlapped)) {
    if (::GetLastError() != ERROR_IO_PENDING) {
      return {};
    }
    started_pending = true;
  }
  Cancellation never;
  DWORD transferred = 0;
  Wait ended = Wait::kReady;
  operation.Finish(handle, started_pending,
                   std::chrono::steady_clock::now() + std::chrono::milliseconds(50), never,
                   transferred, ended);
  pending.resize(transferred);
  return pending;
}

void PurgeInput(asio::serial_port& port) noexcept {
  ::PurgeComm(port.native_handle(), PURGE_RXCLEAR);
}

ConnectResult OpenRefusal(const std::error_code& error) {
  switch (error.value()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return ConnectResult::NoSuchPort;
    // Windows opens a COM port for one program at a time: another that has it open makes the
    // open fail with access denied.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return ConnectResult::PortBusy;
    // The port's communication settings could not be read or set: no serial device.
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_PARAMETER:
      return ConnectResult::NotASerialPort;
    default:
      return ConnectResult::PortUnavailable;
  }
}

std::string RequestLowLatency(asio::serial_port&) {
  // The latency timer of a USB adapter is a setting of its driver here (the port's advanced
  // properties in the Device Manager), not something a program asks for.
  return "set by the adapter's driver settings";
}

bool PortHasGone(asio::serial_port& port) {
  // An unplugged adapter's handle fails every call with ERROR_ACCESS_DENIED,
  // ERROR_BAD_COMMAND or ERROR_DEVICE_REMOVED; a present port answers.
  DWORD modem = 0;
  return ::GetCommModemStatus(port.native_handle(), &modem) == 0;
}

}  // namespace TORVEK
