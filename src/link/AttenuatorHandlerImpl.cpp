#include "link/AttenuatorHandlerImpl.h"

#include <system_error>
#include <utility>

namespace TORVEK {

AttenuatorHandlerImpl::~AttenuatorHandlerImpl() {
  // The port object must go before the io_context it was created on, which as a later
  // member would otherwise be destroyed first.
  port.reset();
}

bool AttenuatorHandlerImpl::Connect(const std::string& port_name) {
  // The system reads a name up to its first NUL: "/dev/ttyS0\0x" would open /dev/ttyS0, a port
  // the caller did not name.
  if (port_name.find('\0') != std::string::npos) {
    return false;
  }
  try {
    asio::serial_port opened(io_context, port_name.c_str());
    // Replacing `port` closes an earlier device only now that the new one is open.
    port = std::make_unique<asio::serial_port>(std::move(opened));
  } catch (const std::system_error& err) {
    return false;
  }

  try {
    port->set_option(asio::serial_port_base::baud_rate(9600));
    port->set_option(asio::serial_port_base::character_size(8));
    port->set_option(asio::serial_port_base::stop_bits(asio::serial_port_base::stop_bits::one));
    port->set_option(asio::serial_port_base::parity(asio::serial_port_base::parity::none));
  } catch (const std::system_error&) {
    // A port that refuses 9600 8N1 cannot talk to the device: do not leave it half set up.
    DisconnectQuietly();
    return false;
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
