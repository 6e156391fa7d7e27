#include "protocol/DeviceInfo.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>

#include "link/AttenuatorHandlerImpl.h"
#include "link/SerialIo.h"

namespace TORVEK {
namespace {

// The fixed pause before the identification request, and the wait for its answer.
constexpr std::chrono::milliseconds kIdentificationPause{100};
constexpr int kIdentificationTimeoutMs = 100;

std::optional<int> ReadDecimal(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string HomeOffsetText(float degrees) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, static_cast<double>(degrees),
                                    std::chars_format::fixed, 6);
  return std::string(text, result.ptr);
}

int MergedInfoResult(int info_result, int offset_result) {
  if (info_result == Ok && offset_result == Ok) {
    return Ok;
  }
  return std::min(info_result, offset_result);
}

int AttenuatorHandlerImpl::QueryMotorInfo(MotorInfo* info, int timeout_ms, bool* delivered) {
  return RequestInfo("0in", info, timeout_ms, delivered);
}

int AttenuatorHandlerImpl::QueryHomeOffset(float* degrees, int timeout_ms) {
  int steps = 0;
  bool delivered = false;
  const int result = RequestHomeOffset("0go", &steps, timeout_ms, &delivered);
  if (delivered && degrees != nullptr) {
    *degrees = static_cast<float>(static_cast<double>(steps) / pulses_per_degree);
  }
  return result;
}

bool AttenuatorHandlerImpl::IdentifyDevice() {
  // Whatever the device says during the pause is discarded by the transaction's input purge
  // before the request goes out. A Cancel during the pause ends the Connect as it would during
  // the request.
  if (CancelledBefore(std::chrono::steady_clock::now() + kIdentificationPause, cancellation)) {
    if (trace) {
      trace->Line("ident", "cancelled during the pause; closed");
    }
    DisconnectQuietly();
    return false;
  }

  MotorInfo info;
  bool delivered = false;
  const int result = QueryMotorInfo(&info, kIdentificationTimeoutMs, &delivered);
  const std::optional<int> degrees = ReadDecimal(info.degrees_per_revolution_text);
  const std::optional<int> pulses = ReadDecimal(info.pulses_per_revolution_text);
  // A device that answers with a status frame, or reports no revolution or a negative one,
  // gives no scale to work with: every later move would divide by zero or run backwards.
  if (result != Ok || !delivered || !degrees || !pulses || *degrees <= 0 || *pulses <= 0) {
    if (trace) {
      trace->Line("ident", "no usable identification; closed");
    }
    DisconnectQuietly();
    return false;
  }

  degrees_per_revolution = *degrees;
  pulses_per_revolution = *pulses;
  degrees_per_pulse =
      static_cast<double>(degrees_per_revolution) / static_cast<double>(pulses_per_revolution);
  pulses_per_degree =
      static_cast<double>(pulses_per_revolution) / static_cast<double>(degrees_per_revolution);
  if (trace) {
    trace->Line("ident", info.ident_a + " " + info.ident_b + " " + info.ident_c + " " +
                             info.ident_d + ", " + std::to_string(degrees_per_revolution) +
                             " degrees, " + std::to_string(pulses_per_revolution) +
                             " steps per revolution");
  }
  return true;
}

}  // namespace TORVEK
