#include "torvek/AttenuatorHandler.h"

#include <cmath>
#include <mutex>

#include "link/AttenuatorHandlerImpl.h"
#include "motion/TransmittanceModel.h"
#include "protocol/DeviceInfo.h"

// Every public operation: take the lock for the whole call, check the arguments (a failed
// check sends nothing), call the implementation, return its result unchanged.

namespace TORVEK {
namespace {

// Fixed bounds of the public moves; they do not follow the scale the device reports.
constexpr int kMaxSteps = 143360;
constexpr double kMaxDegrees = 360.0;
// The smallest transmittance span taken, in degrees. Below it no mount can resolve the model,
// and far below it pi / span times an angle overflows: the transmittance would not be a
// number, and a call must never deliver NaN with Ok.
constexpr double kMinSpanDegrees = 1e-9;

bool IsNumber(double value) {
  return std::isfinite(value);
}

// The checks shared by both transmittance operations. A NaN passes every comparison and a
// zero or vanishing span makes the model meaningless, so both are refused before the ordinary
// bounds.
bool ModelAccepted(double min_angle, double angle_span) {
  if (!IsNumber(min_angle) || !IsNumber(angle_span) || std::fabs(angle_span) < kMinSpanDegrees) {
    return false;
  }
  return !(min_angle <= -kMaxDegrees) && !(min_angle + angle_span >= kMaxDegrees);
}

}  // namespace

AttenuatorHandler::AttenuatorHandler() : impl(std::make_unique<AttenuatorHandlerImpl>()) {}

AttenuatorHandler::~AttenuatorHandler() {
  {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->DisconnectQuietly();
  }
  impl.reset();
}

bool AttenuatorHandler::Connect(const std::string& port_name) {
  PublicCall call(*impl, "Connect");
  return call.Returns(impl->Connect(port_name));
}

void AttenuatorHandler::Disconnect() {
  std::lock_guard<std::mutex> lock(impl->mutex);
  impl->Disconnect();
}

void AttenuatorHandler::Cancel() noexcept {
  impl->cancellation.Request();
}

AttenuatorStatus AttenuatorHandler::GetCurrentStatus(int timeout_ms) {
  PublicCall call(*impl, "GetCurrentStatus");
  return call.Returns(impl->RequestStatus("0gs", timeout_ms));
}

AttenuatorStatus AttenuatorHandler::GetMotorInfo(MotorInfo* info, int timeout_ms) {
  PublicCall call(*impl, "GetMotorInfo");
  const int half = timeout_ms / 2;
  const int info_result = impl->QueryMotorInfo(info, half);
  float home_offset = 0.0f;
  const int offset_result = impl->QueryHomeOffset(&home_offset, half);
  if (info != nullptr) {
    info->home_offset_text = HomeOffsetText(home_offset);
  }
  return call.Returns(MergedInfoResult(info_result, offset_result));
}

AttenuatorStatus AttenuatorHandler::SetMotorSteps(int steps, int timeout_ms) {
  PublicCall call(*impl, "SetMotorSteps");
  if (steps < -kMaxSteps || steps > kMaxSteps) {
    return call.Returns(InvalidArgument);
  }
  int after_position = 0;
  return call.Returns(impl->MoveAbsoluteSteps(steps, &after_position, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::GetMotorSteps(int* steps, int timeout_ms) {
  PublicCall call(*impl, "GetMotorSteps");
  return call.Returns(impl->GetPositionSteps(steps, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::SetMotorDegree(float degree, int timeout_ms) {
  PublicCall call(*impl, "SetMotorDegree");
  const double wanted = static_cast<double>(degree);
  if (!IsNumber(wanted) || !(wanted > -kMaxDegrees && wanted < kMaxDegrees)) {
    return call.Returns(InvalidArgument);
  }
  return call.Returns(impl->MoveAbsoluteDegree(degree, nullptr, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::GetMotorDegree(float* degree, int timeout_ms) {
  PublicCall call(*impl, "GetMotorDegree");
  return call.Returns(impl->GetPositionDegree(degree, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::MechanicalCalibration(int timeout_ms) {
  PublicCall call(*impl, "MechanicalCalibration");
  return call.Returns(impl->HomeMotor(timeout_ms));
}

AttenuatorStatus AttenuatorHandler::StartOptimization(int timeout_ms) {
  PublicCall call(*impl, "StartOptimization");
  return call.Returns(impl->OptimizeMotor(timeout_ms));
}

AttenuatorStatus AttenuatorHandler::StartCleaningMechanics(int timeout_ms) {
  PublicCall call(*impl, "StartCleaningMechanics");
  return call.Returns(impl->CleanMechanics(timeout_ms));
}

AttenuatorStatus AttenuatorHandler::Stop(int timeout_ms) {
  PublicCall call(*impl, "Stop");
  return call.Returns(impl->StopMotor(timeout_ms));
}

AttenuatorStatus AttenuatorHandler::SetTransmittance(float transmittance, double min_angle,
                                                     double angle_span, int timeout_ms) {
  PublicCall call(*impl, "SetTransmittance");
  if (!IsNumber(transmittance) || transmittance < 0.0f || transmittance > 1.0f ||
      !ModelAccepted(min_angle, angle_span)) {
    return call.Returns(InvalidArgument);
  }
  const std::optional<float> angle = AngleForTransmittance(transmittance, min_angle, angle_span);
  if (!angle) {
    return call.Returns(InvalidArgument);
  }
  float after_position = 0.0f;
  return call.Returns(impl->MoveAbsoluteDegree(*angle, &after_position, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::GetTransmittance(float* transmittance, double min_angle,
                                                     double angle_span, int timeout_ms) {
  PublicCall call(*impl, "GetTransmittance");
  if (transmittance == nullptr || !ModelAccepted(min_angle, angle_span)) {
    return call.Returns(InvalidArgument);
  }
  float curr_angle = 0.0f;
  bool delivered = false;
  const int result = impl->GetPositionDegree(&curr_angle, timeout_ms, &delivered);
  if (delivered) {
    *transmittance = TransmittanceAtAngle(curr_angle, min_angle, angle_span);
  }
  return call.Returns(result);
}

const char* LibraryVersion() {
  return TORVEK_ATTENUATOR_VERSION;
}

}  // namespace TORVEK
