#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <asio/io_context.hpp>
#include <asio/serial_port.hpp>

#include "link/Cancellation.h"
#include "link/WireTrace.h"
#include "torvek/AttenuatorHandler.h"

namespace TORVEK {

// Everything behind one AttenuatorHandler: the lock, the open port and the scale between
// degrees and motor steps. The public class holds `mutex` around every call into this object.
class AttenuatorHandlerImpl {
 public:
  AttenuatorHandlerImpl();
  ~AttenuatorHandlerImpl();

  AttenuatorHandlerImpl(const AttenuatorHandlerImpl&) = delete;
  AttenuatorHandlerImpl& operator=(const AttenuatorHandlerImpl&) = delete;

  // Connection (AttenuatorHandlerImpl.cpp).
  bool Connect(const std::string& port_name);
  void Disconnect();

  // The command transaction (Exchange.cpp): one command written, one reply line read.
  // Returns Ok with the line (CR LF included) in `reply`, ReplyTimeout or PortUnavailable.
  int Exchange(const std::string& command, std::string& reply, int timeout_ms);

  // Reply decoders (protocol/Requests.cpp): one Exchange each, then the frame tests.
  // `delivered`, when given, tells whether the expected frame (not a status frame) arrived.
  int RequestStatus(const std::string& command, int timeout_ms);
  int RequestPosition(const std::string& command, int* position, int timeout_ms,
                      bool* delivered = nullptr);
  int RequestHomeOffset(const std::string& command, int* offset, int timeout_ms,
                        bool* delivered = nullptr);
  int RequestInfo(const std::string& command, MotorInfo* info, int timeout_ms,
                  bool* delivered = nullptr);

  // Identification and home offset (protocol/DeviceInfo.cpp).
  int QueryMotorInfo(MotorInfo* info, int timeout_ms, bool* delivered = nullptr);
  int QueryHomeOffset(float* degrees, int timeout_ms);

  // Motion (motion/Motion.cpp). Out-parameters may be null and are written only when a
  // position frame arrived.
  int MoveAbsoluteDegree(float degree, float* after, int timeout_ms);
  int MoveAbsoluteSteps(int steps, int* after, int timeout_ms);
  int GetPositionDegree(float* position, int timeout_ms, bool* delivered = nullptr);
  int GetPositionSteps(int* position, int timeout_ms);
  int HomeMotor(int timeout_ms);
  int OptimizeMotor(int timeout_ms);
  int CleanMechanics(int timeout_ms);
  int StopMotor(int timeout_ms);

  // Closes the port whatever cancel or close report; used where an error must not escape.
  void DisconnectQuietly() noexcept;

  std::mutex mutex;
  // Ends the wait of the call in progress; taken without `mutex`.
  Cancellation cancellation;
  std::unique_ptr<asio::serial_port> port;
  asio::io_context io_context;
  std::int32_t degrees_per_revolution = 360;
  std::int32_t pulses_per_revolution = 143360;
  double degrees_per_pulse = 0.00251116;
  double pulses_per_degree = 143360.0 / 360.0;
  // The wire trace the environment asked for when the handler last connected; null: none.
  std::unique_ptr<WireTrace> trace;
  // Numbers the handler's trace lines; handlers of a process count from 1.
  const unsigned number;

 private:
  // The identification on connect: adopts the device's scale, or closes the port.
  bool IdentifyDevice();
};

// One public call from start to end: the handler's lock, and the call's number for a Cancel.
// Its result goes through Returns, which puts it in the wire trace.
class PublicCall {
 public:
  PublicCall(AttenuatorHandlerImpl& impl, const char* operation)
      : lock_(impl.mutex), impl_(impl), operation_(operation) {
    impl_.cancellation.BeginCall();
  }
  ~PublicCall() { impl_.cancellation.EndCall(); }
  PublicCall(const PublicCall&) = delete;
  PublicCall& operator=(const PublicCall&) = delete;

  AttenuatorStatus Returns(int status) {
    if (impl_.trace) {
      TraceResult(status);
    }
    return static_cast<AttenuatorStatus>(status);
  }
  bool Returns(bool connected) {
    if (impl_.trace) {
      impl_.trace->Line("result", std::string(operation_) + (connected ? ": true" : ": false"));
    }
    return connected;
  }

 private:
  void TraceResult(int status);

  std::lock_guard<std::mutex> lock_;
  AttenuatorHandlerImpl& impl_;
  const char* operation_;
};

}  // namespace TORVEK
