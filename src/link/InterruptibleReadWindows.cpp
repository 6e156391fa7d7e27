#include <windows.h>

#include <algorithm>
#include <system_error>

#include <asio/read_until.hpp>

#include "link/InterruptibleRead.h"

namespace TORVEK {
namespace {

std::error_code SystemError(DWORD error) {
  return std::error_code(static_cast<int>(error), asio::error::get_system_category());
}

HANDLE CreateManualResetEvent() {
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    throw std::system_error(SystemError(::GetLastError()), "CreateEvent");
  }
  return event;
}

// What asio::read_until reads from: one overlapped read of the port at a time (Asio opens
// serial ports for overlapped I/O), waited for together with the cancel event. A read that the
// cancel event ends is cancelled and waited for before its buffer goes; it reports
// operation_aborted.
class CancellablePort {
 public:
  CancellablePort(HANDLE port, HANDLE read_event, HANDLE cancel_event)
      : port_(port), read_event_(read_event), cancel_event_(cancel_event) {}

  template <typename MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers, std::error_code& ec) {
    const asio::mutable_buffer buffer = *asio::buffer_sequence_begin(buffers);
    if (::WaitForSingleObject(cancel_event_, 0) == WAIT_OBJECT_0) {
      ec = asio::error::operation_aborted;
      return 0;
    }

    OVERLAPPED overlapped{};
    // Asio has tied the port to its I/O completion port. The low bit keeps this read's
    // completion off it: nobody would ever collect it there.
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(read_event_) | 1);
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    if (!::ReadFile(port_, buffer.data(), size, nullptr, &overlapped)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_IO_PENDING) {
        ec = SystemError(error);
        return 0;
      }
      const HANDLE events[2] = {read_event_, cancel_event_};
      if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        // Cancelled (or the wait itself failed). ERROR_NOT_FOUND: the read has just completed.
        ::CancelIoEx(port_, &overlapped);
      }
    }

    DWORD transferred = 0;
    if (!::GetOverlappedResult(port_, &overlapped, &transferred, TRUE)) {
      const DWORD error = ::GetLastError();
      ec = error == ERROR_OPERATION_ABORTED ? asio::error::operation_aborted : SystemError(error);
      return 0;
    }
    if (transferred == 0) {
      // With the time-outs Asio gives the port a read waits for its first byte, so an empty
      // one means the line is gone; reading on would only spin.
      ec = asio::error::eof;
      return 0;
    }
    ec = std::error_code();
    return transferred;
  }

 private:
  HANDLE port_;
  HANDLE read_event_;
  HANDLE cancel_event_;
};

}  // namespace

InterruptibleRead::InterruptibleRead(asio::serial_port& port) : port_(port) {
  cancel_event_ = CreateManualResetEvent();
  try {
    read_event_ = CreateManualResetEvent();
  } catch (...) {
    ::CloseHandle(cancel_event_);
    throw;
  }
}

InterruptibleRead::~InterruptibleRead() {
  ::CloseHandle(read_event_);
  ::CloseHandle(cancel_event_);
}

void InterruptibleRead::ReadLine(asio::streambuf& received) noexcept {
  CancellablePort source(port_.native_handle(), read_event_, cancel_event_);
  std::error_code ec;
  asio::read_until(source, received, "\r\n", ec);
}

void InterruptibleRead::Cancel() noexcept {
  ::SetEvent(cancel_event_);
}

void PurgeInput(asio::serial_port& port) noexcept {
  ::PurgeComm(port.native_handle(), PURGE_RXCLEAR);
}

}  // namespace TORVEK
