#include "protocol/Requests.h"

#include "link/AttenuatorHandlerImpl.h"

namespace TORVEK {
namespace {

template <typename Decode>
DecodedReply Request(AttenuatorHandlerImpl& link, const std::string& command, int timeout_ms,
                     Decode decode) {
  std::string reply;
  const int result = link.Exchange(command, reply, timeout_ms);
  if (result != Ok) {
    return DecodedReply{result, false};
  }
  return decode(reply);
}

}  // namespace

int RequestStatus(AttenuatorHandlerImpl& link, const std::string& command, int timeout_ms) {
  return Request(link, command, timeout_ms,
                 [](const std::string& line) {
                   return DecodedReply{DecodeStatusReply(line), false};
                 })
      .status;
}

int RequestStatusAfterMotion(AttenuatorHandlerImpl& link, const std::string& command,
                             int timeout_ms, bool run_cut_short) {
  std::string reply;
  std::string runs_reply;
  const int result = link.Exchange(
      command, reply, timeout_ms,
      [&](const std::string& line) {
        if (IsPositionFrame(line)) {
          return true;
        }
        if (run_cut_short && runs_reply.empty() && IsStatusFrame(line)) {
          runs_reply = line;
          return true;
        }
        return false;
      },
      run_cut_short ? kStatusAfterRunMs : -1);
  // A run whose reply was lost rather than still owed: the one status frame was this command's.
  if (result == ReplyTimeout && !runs_reply.empty()) {
    return DecodeStatusReply(runs_reply);
  }
  return result != Ok ? result : DecodeStatusReply(reply);
}

DecodedReply RequestPosition(AttenuatorHandlerImpl& link, const std::string& command,
                             std::int32_t* position, int timeout_ms) {
  return Request(link, command, timeout_ms, [position](const std::string& line) {
    return DecodeNumberReply(line, kPositionFrame, position);
  });
}

DecodedReply RequestHomeOffset(AttenuatorHandlerImpl& link, const std::string& command,
                               std::int32_t* offset, int timeout_ms) {
  return Request(link, command, timeout_ms, [offset](const std::string& line) {
    return DecodeNumberReply(line, kHomeOffsetFrame, offset);
  });
}

DecodedReply RequestInfo(AttenuatorHandlerImpl& link, const std::string& command,
                         Identification* identification, int timeout_ms) {
  return Request(link, command, timeout_ms, [identification](const std::string& line) {
    return DecodeInfoReply(line, identification);
  });
}

}  // namespace TORVEK
