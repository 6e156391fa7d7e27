#include "torvek/AttenuatorHandler.h"

#include "handler/Operations.h"
#include "link/AttenuatorHandlerImpl.h"
#include "protocol/DeviceInfo.h"

// The C++ front: each member hands its arguments to the operation of the same name and its
// result back unchanged.

namespace TORVEK {

AttenuatorHandler::AttenuatorHandler() : impl(std::make_unique<AttenuatorHandlerImpl>()) {}

AttenuatorHandler::~AttenuatorHandler() {
  operations::Close(*impl);
  impl.reset();
}

bool AttenuatorHandler::Connect(const std::string& port_name) {
  return operations::Connect(*impl, port_name, 1) == ConnectResult::Connected;
}

ConnectResult AttenuatorHandler::Connect(const std::string& port_name, int attempts) {
  return operations::Connect(*impl, port_name, attempts);
}

void AttenuatorHandler::Disconnect() {
  operations::Disconnect(*impl);
}

void AttenuatorHandler::Cancel() noexcept {
  impl->cancellation.Request();
}

AttenuatorStatus AttenuatorHandler::CheckPort() {
  return static_cast<AttenuatorStatus>(operations::CheckPort(*impl));
}

AttenuatorStatus AttenuatorHandler::GetScale(std::int32_t* degrees_per_revolution,
                                             std::int32_t* steps_per_revolution) {
  return static_cast<AttenuatorStatus>(
      operations::GetScale(*impl, degrees_per_revolution, steps_per_revolution));
}

AttenuatorStatus AttenuatorHandler::GetCurrentStatus(int timeout_ms) {
  return static_cast<AttenuatorStatus>(operations::GetCurrentStatus(*impl, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::GetMotorInfo(MotorInfo* info, int timeout_ms) {
  DeviceRecord record;
  const int result = operations::GetMotorInfo(*impl, &record, timeout_ms);
  if (info != nullptr) {
    if (record.identified) {
      const Identification& id = record.identification;
      info->ident_a = id.ident_a;
      info->ident_b = id.ident_b;
      info->degrees_per_revolution_text = std::to_string(id.degrees_per_revolution);
      info->pulses_per_revolution_text = std::to_string(id.pulses_per_revolution);
      info->ident_c = id.ident_c;
      info->ident_d = id.ident_d;
    }
    // Written whatever came: "0.000000" when no home offset arrived.
    info->home_offset_text = HomeOffsetText(record.offset_read ? record.home_offset_degrees : 0.0f);
  }
  return static_cast<AttenuatorStatus>(result);
}

AttenuatorStatus AttenuatorHandler::SetMotorSteps(int steps, int timeout_ms) {
  return static_cast<AttenuatorStatus>(operations::SetMotorSteps(*impl, steps, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::GetMotorSteps(int* steps, int timeout_ms) {
  return static_cast<AttenuatorStatus>(operations::GetMotorSteps(*impl, steps, timeout_ms).status);
}

AttenuatorStatus AttenuatorHandler::SetMotorDegree(float degree, int timeout_ms) {
  return static_cast<AttenuatorStatus>(operations::SetMotorDegree(*impl, degree, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::GetMotorDegree(float* degree, int timeout_ms) {
  return static_cast<AttenuatorStatus>(
      operations::GetMotorDegree(*impl, degree, timeout_ms).status);
}

AttenuatorStatus AttenuatorHandler::MechanicalCalibration(int timeout_ms) {
  return static_cast<AttenuatorStatus>(operations::MechanicalCalibration(*impl, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::StartOptimization(int timeout_ms) {
  return static_cast<AttenuatorStatus>(operations::StartOptimization(*impl, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::StartCleaningMechanics(int timeout_ms) {
  return static_cast<AttenuatorStatus>(operations::StartCleaningMechanics(*impl, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::Stop(int timeout_ms) {
  return static_cast<AttenuatorStatus>(operations::Stop(*impl, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::SetTransmittance(float transmittance, double min_angle,
                                                     double angle_span, int timeout_ms) {
  return static_cast<AttenuatorStatus>(
      operations::SetTransmittance(*impl, transmittance, min_angle, angle_span, timeout_ms));
}

AttenuatorStatus AttenuatorHandler::GetTransmittance(float* transmittance, double min_angle,
                                                     double angle_span, int timeout_ms) {
  return static_cast<AttenuatorStatus>(
      operations::GetTransmittance(*impl, transmittance, min_angle, angle_span, timeout_ms).status);
}

const char* LibraryVersion() {
  return TORVEK_ATTENUATOR_VERSION;
}

}  // namespace TORVEK
