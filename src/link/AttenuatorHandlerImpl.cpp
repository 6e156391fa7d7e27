#include "link/AttenuatorHandlerImpl.h"

#include <atomic>
#include <system_error>
#include <utility>

#include "link/PortList.h"
#include "link/SerialIo.h"

namespace TORVEK {
namespace {

std::atomic<unsigned> g_handlers{0};

}  // namespace

AttenuatorHandlerImpl::AttenuatorHandlerImpl() : number(++g_handlers) {}

AttenuatorHandlerImpl::~AttenuatorHandlerImpl() {
  // The port object must go before the io_context it was created on, which as a later
  // member would otherwise be destroyed first.
  port.reset();
}

ConnectResult AttenuatorHandlerImpl::Open(const std::string& port_name) {
  trace = WireTrace::FromEnvironment(number);
  // The system reads a name up to its first NUL: "/dev/ttyS0\0x" would open /dev/ttyS0, a port
  // the caller did not name.
  if (port_name.find('\0') != std::string::npos) {
    if (trace) {
      trace->Line("open", "a port name with a NUL inside: not opened");
    }
    return ConnectResult::NoSuchPort;
  }
  // A stable identity (usb:VID:PID[:SERIAL]) names whatever node its adapter has now.
  std::string path;
  const ConnectResult resolved = ResolvePortName(port_name, &path);
  if (resolved != ConnectResult::Connected) {
    if (trace) {
      trace->Line("open", port_name + ": " +
                              (resolved == ConnectResult::AmbiguousPort ? "more than one port"
                                                                        : "no port") +
                              " has that identity");
    }
    return resolved;
  }
  if (trace && path != port_name) {
    trace->Line("open", port_name + " is " + path);
  }
  try {
    asio::serial_port opened(io_context, path.c_str());
    // Replacing `port` closes an earlier device only now that the new one is open.
    port = std::make_unique<asio::serial_port>(std::move(opened));
    unanswered.clear();
  } catch (const std::system_error& err) {
    if (trace) {
      trace->Line("open", path + ": cannot open: " + err.code().message());
    }
    return OpenRefusal(err.code());
  }

  try {
    port->set_option(asio::serial_port_base::baud_rate(9600));
    port->set_option(asio::serial_port_base::character_size(8));
    port->set_option(asio::serial_port_base::stop_bits(asio::serial_port_base::stop_bits::one));
    port->set_option(asio::serial_port_base::parity(asio::serial_port_base::parity::none));
  } catch (const std::system_error&) {
    // A port that refuses 9600 8N1 cannot talk to the device: do not leave it half set up.
    if (trace) {
      trace->Line("open", path + ": 9600 8N1 refused; closed");
    }
    DisconnectQuietly();
    return ConnectResult::NotASerialPort;
  }
  const std::string latency = RequestLowLatency(*port);
  if (trace) {
    trace->Line("open", path + ": 9600 8N1, low latency " + latency);
  }
  return ConnectResult::Connected;
}

bool AttenuatorHandlerImpl::CheckPortGone() {
  if (!port) {
    return true;
  }
  if (!PortHasGone(*port)) {
    return false;
  }
  PortGone("check");
  return true;
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
