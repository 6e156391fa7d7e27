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

template <std::size_t N>
void CopyText(char (&to)[N], const std::string& from) {
  const std::size_t length = std::min(from.size(), N - 1);
  std::memcpy(to, from.data(), length);
  to[length] = '\0';
}

// What a member of the C++ record holds until the call writes it: longer than any text a
// reply can put there (the identification fields have fixed widths, the numbers at most 11
// characters), so it is never taken for one. The caller's record is only written, never read:
// a C caller may well pass it uninitialised.
const std::string& Unwritten() {
  static const std::string text(40, '\x01');
  return text;
}

TORVEK::MotorInfo UnwrittenInfo() {
  TORVEK::MotorInfo info;
  info.ident_a = info.ident_b = info.degrees_per_revolution_text = info.pulses_per_revolution_text =
      info.ident_c = info.ident_d = info.home_offset_text = Unwritten();
  return info;
}

void WriteDelivered(torvek_att_motor_info& record, const TORVEK::MotorInfo& info) {
  const auto update = [](auto& to, const std::string& is) {
    if (is != Unwritten()) {
      CopyText(to, is);
    }
  };
  update(record.ident_a, info.ident_a);
  update(record.ident_b, info.ident_b);
  update(record.degrees_per_revolution_text, info.degrees_per_revolution_text);
  update(record.pulses_per_revolution_text, info.pulses_per_revolution_text);
  update(record.ident_c, info.ident_c);
  update(record.ident_d, info.ident_d);
  update(record.home_offset_text, info.home_offset_text);
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

int32_t torvek_att_cancel(torvek_att_handle* handle) {
  // No Guarded here: Cancel throws nothing, and a signal handler may be the caller.
  if (handle == nullptr) {
    return TORVEK_ATT_INVALID_ARGUMENT;
  }
  handle->handler.Cancel();
  return TORVEK_ATT_OK;
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
    TORVEK::MotorInfo delivered = UnwrittenInfo();
    const TORVEK::AttenuatorStatus result = handler.GetMotorInfo(&delivered, timeout_ms);
    WriteDelivered(*info, delivered);
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
