#include <windows.h>

#include <system_error>

#include "link/LineReader.h"

namespace TORVEK {
namespace {

// Whole milliseconds left, rounded up so that the wait never ends before the deadline.
DWORD MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) {
    return 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

class ReadEvent {
 public:
  ReadEvent() : handle_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (handle_ == nullptr) {
      throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                              "CreateEvent");
    }
  }
  ~ReadEvent() { ::CloseHandle(handle_); }
  ReadEvent(const ReadEvent&) = delete;
  ReadEvent& operator=(const ReadEvent&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

LineEnd ReadLineUntil(asio::serial_port& port, std::string& received,
                      std::chrono::steady_clock::time_point deadline) {
  const HANDLE handle = port.native_handle();
  const ReadEvent event;
  char chunk[256];
  for (;;) {
    // Asio opens serial ports for overlapped I/O and ties them to its I/O completion port; the
    // low bit of the event keeps this read's completion off that port, where nobody would
    // collect it.
    OVERLAPPED overlapped{};
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event.get()) | 1);
    bool timed_out = false;
    if (!::ReadFile(handle, chunk, sizeof chunk, nullptr, &overlapped)) {
      if (::GetLastError() != ERROR_IO_PENDING) {
        return LineEnd::kPortFailed;
      }
      const DWORD waited = ::WaitForSingleObject(event.get(), MillisecondsLeft(deadline));
      if (waited != WAIT_OBJECT_0) {
        // The deadline (or a failed wait): end the read, then collect it, since its buffer is
        // about to go. What it had transferred by then came in time and is kept.
        ::CancelIoEx(handle, &overlapped);
        timed_out = true;
      }
    }
    DWORD transferred = 0;
    const bool done = ::GetOverlappedResult(handle, &overlapped, &transferred, TRUE) != 0;
    if (transferred > 0) {
      const std::size_t before = received.size();
      received.append(chunk, transferred);
      if (HoldsLineEnd(received, before)) {
        return LineEnd::kComplete;
      }
    }
    if (timed_out) {
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
