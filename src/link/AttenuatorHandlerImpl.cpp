#include "link/AttenuatorHandlerImpl.h"

#include <atomic>
#include <cstring>
#include <system_error>
#include <utility>

#include "torvek/attenuator.h"

namespace TORVEK {
namespace {

std::atomic<unsigned> g_handlers{0};

}  // namespace

AttenuatorHandlerImpl::AttenuatorHandlerImpl() : number(++g_handlers) {}

void PublicCall::TraceResult(int status) {
  std::string text = std::string(operation_) + ": " + torvek_att_status_name(status);
  if (status > 0) {
    text += " " + std::to_string(status);
  }
  impl_.trace->Line("result", text);
}

AttenuatorHandlerImpl::~AttenuatorHandlerImpl() {
  // The port object must go before the io_context it was created on, which as a later
  // member would otherwise be destroyed first.
  port.reset();
}

bool AttenuatorHandlerImpl::Connect(const std::string& port_name) {
  // The system reads a name up to its first NUL: "/dev/ttyS0\0x" would open /dev/ttyS0, a port
  // the caller did not name.
  trace = WireTrace::FromEnvironment(number);
  if (port_name.find('\0') != std::string::npos) {
    if (trace) {
      trace->Line("open", "a port name with a NUL inside: not opened");
    }
    return false;
  }
  try {
    asio::serial_port opened(io_context, port_name.c_str());
    // Replacing `port` closes an earlier device only now that the new one is open.
    port = std::make_unique<asio::serial_port>(std::move(opened));
  } catch (const std::system_error& err) {
    if (trace) {
      trace->Line("open", port_name + ": cannot open: " + err.code().message());
    }
    return false;
  }

  try {
    port->set_option(asio::serial_port_base::baud_rate(9600));
    port->set_option(asio::serial_port_base::character_size(8));
    port->set_option(asio::serial_port_base::stop_bits(asio::serial_port_base::stop_bits::one));
    port->set_option(asio::serial_port_base::parity(asio::serial_port_base::parity::none));
  } catch (const std::system_error&) {
    // A port that refuses 9600 8N1 cannot talk to the device: do not leave it half set up.
    if (trace) {
      trace->Line("open", port_name + ": 9600 8N1 refused; closed");
    }
    DisconnectQuietly();
    return false;
  }
  if (trace) {
    trace->Line("open", port_name + ": 9600 8N1");
  }
  return IdentifyDevice();
}

void AttenuatorHandlerImpl::Disconnect() {
  if (!port) {
    return;
  }
  port->cancel();
  port->close();
  port.reset();
  io_context.stop();
  io_context.restart();
}

void AttenuatorHandlerImpl::DisconnectQuietly() noexcept {
  if (!port) {
    return;
  }
  std::error_code ignored;
  port->cancel(ignored);
  port->close(ignored);
  port.reset();
  io_context.stop();
  io_context.restart();
}

}  // namespace TORVEK
