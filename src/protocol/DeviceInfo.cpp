#include "protocol/DeviceInfo.h"

#include <algorithm>
#include <charconv>
#include <chrono>

#include "link/AttenuatorHandlerImpl.h"
#include "link/SerialIo.h"
#include "protocol/Requests.h"

namespace TORVEK {
namespace {

// The fixed pause before the identification request, and the wait for its answer.
constexpr std::chrono::milliseconds kIdentificationPause{100};
constexpr int kIdentificationTimeoutMs = 100;

ConnectResult Refused(AttenuatorHandlerImpl& link, ConnectResult why, const char* trace_text) {
  if (link.trace) {
    link.trace->Line("ident", trace_text);
  }
  link.DisconnectQuietly();
  return why;
}

}  // namespace

DecodedReply QueryIdentification(AttenuatorHandlerImpl& link, Identification* identification,
                                 int timeout_ms) {
  return RequestInfo(link, "0in", identification, timeout_ms);
}

DecodedReply QueryHomeOffset(AttenuatorHandlerImpl& link, std::int32_t* steps, int timeout_ms) {
  return RequestHomeOffset(link, "0go", steps, timeout_ms);
}

ConnectResult IdentifyDevice(AttenuatorHandlerImpl& link) {
  // Whatever the device says during the pause is discarded by the transaction's input purge
  // before the request goes out. A Cancel during the pause ends the Connect as it would during
  // the request.
  if (CancelledBefore(std::chrono::steady_clock::now() + kIdentificationPause, link.cancellation)) {
    return Refused(link, ConnectResult::Cancelled, "cancelled during the pause; closed");
  }

  Identification identification;
  const DecodedReply reply = QueryIdentification(link, &identification, kIdentificationTimeoutMs);
  switch (reply.status) {
    case ReplyTimeout:
      return link.cancellation.Requested()
                 ? Refused(link, ConnectResult::Cancelled, "cancelled; closed")
                 : Refused(link, ConnectResult::NoIdentification, "no answer; closed");
    case PortUnavailable:
      return Refused(link, ConnectResult::PortUnavailable, "cannot be written; closed");
    default:
      break;
  }
  // A device that answers with a status frame, or reports no revolution or a negative one,
  // gives no scale to work with: every later move would divide by zero or run backwards.
  if (reply.status != Ok || !reply.delivered || identification.degrees_per_revolution <= 0 ||
      identification.pulses_per_revolution <= 0) {
    return Refused(link, ConnectResult::BadIdentification, "no usable identification; closed");
  }

  link.degrees_per_revolution = identification.degrees_per_revolution;
  link.pulses_per_revolution = identification.pulses_per_revolution;
  link.degrees_per_pulse = static_cast<double>(link.degrees_per_revolution) /
                           static_cast<double>(link.pulses_per_revolution);
  link.pulses_per_degree = static_cast<double>(link.pulses_per_revolution) /
                           static_cast<double>(link.degrees_per_revolution);
  if (link.trace) {
    link.trace->Line("ident", identification.ident_a + " " + identification.ident_b + " " +
                                  identification.ident_c + " " + identification.ident_d + ", " +
                                  std::to_string(link.degrees_per_revolution) + " degrees, " +
                                  std::to_string(link.pulses_per_revolution) +
                                  " steps per revolution");
  }
  return ConnectResult::Connected;
}

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

}  // namespace TORVEK
