#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "handler/Operations.h"
#include "handler/StatusText.h"
#include "link/AttenuatorHandlerImpl.h"
#include "motion/Bounds.h"
#include "motion/TransmittanceModel.h"
#include "protocol/DeviceInfo.h"
#include "torvek/AttenuatorHandler.h"
#include "torvek/attenuator.h"

// The C front over the same operations as the C++ class. Every function refuses a null handle
// and turns anything thrown into TORVEK_ATT_INTERNAL_ERROR: an exception unwinding into a C
// caller's frames is undefined behaviour, in practice a crash of the host. A read that got a
// status frame of code 0 in place of its value says so (TORVEK_ATT_NO_VALUE), where the C++
// class gives Ok with the output untouched.

struct torvek_att_handle {
  TORVEK::AttenuatorHandlerImpl impl;
};

namespace {

using TORVEK::AttenuatorHandlerImpl;
namespace operations = TORVEK::operations;

static_assert(sizeof(int) == sizeof(std::int32_t),
              "the operations take int where the C interface promises int32_t");
static_assert(TORVEK_ATT_MAX_STEPS == TORVEK::kMaxSteps);
static_assert(TORVEK_ATT_MAX_DEGREES == TORVEK::kMaxDegrees);
static_assert(TORVEK_ATT_MIN_SPAN == TORVEK::kMinSpanDegrees);

template <typename Call>
std::int32_t Guarded(torvek_att_handle* handle, Call&& call) noexcept {
  if (handle == nullptr) {
    return TORVEK_ATT_INVALID_ARGUMENT;
  }
  try {
    return static_cast<std::int32_t>(call(handle->impl));
  } catch (...) {
    return TORVEK_ATT_INTERNAL_ERROR;
  }
}

// A read's result: a status frame of code 0 delivers nothing, and says so.
std::int32_t ValueResult(const TORVEK::DecodedReply& reply) {
  return reply.status == TORVEK_ATT_OK && !reply.delivered ? TORVEK_ATT_NO_VALUE : reply.status;
}

std::int32_t RecordResult(int merged, const TORVEK::DeviceRecord& record) {
  return merged == TORVEK_ATT_OK && record.StatusZeroInstead() ? TORVEK_ATT_NO_VALUE : merged;
}

template <std::size_t N>
void CopyText(char (&to)[N], const std::string& from) {
  const std::size_t length = std::min(from.size(), N - 1);
  std::memcpy(to, from.data(), length);
  to[length] = '\0';
}

}  // namespace

