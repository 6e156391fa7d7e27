#pragma once

#include <cstdint>
#include <string>

#include "protocol/ReplyFrames.h"
#include "torvek/AttenuatorHandler.h"

// The public operations, once for both fronts: the C++ class and the C interface. Each follows
// the per-call rule: take the handler's lock for the whole call, check the arguments (a failed
// check sends nothing), call the protocol or the motion, and return the result unchanged. The
// C++ class hands on `status`; the C interface also tells a value from a status frame of code
// 0 by `delivered`.

namespace TORVEK {

class AttenuatorHandlerImpl;

// What GetMotorInfo learnt: each part with whether it arrived.
struct DeviceRecord {
  Identification identification;
  bool identified = false;
  int identification_status = Ok;
  float home_offset_degrees = 0.0f;
  bool offset_read = false;
  int offset_status = Ok;

  // A status frame of code 0 came in place of one of the frames.
  bool StatusZeroInstead() const {
    return (identification_status == Ok && !identified) || (offset_status == Ok && !offset_read);
  }
};

namespace operations {

ConnectResult Connect(AttenuatorHandlerImpl& impl, const std::string& port_name, int attempts);
void Disconnect(AttenuatorHandlerImpl& impl);
// The destructor's disconnect: never throws.
void Close(AttenuatorHandlerImpl& impl) noexcept;
// Whether the port has gone, without I/O; a call in progress is left to find out itself.
int CheckPort(AttenuatorHandlerImpl& impl);
int GetScale(AttenuatorHandlerImpl& impl, std::int32_t* degrees_per_revolution,
             std::int32_t* steps_per_revolution);

int GetCurrentStatus(AttenuatorHandlerImpl& impl, int timeout_ms);
// `record` may be null. Result as MergedInfoResult.
int GetMotorInfo(AttenuatorHandlerImpl& impl, DeviceRecord* record, int timeout_ms);
int SetMotorSteps(AttenuatorHandlerImpl& impl, int steps, int timeout_ms);
DecodedReply GetMotorSteps(AttenuatorHandlerImpl& impl, std::int32_t* steps, int timeout_ms);
int SetMotorDegree(AttenuatorHandlerImpl& impl, float degree, int timeout_ms);
DecodedReply GetMotorDegree(AttenuatorHandlerImpl& impl, float* degree, int timeout_ms);
int MechanicalCalibration(AttenuatorHandlerImpl& impl, int timeout_ms);
int StartOptimization(AttenuatorHandlerImpl& impl, int timeout_ms);
int StartCleaningMechanics(AttenuatorHandlerImpl& impl, int timeout_ms);
int Stop(AttenuatorHandlerImpl& impl, int timeout_ms);
int SetTransmittance(AttenuatorHandlerImpl& impl, float transmittance, double min_angle,
                     double angle_span, int timeout_ms);
// `transmittance` must not be null (InvalidArgument).
DecodedReply GetTransmittance(AttenuatorHandlerImpl& impl, float* transmittance, double min_angle,
                              double angle_span, int timeout_ms);

}  // namespace operations
}  // namespace TORVEK
