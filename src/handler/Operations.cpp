#include "handler/Operations.h"

#include <algorithm>

#include "handler/PublicCall.h"
#include "link/AttenuatorHandlerImpl.h"
#include "motion/Bounds.h"
#include "motion/Motion.h"
#include "motion/PositionUnits.h"
#include "motion/TransmittanceModel.h"
#include "protocol/DeviceInfo.h"
#include "protocol/Requests.h"

namespace TORVEK {
namespace operations {
namespace {

// The identification window is missed now and then by a host busy with other work; a refused
// or absent port, a cancel and a failed write are answers that another try would only repeat.
bool WorthAnotherTry(ConnectResult result) {
  return result == ConnectResult::NoIdentification || result == ConnectResult::BadIdentification;
}

}  // namespace

ConnectResult Connect(AttenuatorHandlerImpl& impl, const std::string& port_name, int attempts) {
  PublicCall call(impl, "Connect");
  ConnectResult result = ConnectResult::NoIdentification;
  for (int attempt = 0; attempt < std::max(attempts, 1); ++attempt) {
    result = impl.Open(port_name);
    if (result == ConnectResult::Connected) {
      result = IdentifyDevice(impl);
    }
    if (!WorthAnotherTry(result)) {
      break;
    }
  }
  return call.Returns(result);
}

void Disconnect(AttenuatorHandlerImpl& impl) {
  std::lock_guard<std::mutex> lock(impl.mutex);
  impl.Disconnect();
}

void Close(AttenuatorHandlerImpl& impl) noexcept {
  std::lock_guard<std::mutex> lock(impl.mutex);
  impl.DisconnectQuietly();
}

int CheckPort(AttenuatorHandlerImpl& impl) {
  std::unique_lock<std::mutex> lock(impl.mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    return Ok;  // a call holds the port: it finds out itself, at once, if the port has gone
  }
  return impl.CheckPortGone() ? PortUnavailable : Ok;
}

int GetScale(AttenuatorHandlerImpl& impl, std::int32_t* degrees_per_revolution,
             std::int32_t* steps_per_revolution) {
  if (degrees_per_revolution == nullptr || steps_per_revolution == nullptr) {
    return InvalidArgument;
  }
  const std::lock_guard<std::mutex> lock(impl.mutex);
  if (!impl.port || !impl.port->is_open()) {
    return PortUnavailable;
  }
  *degrees_per_revolution = impl.degrees_per_revolution;
  *steps_per_revolution = impl.pulses_per_revolution;
  return Ok;
}

int GetCurrentStatus(AttenuatorHandlerImpl& impl, int timeout_ms) {
  PublicCall call(impl, "GetCurrentStatus");
  return call.Returns(RequestStatus(impl, "0gs", timeout_ms));
}

int GetMotorInfo(AttenuatorHandlerImpl& impl, DeviceRecord* record, int timeout_ms) {
  PublicCall call(impl, "GetMotorInfo");
  const int half = timeout_ms / 2;
  DeviceRecord read;
  const DecodedReply info = QueryIdentification(impl, &read.identification, half);
  read.identified = info.delivered;
  read.identification_status = info.status;
  std::int32_t offset_steps = 0;
  const DecodedReply offset = QueryHomeOffset(impl, &offset_steps, half);
  read.offset_read = offset.delivered;
  if (offset.delivered) {
    // At the scale adopted when the device connected.
    read.home_offset_degrees = DegreesForSteps(offset_steps, impl.pulses_per_degree);
  }
  read.offset_status = offset.status;
  if (record != nullptr) {
    *record = read;
  }
  return call.Returns(MergedInfoResult(info.status, offset.status));
}

int SetMotorSteps(AttenuatorHandlerImpl& impl, int steps, int timeout_ms) {
  PublicCall call(impl, "SetMotorSteps");
  if (!StepsAccepted(steps)) {
    return call.Returns(InvalidArgument);
  }
  return call.Returns(MoveAbsoluteSteps(impl, steps, timeout_ms).status);
}

DecodedReply GetMotorSteps(AttenuatorHandlerImpl& impl, std::int32_t* steps, int timeout_ms) {
  PublicCall call(impl, "GetMotorSteps");
  const DecodedReply reply = GetPositionSteps(impl, steps, timeout_ms);
  call.Returns(reply.status);
  return reply;
}

int SetMotorDegree(AttenuatorHandlerImpl& impl, float degree, int timeout_ms) {
  PublicCall call(impl, "SetMotorDegree");
  if (!DegreesAccepted(static_cast<double>(degree))) {
    return call.Returns(InvalidArgument);
  }
  return call.Returns(MoveAbsoluteDegree(impl, degree, nullptr, timeout_ms).status);
}

DecodedReply GetMotorDegree(AttenuatorHandlerImpl& impl, float* degree, int timeout_ms) {
  PublicCall call(impl, "GetMotorDegree");
  const DecodedReply reply = GetPositionDegree(impl, degree, timeout_ms);
  call.Returns(reply.status);
  return reply;
}

int MechanicalCalibration(AttenuatorHandlerImpl& impl, int timeout_ms) {
  PublicCall call(impl, "MechanicalCalibration");
  return call.Returns(HomeMotor(impl, timeout_ms));
}

int StartOptimization(AttenuatorHandlerImpl& impl, int timeout_ms) {
  PublicCall call(impl, "StartOptimization");
  return call.Returns(OptimizeMotor(impl, timeout_ms));
}

int StartCleaningMechanics(AttenuatorHandlerImpl& impl, int timeout_ms) {
  PublicCall call(impl, "StartCleaningMechanics");
  return call.Returns(CleanMechanics(impl, timeout_ms));
}

int Stop(AttenuatorHandlerImpl& impl, int timeout_ms) {
  PublicCall call(impl, "Stop");
  return call.Returns(StopMotor(impl, timeout_ms));
}

int SetTransmittance(AttenuatorHandlerImpl& impl, float transmittance, double min_angle,
                     double angle_span, int timeout_ms) {
  PublicCall call(impl, "SetTransmittance");
  if (!TransmittanceAccepted(static_cast<double>(transmittance)) ||
      !ModelAccepted(min_angle, angle_span)) {
    return call.Returns(InvalidArgument);
  }
  const std::optional<float> angle = AngleForTransmittance(transmittance, min_angle, angle_span);
  if (!angle) {
    return call.Returns(InvalidArgument);
  }
  float after_position = 0.0f;
  return call.Returns(MoveAbsoluteDegree(impl, *angle, &after_position, timeout_ms).status);
}

DecodedReply GetTransmittance(AttenuatorHandlerImpl& impl, float* transmittance, double min_angle,
                              double angle_span, int timeout_ms) {
  PublicCall call(impl, "GetTransmittance");
  if (transmittance == nullptr || !ModelAccepted(min_angle, angle_span)) {
    return DecodedReply{call.Returns(InvalidArgument), false};
  }
  float angle = 0.0f;
  const DecodedReply reply = GetPositionDegree(impl, &angle, timeout_ms);
  if (reply.delivered) {
    *transmittance = TransmittanceAtAngle(angle, min_angle, angle_span);
  }
  call.Returns(reply.status);
  return reply;
}

}  // namespace operations
}  // namespace TORVEK