extern "C" {

torvek_att_handle* torvek_att_create(void) {
  try {
    return new torvek_att_handle;
  } catch (...) {
    return nullptr;
  }
}

void torvek_att_destroy(torvek_att_handle* handle) {
  if (handle != nullptr) {
    operations::Close(handle->impl);
    delete handle;
  }
}

int32_t torvek_att_connect(torvek_att_handle* handle, const char* port_name) {
  return torvek_att_connect_with_attempts(handle, port_name, 1);
}

int32_t torvek_att_connect_with_attempts(torvek_att_handle* handle, const char* port_name,
                                         int32_t attempts) {
  if (port_name == nullptr) {
    return TORVEK_ATT_INVALID_ARGUMENT;
  }
  return Guarded(handle, [port_name, attempts](AttenuatorHandlerImpl& impl) {
    return operations::Connect(impl, port_name, attempts);
  });
}

int32_t torvek_att_check_port(torvek_att_handle* handle) {
  return Guarded(handle, [](AttenuatorHandlerImpl& impl) { return operations::CheckPort(impl); });
}

int32_t torvek_att_get_scale(torvek_att_handle* handle, int32_t* degrees_per_revolution,
                             int32_t* steps_per_revolution) {
  return Guarded(handle,
                 [degrees_per_revolution, steps_per_revolution](AttenuatorHandlerImpl& impl) {
                   return operations::GetScale(impl, degrees_per_revolution, steps_per_revolution);
                 });
}

int32_t torvek_att_disconnect(torvek_att_handle* handle) {
  return Guarded(handle, [](AttenuatorHandlerImpl& impl) {
    operations::Disconnect(impl);
    return TORVEK_ATT_OK;
  });
}

int32_t torvek_att_cancel(torvek_att_handle* handle) {
  // No Guarded here: a cancel throws nothing, and a signal handler may be the caller.
  if (handle == nullptr) {
    return TORVEK_ATT_INVALID_ARGUMENT;
  }
  handle->impl.cancellation.Request();
  return TORVEK_ATT_OK;
}

int32_t torvek_att_get_current_status(torvek_att_handle* handle, int32_t timeout_ms) {
  return Guarded(handle, [timeout_ms](AttenuatorHandlerImpl& impl) {
    return operations::GetCurrentStatus(impl, timeout_ms);
  });
}

int32_t torvek_att_get_motor_info(torvek_att_handle* handle, torvek_att_motor_info* info,
                                  int32_t timeout_ms) {
  return Guarded(handle, [info, timeout_ms](AttenuatorHandlerImpl& impl) {
    TORVEK::DeviceRecord record;
    const int merged = operations::GetMotorInfo(impl, &record, timeout_ms);
    if (info != nullptr) {
      if (record.identified) {
        const TORVEK::Identification& id = record.identification;
        CopyText(info->ident_a, id.ident_a);
        CopyText(info->ident_b, id.ident_b);
        CopyText(info->degrees_per_revolution_text, std::to_string(id.degrees_per_revolution));
        CopyText(info->pulses_per_revolution_text, std::to_string(id.pulses_per_revolution));
        CopyText(info->ident_c, id.ident_c);
        CopyText(info->ident_d, id.ident_d);
      }
      CopyText(info->home_offset_text,
               TORVEK::HomeOffsetText(record.offset_read ? record.home_offset_degrees : 0.0f));
    }
    return RecordResult(merged, record);
  });
}

int32_t torvek_att_get_identification(torvek_att_handle* handle, torvek_att_identification* ident,
                                      int32_t timeout_ms) {
  if (ident == nullptr) {
    return TORVEK_ATT_INVALID_ARGUMENT;
  }
  return Guarded(handle, [ident, timeout_ms](AttenuatorHandlerImpl& impl) {
    TORVEK::DeviceRecord record;
    const int merged = operations::GetMotorInfo(impl, &record, timeout_ms);
    if (record.identified) {
      const TORVEK::Identification& id = record.identification;
      CopyText(ident->ident_a, id.ident_a);
      CopyText(ident->ident_b, id.ident_b);
      CopyText(ident->ident_c, id.ident_c);
      CopyText(ident->ident_d, id.ident_d);
      ident->degrees_per_revolution = id.degrees_per_revolution;
      ident->steps_per_revolution = id.pulses_per_revolution;
    }
    if (record.offset_read) {
      ident->home_offset_deg = static_cast<double>(record.home_offset_degrees);
    }
    return RecordResult(merged, record);
  });
}

int32_t torvek_att_set_motor_steps(torvek_att_handle* handle, int32_t steps, int32_t timeout_ms) {
  return Guarded(handle, [steps, timeout_ms](AttenuatorHandlerImpl& impl) {
    return operations::SetMotorSteps(impl, steps, timeout_ms);
  });
}

int32_t torvek_att_get_motor_steps(torvek_att_handle* handle, int32_t* steps, int32_t timeout_ms) {
  return Guarded(handle, [steps, timeout_ms](AttenuatorHandlerImpl& impl) {
    return ValueResult(operations::GetMotorSteps(impl, steps, timeout_ms));
  });
}

int32_t torvek_att_set_motor_degree(torvek_att_handle* handle, float degree, int32_t timeout_ms) {
  return Guarded(handle, [degree, timeout_ms](AttenuatorHandlerImpl& impl) {
    return operations::SetMotorDegree(impl, degree, timeout_ms);
  });
}

int32_t torvek_att_get_motor_degree(torvek_att_handle* handle, float* degree, int32_t timeout_ms) {
  return Guarded(handle, [degree, timeout_ms](AttenuatorHandlerImpl& impl) {
    return ValueResult(operations::GetMotorDegree(impl, degree, timeout_ms));
  });
}

int32_t torvek_att_mechanical_calibration(torvek_att_handle* handle, int32_t timeout_ms) {
  return Guarded(handle, [timeout_ms](AttenuatorHandlerImpl& impl) {
    return operations::MechanicalCalibration(impl, timeout_ms);
  });
}

int32_t torvek_att_start_optimization(torvek_att_handle* handle, int32_t timeout_ms) {
  return Guarded(handle, [timeout_ms](AttenuatorHandlerImpl& impl) {
    return operations::StartOptimization(impl, timeout_ms);
  });
}

int32_t torvek_att_start_cleaning_mechanics(torvek_att_handle* handle, int32_t timeout_ms) {
  return Guarded(handle, [timeout_ms](AttenuatorHandlerImpl& impl) {
    return operations::StartCleaningMechanics(impl, timeout_ms);
  });
}

int32_t torvek_att_stop(torvek_att_handle* handle, int32_t timeout_ms) {
  return Guarded(handle, [timeout_ms](AttenuatorHandlerImpl& impl) {
    return operations::Stop(impl, timeout_ms);
  });
}

int32_t torvek_att_set_transmittance(torvek_att_handle* handle, float transmittance,
                                     double min_angle, double angle_span, int32_t timeout_ms) {
  return Guarded(handle, [=](AttenuatorHandlerImpl& impl) {
    return operations::SetTransmittance(impl, transmittance, min_angle, angle_span, timeout_ms);
  });
}

int32_t torvek_att_get_transmittance(torvek_att_handle* handle, float* transmittance,
                                     double min_angle, double angle_span, int32_t timeout_ms) {
  return Guarded(handle, [=](AttenuatorHandlerImpl& impl) {
    return ValueResult(
        operations::GetTransmittance(impl, transmittance, min_angle, angle_span, timeout_ms));
  });
}

int32_t torvek_att_transmittance_at(float angle, double min_angle, double angle_span,
                                    float* transmittance) {
  return TORVEK::TransmittanceAt(angle, min_angle, angle_span, transmittance);
}

int32_t torvek_att_transmittance_curve(const double* angles, size_t count, double min_angle,
                                       double angle_span, double* transmittances) {
  // A fit wanders beyond the bounds a move takes: only a model without meaning is refused.
  if ((count > 0 && (angles == nullptr || transmittances == nullptr)) ||
      !std::isfinite(min_angle) || !std::isfinite(angle_span) ||
      std::fabs(angle_span) < TORVEK::kMinSpanDegrees) {
    return TORVEK_ATT_INVALID_ARGUMENT;
  }
  for (size_t i = 0; i < count; ++i) {
    transmittances[i] = TORVEK::ModelTransmittance(angles[i], min_angle, angle_span);
  }
  return TORVEK_ATT_OK;
}

int32_t torvek_att_angle_for(float transmittance, double min_angle, double angle_span,
                             float* angle) {
  return TORVEK::AngleFor(transmittance, min_angle, angle_span, angle);
}

int32_t torvek_att_degrees_to_steps(float degrees, int32_t degrees_per_revolution,
                                    int32_t steps_per_revolution, int32_t* steps) {
  return TORVEK::DegreesToSteps(degrees, degrees_per_revolution, steps_per_revolution, steps);
}

int32_t torvek_att_steps_to_degrees(int32_t steps, int32_t degrees_per_revolution,
                                    int32_t steps_per_revolution, float* degrees) {
  return TORVEK::StepsToDegrees(steps, degrees_per_revolution, steps_per_revolution, degrees);
}

int32_t torvek_att_optical_density(double transmittance, double* optical_density) {
  return TORVEK::OpticalDensity(transmittance, optical_density);
}

int32_t torvek_att_attenuation_db(double transmittance, double* decibels) {
  return TORVEK::AttenuationDecibels(transmittance, decibels);
}

int32_t torvek_att_transmittance_of_density(double optical_density, double* transmittance) {
  return TORVEK::TransmittanceOfDensity(optical_density, transmittance);
}

int32_t torvek_att_density_limit(double min_angle, double angle_span,
                                 int32_t degrees_per_revolution, int32_t steps_per_revolution,
                                 double* optical_density) {
  return TORVEK::DensityLimit(min_angle, angle_span, degrees_per_revolution, steps_per_revolution,
                              optical_density);
}

int32_t torvek_att_accepted_densities(double density_limit, char* text, size_t size) {
  if (text == nullptr || size == 0) {
    return TORVEK_ATT_INVALID_ARGUMENT;
  }
  const std::string accepted = TORVEK::AcceptedDensities(density_limit);
  const std::size_t length = std::min(accepted.size(), size - 1);
  std::memcpy(text, accepted.data(), length);
  text[length] = '\0';
  return TORVEK_ATT_OK;
}

int32_t torvek_att_transmittance_for_density(double optical_density, double min_angle,
                                             double angle_span, int32_t degrees_per_revolution,
                                             int32_t steps_per_revolution, double* transmittance) {
  return TORVEK::TransmittanceForDensity(optical_density, min_angle, angle_span,
                                         degrees_per_revolution, steps_per_revolution,
                                         transmittance);
}

int32_t torvek_att_check_model(double min_angle, double angle_span) {
  return TORVEK::ModelAccepted(min_angle, angle_span) ? TORVEK_ATT_OK : TORVEK_ATT_INVALID_ARGUMENT;
}

const torvek_att_limits* torvek_att_get_limits(void) {
  static const torvek_att_limits limits{TORVEK::kMaxSteps,
                                        TORVEK::kMaxDegrees,
                                        TORVEK::kMinSpanDegrees,
                                        TORVEK::kConnectAttempts,
                                        TORVEK::kDefaultDegreesPerRevolution,
                                        TORVEK::kDefaultPulsesPerRevolution};
  return &limits;
}

const char* torvek_att_status_name(int32_t status) {
  return TORVEK::StatusName(status);
}

const char* torvek_att_status_hint(int32_t status) {
  return TORVEK::StatusHint(status);
}

const char* torvek_att_accepted_range(int32_t quantity) {
  return TORVEK::AcceptedRange(quantity);
}

const char* torvek_att_library_version(void) {
  return TORVEK::LibraryVersion();
}

}  // extern "C"
