#include <algorithm>
#include <cstring>
#include <string>

#include "torvek/AttenuatorHandler.h"
#include "torvek/attenuator.h"

// Every function: refuse a null handle, call the C++ class, and turn anything it throws into
// TORVEK_ATT_INTERNAL_ERROR: an exception unwinding into a C caller's frames is undefined
// behaviour, in practice a crash of the host.

struct torvek_att_handle {
  TORVEK::AttenuatorHandler handler;
};

namespace {

static_assert(sizeof(int) == sizeof(std::int32_t),
              "the C++ class takes int where the C interface promises int32_t");
static_assert(TORVEK_ATT_OK == TORVEK::Ok);
static_assert(TORVEK_ATT_UNEXPECTED_REPLY == TORVEK::UnexpectedReply);
static_assert(TORVEK_ATT_REPLY_TIMEOUT == TORVEK::ReplyTimeout);
static_assert(TORVEK_ATT_PORT_UNAVAILABLE == TORVEK::PortUnavailable);
static_assert(TORVEK_ATT_INVALID_ARGUMENT == TORVEK::InvalidArgument);

template <typename Call>
std::int32_t Guarded(torvek_att_handle* handle, Call&& call) noexcept {
  if (handle == nullptr) {
    return TORVEK_ATT_INVALID_ARGUMENT;
  }
  try {
    return static_cast<std::int32_t>(call(handle->handler));
  } catch (...) {
    return TORVEK_ATT_INTERNAL_ERROR;
  }
}

// The caller's text, up to its NUL or the end of the array (which it may not have terminated).
template <std::size_t N>
std::string TextOf(const char (&text)[N]) {
  return std::string(text, std::find(text, text + N - 1, '\0'));
}

template <std::size_t N>
void CopyText(char (&to)[N], const std::string& from) {
  const std::size_t length = std::min(from.size(), N - 1);
  std::memcpy(to, from.data(), length);
  to[length] = '\0';
}

// The C++ record starts as a copy of the caller's, so a member that the call leaves alone
// compares equal afterwards and is not written back: the caller's bytes stay as they were.
TORVEK::MotorInfo FromRecord(const torvek_att_motor_info& record) {
  TORVEK::MotorInfo info;
  info.ident_a = TextOf(record.ident_a);
  info.ident_b = TextOf(record.ident_b);
  info.degrees_per_revolution_text = TextOf(record.degrees_per_revolution_text);
  info.pulses_per_revolution_text = TextOf(record.pulses_per_revolution_text);
  info.ident_c = TextOf(record.ident_c);
  info.ident_d = TextOf(record.ident_d);
  info.home_offset_text = TextOf(record.home_offset_text);
  return info;
}

void WriteChanged(torvek_att_motor_info& record, const TORVEK::MotorInfo& before,
                  const TORVEK::MotorInfo& after) {
  const auto update = [](auto& to, const std::string& was, const std::string& is) {
    if (is != was) {
      CopyText(to, is);
    }
  };
  update(record.ident_a, before.ident_a, after.ident_a);
  update(record.ident_b, before.ident_b, after.ident_b);
  update(record.degrees_per_revolution_text, before.degrees_per_revolution_text,
         after.degrees_per_revolution_text);
  update(record.pulses_per_revolution_text, before.pulses_per_revolution_text,
         after.pulses_per_revolution_text);
  update(record.ident_c, before.ident_c, after.ident_c);
  update(record.ident_d, before.ident_d, after.ident_d);
  update(record.home_offset_text, before.home_offset_text, after.home_offset_text);
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
  // The destructor closes the port without throwing.
  delete handle;
}

int32_t torvek_att_connect(torvek_att_handle* handle, const char* port_name) {
  if (port_name == nullptr) {
    return TORVEK_ATT_INVALID_ARGUMENT;
  }
  return Guarded(handle, [port_name](TORVEK::AttenuatorHandler& handler) {
    return handler.Connect(port_name) ? TORVEK_ATT_OK : TORVEK_ATT_PORT_UNAVAILABLE;
  });
}

int32_t torvek_att_disconnect(torvek_att_handle* handle) {
  return Guarded(handle, [](TORVEK::AttenuatorHandler& handler) {
    handler.Disconnect();
    return TORVEK_ATT_OK;
  });
}

int32_t torvek_att_get_current_status(torvek_att_handle* handle, int32_t timeout_ms) {
  return Guarded(handle, [timeout_ms](TORVEK::AttenuatorHandler& handler) {
    return handler.GetCurrentStatus(timeout_ms);
  });
}

int32_t torvek_att_get_motor_info(torvek_att_handle* handle, torvek_att_motor_info* info,
                                  int32_t timeout_ms) {
  return Guarded(handle, [info, timeout_ms](TORVEK::AttenuatorHandler& handler) {
    if (info == nullptr) {
      return handler.GetMotorInfo(nullptr, timeout_ms);
    }
    const TORVEK::MotorInfo before = FromRecord(*info);
    TORVEK::MotorInfo after = before;
    const TORVEK::AttenuatorStatus result = handler.GetMotorInfo(&after, timeout_ms);
    WriteChanged(*info, before, after);
    return result;
  });
}

int32_t torvek_att_set_motor_steps(torvek_att_handle* handle, int32_t steps, int32_t timeout_ms) {
  return Guarded(handle, [steps, timeout_ms](TORVEK::AttenuatorHandler& handler) {
    return handler.SetMotorSteps(steps, timeout_ms);
  });
}

int32_t torvek_att_get_motor_steps(torvek_att_handle* handle, int32_t* steps, int32_t timeout_ms) {
  return Guarded(handle, [steps, timeout_ms](TORVEK::AttenuatorHandler& handler) {
    if (steps == nullptr) {
      return handler.GetMotorSteps(nullptr, timeout_ms);
    }
    // int and int32_t are the same width (checked above) but may be distinct types. Starting
    // from the caller's value keeps it when no position arrives (a status frame of code 0
    // gives Ok without one).
    int position = *steps;
    const TORVEK::AttenuatorStatus result = handler.GetMotorSteps(&position, timeout_ms);
    *steps = position;
    return result;
  });
}

int32_t torvek_att_set_motor_degree(torvek_att_handle* handle, float degree, int32_t timeout_ms) {
  return Guarded(handle, [degree, timeout_ms](TORVEK::AttenuatorHandler& handler) {
    return handler.SetMotorDegree(degree, timeout_ms);
  });
}

int32_t torvek_att_get_motor_degree(torvek_att_handle* handle, float* degree, int32_t timeout_ms) {
  return Guarded(handle, [degree, timeout_ms](TORVEK::AttenuatorHandler& handler) {
    return handler.GetMotorDegree(degree, timeout_ms);
  });
}

int32_t torvek_att_mechanical_calibration(torvek_att_handle* handle, int32_t timeout_ms) {
  return Guarded(handle, [timeout_ms](TORVEK::AttenuatorHandler& handler) {
    return handler.MechanicalCalibration(timeout_ms);
  });
}

int32_t torvek_att_start_optimization(torvek_att_handle* handle, int32_t timeout_ms) {
  return Guarded(handle, [timeout_ms](TORVEK::AttenuatorHandler& handler) {
    return handler.StartOptimization(timeout_ms);
  });
}

int32_t torvek_att_start_cleaning_mechanics(torvek_att_handle* handle, int32_t timeout_ms) {
  return Guarded(handle, [timeout_ms](TORVEK::AttenuatorHandler& handler) {
    return handler.StartCleaningMechanics(timeout_ms);
  });
}

int32_t torvek_att_stop(torvek_att_handle* handle, int32_t timeout_ms) {
  return Guarded(handle, [timeout_ms](TORVEK::AttenuatorHandler& handler) {
    return handler.Stop(timeout_ms);
  });
}

int32_t torvek_att_set_transmittance(torvek_att_handle* handle, float transmittance,
                                     double min_angle, double angle_span, int32_t timeout_ms) {
  return Guarded(handle, [=](TORVEK::AttenuatorHandler& handler) {
    return handler.SetTransmittance(transmittance, min_angle, angle_span, timeout_ms);
  });
}

int32_t torvek_att_get_transmittance(torvek_att_handle* handle, float* transmittance,
                                     double min_angle, double angle_span, int32_t timeout_ms) {
  return Guarded(handle, [=](TORVEK::AttenuatorHandler& handler) {
    return handler.GetTransmittance(transmittance, min_angle, angle_span, timeout_ms);
  });
}

const char* torvek_att_status_name(int32_t status) {
  switch (status) {
    case TORVEK_ATT_OK:
      return "Ok";
    case TORVEK_ATT_UNEXPECTED_REPLY:
      return "UnexpectedReply";
    case TORVEK_ATT_REPLY_TIMEOUT:
      return "ReplyTimeout";
    case TORVEK_ATT_PORT_UNAVAILABLE:
      return "PortUnavailable";
    case TORVEK_ATT_INVALID_ARGUMENT:
      return "InvalidArgument";
    case TORVEK_ATT_INTERNAL_ERROR:
      return "InternalError";
    default:
      return status >= 1 && status <= 255 ? "DeviceStatus" : "Unknown";
  }
}

const char* torvek_att_library_version(void) {
  return TORVEK::LibraryVersion();
}

}  // extern "C"
